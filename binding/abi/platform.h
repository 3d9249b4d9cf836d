// Calling conventions and the 32-bit assumptions every record below relies on.
#pragma once

#include <cstdint>

static_assert(sizeof(void*) == 4, "the module ABI is defined for 32-bit x86 processes only");
static_assert(sizeof(float) == 4 && sizeof(double) == 8, "IEEE 754 single and double expected");

// Every entry that crosses between host and module is cdecl: arguments on the stack right to
// left, removed by the caller.
#define GRINDLET_CDECL __attribute__((cdecl))

// How a routine of an EVENT_CALL is called: as a member routine of the module object. On i686
// Windows GCC passes the object of a member call in ECX (thiscall); on Linux i386 the object
// is the first stack argument, which is what cdecl does with a first parameter.
#if defined(_WIN32)
#define GRINDLET_MEMBERCALL __attribute__((thiscall))
#else
#define GRINDLET_MEMBERCALL __attribute__((cdecl))
#endif

// What the module exports, with plain undecorated names.
#if defined(_WIN32)
#define GRINDLET_EXPORT extern "C" __declspec(dllexport)
#else
#define GRINDLET_EXPORT extern "C" __attribute__((visibility("default")))
#endif

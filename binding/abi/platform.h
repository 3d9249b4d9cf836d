// Calling conventions and the 32-bit assumptions every record below relies on.
#pragma once

#include <cstdint>

static_assert(sizeof(float) == 4 && sizeof(double) == 8, "IEEE 754 single and double expected");

#if GRINDLET_ABI_WIDE
// The same records at x86-64's width, for one purpose: the Windows checker and the modules it
// is tested on, built as x86-64 programs that wine64 runs on every machine (the 32-bit wine
// cannot start where i686 programs run only under qemu). Fields and their order are kept; an
// address is as wide as one, and x86-64 has a single calling convention. Never shipped.
static_assert(sizeof(void*) == 8, "GRINDLET_ABI_WIDE is for x86-64 test builds");
#define GRINDLET_CDECL
#define GRINDLET_MEMBERCALL
#define GRINDLET_ABI_LAYOUT(check) static_assert(true)
#else
static_assert(sizeof(void*) == 4, "the module ABI is defined for 32-bit x86 processes only");

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

// A record's size and offsets, as the ABI fixes them for 32-bit processes.
#define GRINDLET_ABI_LAYOUT(check) static_assert(check)
#endif

// What the module exports, with plain undecorated names.
#if defined(_WIN32)
#define GRINDLET_EXPORT extern "C" __declspec(dllexport)
#else
#define GRINDLET_EXPORT extern "C" __attribute__((visibility("default")))
#endif

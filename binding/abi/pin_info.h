// The pin description a module gives for each pin index, and its codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace grindlet {

// Host-owned, filled during OP_GET_PIN_INFO [main] (and by the module itself at open). The
// texts are the library's static strings; `variable` stays valid until OP_CLOSE, and the host
// writes the pin's value there (a stream's buffer address, a list index) whenever it changes,
// never while a call into the object runs on another thread.
struct PinInfo {
    void* variable;             // module member holding the pin's value; null for none
    int32_t direction;          // PIN_DIRECTION_IN or PIN_DIRECTION_OUT
    int32_t datatype;           // PIN_DATATYPE_*
    const char* name;           // the pin's name
    const char* defaultValue;   // the default value written as text
    const char* datatypeExtra;  // list items "a, b, c" or a range text; may be null
    uint32_t flags;             // PIN_FLAG_*
    uint32_t reserved28;        // never written by the module
};
GRINDLET_ABI_LAYOUT(sizeof(PinInfo) == 32);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, variable) == 0);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, direction) == 4);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, datatype) == 8);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, name) == 12);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, defaultValue) == 16);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, datatypeExtra) == 20);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, flags) == 24);
GRINDLET_ABI_LAYOUT(offsetof(PinInfo, reserved28) == 28);

constexpr int32_t PIN_DIRECTION_IN = 0;
constexpr int32_t PIN_DIRECTION_OUT = 1;

// Datatype codes, named by the storage a pin without a module variable gets.
constexpr int32_t PIN_DATATYPE_LIST = 0;          // 16-bit list index
constexpr int32_t PIN_DATATYPE_UNSTORED_1 = 1;    // no own storage
constexpr int32_t PIN_DATATYPE_UNSTORED_2 = 2;    // no own storage
constexpr int32_t PIN_DATATYPE_UNSTORED_3 = 3;    // no own storage
constexpr int32_t PIN_DATATYPE_BYTE = 4;          // one byte
constexpr int32_t PIN_DATATYPE_FLOAT_STREAM = 5;  // 32-bit buffer address from the host
constexpr int32_t PIN_DATATYPE_WORD = 6;          // 32-bit word
// Given by the framework to host pins that no description covers.
constexpr int32_t PIN_DATATYPE_UNDESCRIBED = -1;

// The last description stands for every further pin the host reports.
constexpr uint32_t PIN_FLAG_REPEAT = 8;

// Pin statuses, as events deliver them and HOST_SET_PIN_STATUS sends them.
constexpr int32_t STATUS_STATIC = 0;
constexpr int32_t STATUS_ONE_OFF = 1;  // visible only while onPinStatusChange runs
constexpr int32_t STATUS_STREAMING = 2;

}  // namespace grindlet

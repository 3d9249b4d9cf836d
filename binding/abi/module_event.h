// The event record the host delivers to the event entry, and its types.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace grindlet {

// Delivered to the event entry [audio, open]: the host's record, valid for the call only. The
// module builds one for HOST_QUEUE_EVENT: the host copies it during that call.
struct ModuleEvent {
    int32_t time;         // time stamp of the event
    int32_t type;         // EVENT_*; other values are ignored
    int32_t value;        // EVENT_PIN_STATUS: the new status; EVENT_DATA: a 32-bit value
    int32_t extra;        // EVENT_DATA: a 16-bit value in the low half
    uintptr_t target;     // EVENT_PIN_STATUS: pin index; EVENT_CALL: the routine's address
    uint32_t reserved20;  // 0 in records the module builds; never read (hosts may send 20 bytes)
};
GRINDLET_ABI_LAYOUT(sizeof(ModuleEvent) == 24);
GRINDLET_ABI_LAYOUT(offsetof(ModuleEvent, time) == 0);
GRINDLET_ABI_LAYOUT(offsetof(ModuleEvent, type) == 4);
GRINDLET_ABI_LAYOUT(offsetof(ModuleEvent, value) == 8);
GRINDLET_ABI_LAYOUT(offsetof(ModuleEvent, extra) == 12);
GRINDLET_ABI_LAYOUT(offsetof(ModuleEvent, target) == 16);
GRINDLET_ABI_LAYOUT(offsetof(ModuleEvent, reserved20) == 20);

constexpr int32_t EVENT_PIN_STATUS = 0;
constexpr int32_t EVENT_DATA = 2;
constexpr int32_t EVENT_CALL = 21;

}  // namespace grindlet

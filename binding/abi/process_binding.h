// The module's current process routine, as OP_GET_PROCESS_BINDING shows it to the host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

#include "module_block.h"

namespace grindlet {

// One per object, inside it: valid from makeModule until OP_CLOSE.
struct ProcessBinding {
    ProcessRoutine routine;  // the routine block.process names
    int32_t objectAdjust;    // added to the object address for a member call; 0 here
    uint32_t word8;          // stored and compared, never interpreted
    uint32_t word12;         // stored and compared, never interpreted
};
GRINDLET_ABI_LAYOUT(sizeof(ProcessBinding) == 16);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBinding, routine) == 0);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBinding, objectAdjust) == 4);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBinding, word8) == 8);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBinding, word12) == 12);

// The one record of the whole library, shared by all its objects: OP_GET_PROCESS_BINDING
// overwrites it with the requesting object's binding and returns its address. Valid while the
// library is loaded, but its contents only until the next OP_GET_PROCESS_BINDING from any
// object: a host reads it before it asks again (and never from two threads at once).
struct ProcessBindingRecord {
    uint32_t kind;            // BINDING_RECORD_KIND
    uint32_t bindingSize;     // sizeof(ProcessBinding)
    ProcessBinding* binding;  // the requesting object's binding
    uint32_t reserved12;      // 0
};
GRINDLET_ABI_LAYOUT(sizeof(ProcessBindingRecord) == 16);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBindingRecord, kind) == 0);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBindingRecord, bindingSize) == 4);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBindingRecord, binding) == 8);
GRINDLET_ABI_LAYOUT(offsetof(ProcessBindingRecord, reserved12) == 12);

constexpr uint32_t BINDING_RECORD_KIND = 1;

}  // namespace grindlet

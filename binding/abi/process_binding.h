// The module's current process routine, as OP_GET_PROCESS_BINDING shows it to the host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module_block.h"

namespace grindlet {

struct ProcessBinding {
    ProcessRoutine routine;  // the routine block.process names
    int32_t objectAdjust;    // added to the object address for a member call; 0 here
    uint32_t word8;          // stored and compared, never interpreted
    uint32_t word12;         // stored and compared, never interpreted
};
static_assert(sizeof(ProcessBinding) == 16);
static_assert(offsetof(ProcessBinding, routine) == 0);
static_assert(offsetof(ProcessBinding, objectAdjust) == 4);
static_assert(offsetof(ProcessBinding, word8) == 8);
static_assert(offsetof(ProcessBinding, word12) == 12);

// The one record of the library that OP_GET_PROCESS_BINDING overwrites and returns.
struct ProcessBindingRecord {
    uint32_t kind;            // BINDING_RECORD_KIND
    uint32_t bindingSize;     // sizeof(ProcessBinding)
    ProcessBinding* binding;  // the requesting object's binding
    uint32_t reserved12;      // 0
};
static_assert(sizeof(ProcessBindingRecord) == 16);
static_assert(offsetof(ProcessBindingRecord, kind) == 0);
static_assert(offsetof(ProcessBindingRecord, bindingSize) == 4);
static_assert(offsetof(ProcessBindingRecord, binding) == 8);
static_assert(offsetof(ProcessBindingRecord, reserved12) == 12);

constexpr uint32_t BINDING_RECORD_KIND = 1;

}  // namespace grindlet

// The host-visible block inside every module object, its entries and the dispatcher opcodes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace grindlet {

struct ModuleBlock;
struct ModuleEvent;

// [main] Every dispatcher request: block, opcode, index, value, pointer, number. The pointer is
// the host's and valid for this call only.
using DispatcherEntry = intptr_t(GRINDLET_CDECL*)(ModuleBlock* block, int32_t opcode, int32_t index,
                                                  int32_t value, void* pointer, float number);
// [audio, open] Delivers an event; the first argument is the block's object field. The event
// record is the host's and valid for this call only. Real-time: no allocation, no lock.
using EventEntry = void(GRINDLET_CDECL*)(void* object, ModuleEvent* event);
// [audio, open] Once per block of samples; the first argument is the block's object field.
// Reads [offset, offset + count) of the input buffers and writes the same range of the output.
// Real-time: no allocation, no lock; the only host call is HOST_SLEEP.
using ProcessRoutine = void(GRINDLET_CDECL*)(void* object, int32_t offset, int32_t count);

constexpr uint32_t MODULE_BLOCK_MAGIC = 0x5345504C;
constexpr int32_t MODULE_BLOCK_VERSION = 1;

// Lives inside the module object, from makeModule until OP_CLOSE: its address is the object's
// identity for the host. Only `process` changes after makeModule, and only during a nested
// call path that ends in HOST_PROCESS_CHANGED.
struct ModuleBlock {
    uint32_t magic;              // MODULE_BLOCK_MAGIC
    int32_t version;             // MODULE_BLOCK_VERSION
    void* hostHandle;            // the handle given to makeModule, never interpreted
    void* object;                // the module object that contains this block
    uint32_t reserved16;         // 0
    DispatcherEntry dispatcher;  // the dispatcher entry, shared by all objects
    ProcessRoutine process;      // the current process routine; the only field that changes
    EventEntry event;            // the event entry, shared by all objects
    uint32_t reserved32[4];      // 0
};
GRINDLET_ABI_LAYOUT(sizeof(ModuleBlock) == 48);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, magic) == 0);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, version) == 4);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, hostHandle) == 8);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, object) == 12);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, reserved16) == 16);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, dispatcher) == 20);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, process) == 24);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, event) == 28);
GRINDLET_ABI_LAYOUT(offsetof(ModuleBlock, reserved32) == 32);

// Dispatcher opcodes, compared as unsigned numbers; any other value is answered with 0.
// [main] builds the pins (allocates) and prepares; result 0. May be sent again.
constexpr int32_t OP_OPEN = 0;
// [main] closes and deletes the object; result 1. The block is gone when it returns.
constexpr int32_t OP_CLOSE = 1;
// [main, !open] number: the sample rate in hertz; result 0. Read at open.
constexpr int32_t OP_SET_SAMPLE_RATE = 2;
// [main, !open] value: the block size in samples; result 0.
constexpr int32_t OP_SET_BLOCK_SIZE = 3;
// [main] index, pointer to the host's PinInfo, filled during the call; 1, or 0 past the last pin.
constexpr int32_t OP_GET_PIN_INFO = 6;
// [main] result 0.
constexpr int32_t OP_NOTIFY = 8;
// [main] value, index, pointer (valid for the call only); result 0.
constexpr int32_t OP_MESSAGE = 12;
// [main] result: the address of the library's one ProcessBindingRecord (process_binding.h).
constexpr int32_t OP_GET_PROCESS_BINDING = 13;

}  // namespace grindlet

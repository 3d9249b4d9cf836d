// The record the host passes to getModuleProperties, and the two exported entry points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace grindlet {

struct ModuleBlock;

// Host-owned, filled during getModuleProperties: name, id, about (index 0 only) and sdkVersion
// (always). The texts are the library's static strings, valid while the library is loaded.
struct ModuleInfo {
    const char* name;     // module name, a static text of the library
    const char* id;       // unique id text, a static text of the library
    const char* about;    // about text, may hold line feeds
    uint32_t hostWord12;  // the host's own; the module never reads or writes it
    uint32_t hostWord16;  // the host's own; the module never reads or writes it
    int32_t sdkVersion;   // always written: MODULE_SDK_VERSION
};
GRINDLET_ABI_LAYOUT(sizeof(ModuleInfo) == 24);
GRINDLET_ABI_LAYOUT(offsetof(ModuleInfo, name) == 0);
GRINDLET_ABI_LAYOUT(offsetof(ModuleInfo, id) == 4);
GRINDLET_ABI_LAYOUT(offsetof(ModuleInfo, about) == 8);
GRINDLET_ABI_LAYOUT(offsetof(ModuleInfo, hostWord12) == 12);
GRINDLET_ABI_LAYOUT(offsetof(ModuleInfo, hostWord16) == 16);
GRINDLET_ABI_LAYOUT(offsetof(ModuleInfo, sdkVersion) == 20);

constexpr int32_t MODULE_SDK_VERSION = 2150;
constexpr int32_t MODULE_INDEX_ONLY = 0;  // the library holds one module
constexpr int32_t MODULE_KIND_AUDIO = 1;  // the only kind of object makeModule serves

// The host's function for calls from a module object (opcodes: host_opcodes.h), always made
// [nested]. Arguments: the calling object's block, opcode, index, value, pointer, number. The
// module keeps it, with the host's handle, from makeModule until OP_CLOSE.
using HostCallback = intptr_t(GRINDLET_CDECL*)(ModuleBlock* block, int32_t opcode, int32_t index,
                                               int32_t value, void* pointer, float number);

// The two exports, as a host resolves them.
// [load] (and any time after): writes sdkVersion, then the identity for index 0; 1 or 0.
using GetModulePropertiesFn = int32_t(GRINDLET_CDECL*)(int32_t index, ModuleInfo* info);
// [main] once per object: the block of a new, unopened object (allocated), or null. The block
// is valid until OP_CLOSE.
using MakeModuleFn = ModuleBlock*(GRINDLET_CDECL*)(int32_t index, int32_t kind,
                                                   HostCallback callback, void* hostHandle);

}  // namespace grindlet

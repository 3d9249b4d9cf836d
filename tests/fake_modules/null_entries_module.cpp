// A module file whose objects' blocks carry null dispatcher, event and process entries: a host
// that calls through them crashes.
#include "binding/abi/module_block.h"
#include "binding/abi/module_info.h"

namespace {
grindlet::ModuleBlock block{};
}

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t index,
                                                           grindlet::ModuleInfo* info) {
    info->sdkVersion = grindlet::MODULE_SDK_VERSION;
    if (index != 0) return 0;
    info->name = info->id = "Null entries";
    info->about = "";
    return 1;
}
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t, int32_t,
                                                                 grindlet::HostCallback,
                                                                 void* hostHandle) {
    block.magic = grindlet::MODULE_BLOCK_MAGIC;
    block.version = grindlet::MODULE_BLOCK_VERSION;
    block.hostHandle = hostHandle;
    block.object = &block;
    return &block;
}

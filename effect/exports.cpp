// The library's two entry points.
#include <new>

#include "exports.h"
#include "reducer_module.h"

using grindlet::HostCallback;
using grindlet::ModuleBlock;
using grindlet::ModuleInfo;

// Called by the host to learn the module's identity; 1 for index 0, else 0.
GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t index, ModuleInfo* info) {
    if (info == nullptr) return 0;
    info->sdkVersion = grindlet::MODULE_SDK_VERSION;
    if (index != grindlet::MODULE_INDEX_ONLY) return 0;
    grindlet::ReducerModule::fillModuleInfo(info);
    return 1;
}

// Called by the host to create an object; the block of the new object, or null.
GRINDLET_EXPORT ModuleBlock* GRINDLET_CDECL makeModule(int32_t index, int32_t kind,
                                                       HostCallback callback, void* hostHandle) {
    if (index != grindlet::MODULE_INDEX_ONLY || kind != grindlet::MODULE_KIND_AUDIO) return nullptr;
    auto* module = new (std::nothrow) grindlet::ReducerModule(callback, hostHandle);
    return module != nullptr ? module->getBlock() : nullptr;
}

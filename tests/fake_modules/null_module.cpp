// A module file whose makeModule always fails, for the host's error paths.
#include "binding/abi/module_info.h"

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t, grindlet::ModuleInfo* info) {
    info->sdkVersion = grindlet::MODULE_SDK_VERSION;
    return 0;
}
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t, int32_t,
                                                                 grindlet::HostCallback, void*) {
    return nullptr;
}

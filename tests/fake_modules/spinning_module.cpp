// A module file whose getModuleProperties never returns when asked for module 1, and whose
// makeModule always fails: one check hangs, the others fail at once.
#include "binding/abi/module_info.h"

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t index,
                                                           grindlet::ModuleInfo* info) {
    volatile bool forever = index == 1;
    while (forever) {}
    info->sdkVersion = grindlet::MODULE_SDK_VERSION;
    return 0;
}
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t, int32_t,
                                                                 grindlet::HostCallback, void*) {
    return nullptr;
}

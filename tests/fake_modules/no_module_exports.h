// The two exports of a module file that describes no module and makes none: what a fake module
// file whose point lies elsewhere (its loading, say) exports.
#pragma once

#include "binding/abi/module_info.h"

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t, grindlet::ModuleInfo*) {
    return 0;
}
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t, int32_t,
                                                                 grindlet::HostCallback, void*) {
    return nullptr;
}

// A library that exports only one of the two entry points.
#include "binding/abi/module_info.h"

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t, grindlet::ModuleInfo*) {
    return 0;
}

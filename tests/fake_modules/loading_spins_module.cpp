// A module file whose code never finishes loading (a constructor that spins).
#include "binding/abi/module_info.h"

namespace {
struct Spins {
    Spins() {
        volatile bool forever = true;
        while (forever) {}
    }
} spins;
}  // namespace

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t, grindlet::ModuleInfo*) {
    return 0;
}
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t, int32_t,
                                                                 grindlet::HostCallback, void*) {
    return nullptr;
}

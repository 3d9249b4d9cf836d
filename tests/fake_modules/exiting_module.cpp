// A module file whose loading ends the process that loads it with status 0, as a DllMain that
// calls ExitProcess(0) does: a checker must not take that for "all passed".
#include <cstdlib>

#include "binding/abi/module_info.h"

namespace {
struct Exits {
    Exits() { std::exit(0); }
} exits;
}  // namespace

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t, grindlet::ModuleInfo*) {
    return 0;
}
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t, int32_t,
                                                                 grindlet::HostCallback, void*) {
    return nullptr;
}

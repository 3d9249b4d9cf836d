// A module file whose code never finishes loading (a constructor that spins).
#include "no_module_exports.h"

namespace {
struct Spins {
    Spins() {
        volatile bool forever = true;
        while (forever) {}
    }
} spins;
}  // namespace

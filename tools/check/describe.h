// grindlet-check --describe: a module's identity and pin table, as a host shows them to a user.
#pragma once

#include <string>

#include "host/module_library.h"

namespace grindlet::check {

// The text; false (text saying why) when no object can be made.
bool describeModule(const host::ModuleLibrary& library, std::string& text);

}  // namespace grindlet::check

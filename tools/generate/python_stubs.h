// The Python package's typing stubs, written from the table of controls.
#pragma once

#include <vector>

#include "generated_file.h"

namespace grindlet::generate {

std::vector<GeneratedFile> pythonStubs();

}  // namespace grindlet::generate

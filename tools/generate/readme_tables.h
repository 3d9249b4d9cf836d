// The README's tables of the controls, written from the table of controls.
#pragma once

#include <vector>

#include "generated_file.h"

namespace grindlet::generate {

std::vector<GeneratedSection> readmeTables();

}  // namespace grindlet::generate

// The Python package's typing stubs, written from the table of controls.
#pragma once

#include <string>
#include <vector>

namespace grindlet::generate {

// A file of the source tree the generator writes: its path from the project's root, its text.
struct GeneratedFile {
    std::string path;
    std::string text;
};

std::vector<GeneratedFile> pythonStubs();

}  // namespace grindlet::generate

// What the generator writes: whole files, or sections of a file kept between two marker lines
// (<!-- generated: NAME ... --> and <!-- generated: end -->), the rest of it written by hand.
#pragma once

#include <string>

namespace grindlet::generate {

// A file of the source tree: its path from the project's root, its text.
struct GeneratedFile {
    std::string path;
    std::string text;
};

// A section of a file between its markers.
struct GeneratedSection {
    std::string path;
    std::string name;
    std::string text;
};

}  // namespace grindlet::generate

// The version in each package's own file, written from the project's VERSION file.
#pragma once

#include <string>
#include <vector>

namespace grindlet::generate {

// A line of a file that holds the version: the first line that starts with `before`.
struct VersionLine {
    std::string path;
    std::string before;  // the line up to the version
    std::string after;   // and after it
};

// The lines, in the Python package's and the npm package's own files.
std::vector<VersionLine> versionLines();

// `text` with each of its version lines of `path` saying `version`; false where one is missing.
bool withVersion(std::string& text, const std::string& path, const std::string& version);

}  // namespace grindlet::generate

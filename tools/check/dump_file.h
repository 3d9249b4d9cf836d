// The --dump file: checked against the module file before the run, written whole at the end.
#pragma once

#include <string>

namespace grindlet::check {

// Refuses a dump path that names the module file (by device and inode, whatever the spelling),
// a folder, or an existing file without force.
bool dumpPathAllowed(const std::string& dumpPath, const std::string& modulePath, bool force,
                     std::string& error);

// Writes contents under a temporary name in the destination's folder and moves it into place
// only when it is complete on disk; without force, a file that appeared meanwhile is kept.
bool writeWholeFile(const std::string& path, const std::string& contents, bool force,
                    std::string& error);

}  // namespace grindlet::check

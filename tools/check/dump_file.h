// The --dump file: checked against the module file before the run, written whole at the end.
#pragma once

#include <string>

namespace grindlet::check {

// Refuses a dump path that names the module file (by device and inode, whatever the spelling),
// a folder, a socket, or an existing file without force (a pipe or a device needs none).
bool dumpPathAllowed(const std::string& dumpPath, const std::string& modulePath, bool force,
                     std::string& error);

// Writes contents under a temporary name in the destination's folder and moves it into place
// only when it is complete on disk; without force, a file that appeared meanwhile is kept. A
// pipe or a device is written into, never replaced.
bool writeWholeFile(const std::string& path, const std::string& contents, bool force,
                    std::string& error);

}  // namespace grindlet::check

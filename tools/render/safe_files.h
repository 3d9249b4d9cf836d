// The rules that keep the user's files safe: outputs are written under a temporary name beside
// their destination and renamed into place only when complete, and files are told apart by
// device and inode, not by name.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace grindlet::render {

std::string baseName(const std::string& path);
std::string directoryOf(const std::string& path);

// What a path names on disk: device and inode where it exists, and its directory's real path
// with its own name where it does not, so that no spelling hides one file behind another.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string canonical;
};
FileIdentity identify(const std::string& path);
FileIdentity identifyStandardInput();
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// A file written under a temporary name in its destination's folder; commit() makes it the
// destination in one rename, and a file never committed is removed.
class PendingFile {
public:
    static std::unique_ptr<PendingFile> create(const std::string& path, std::string& error);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int descriptor() const { return fd; }
    // Flushes to disk, closes and renames into place.
    bool commit(std::string& error);

private:
    PendingFile() = default;
    std::string destination;
    std::string temporary;
    int fd = -1;
    bool committed = false;
};

}  // namespace grindlet::render

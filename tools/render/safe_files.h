// The rules that keep the user's files safe: an output is written to a file with no name (or a
// short hidden one) in its destination's folder and linked into place only when complete;
// without permission to replace, a file that appeared meanwhile is kept; an interruption
// leaves nothing behind; and files are told apart by device and inode, not by name.
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
    bool folder = false;
    bool stream = false;  // a pipe (FIFO), a character device or a socket: written, never replaced
    bool danglingLink = false;  // a symbolic link to nothing (exists: the link itself)
    // Standard output only: a regular file that already holds bytes where the output would go
    // (opened to append, or positioned past its start).
    bool holdsBytes = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string canonical;
};
FileIdentity identify(const std::string& path);
FileIdentity identifyStandardInput();
// What standard output is, where it is a regular file (else nothing: a pipe, a terminal).
FileIdentity identifyStandardOutput();
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// SIGINT, SIGTERM and SIGHUP remove every temporary name still registered, then end the
// program as the signal would (a shell sees 130, 143 or 129). Call once, early. A signal that
// was ignored when the program started (nohup) stays ignored.
void removeTemporaryFilesOnSignals();

// A hidden name for a temporary file beside path, new on every call, that names this machine and
// process (where the file system makes no nameless files).
std::string temporaryName(const std::string& path);
// Removes from a folder the named temporary files that a killed run of this tool on this machine
// left (where the file system makes no nameless files): those whose process is gone.
void removeLeftTemporaries(const std::string& folder);

// A file being written for a destination; commit() puts it there in one step, and a file
// never committed leaves nothing.
class PendingFile {
public:
    // replace: an existing destination may be replaced (-f); otherwise commit() refuses one,
    // even one that appeared after create().
    static std::unique_ptr<PendingFile> create(const std::string& path, bool replace,
                                               std::string& error);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int descriptor() const { return fd; }
    // Flushes every byte to disk, then links or renames into place; false with the reason.
    bool commit(std::string& error);

private:
    PendingFile() = default;
    bool placeUnnamed(std::string& error);
    bool placeNamed(std::string& error);

    std::string destination;
    std::string temporary;  // empty while the file has no name
    int slot = -1;          // where a signal handler finds the temporary name
    bool replace = false;
    int fd = -1;
    bool committed = false;
};

}  // namespace grindlet::render

// What a path names on disk, told apart by device and inode (see safe_files.h).
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "safe_files.h"

namespace grindlet::render {

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

void describe(const struct stat& status, FileIdentity& identity) {
    identity.exists = true;
    identity.folder = S_ISDIR(status.st_mode);
    identity.stream =
        S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISSOCK(status.st_mode);
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
}

}  // namespace

FileIdentity identify(const std::string& path) {
    FileIdentity identity;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        describe(status, identity);
    } else if (lstat(path.c_str(), &status) == 0) {
        describe(status, identity);  // the link itself: replaced only with -f, never followed
        identity.danglingLink = true;
    }
    char real[PATH_MAX];
    const std::string directory = directoryOf(path);
    identity.canonical = realpath(directory.c_str(), real) != nullptr
                             ? std::string(real) + "/" + baseName(path)
                             : path;
    return identity;
}

FileIdentity identifyStandardInput() {
    FileIdentity identity;
    struct stat status {};
    if (fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode)) describe(status, identity);
    return identity;
}

FileIdentity identifyStandardOutput() {
    FileIdentity identity;
    struct stat status {};
    if (fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode)) {
        describe(status, identity);
        const int flags = fcntl(STDOUT_FILENO, F_GETFL);
        const off_t at = lseek(STDOUT_FILENO, 0, SEEK_CUR);
        identity.holdsBytes =
            status.st_size > 0 && ((flags >= 0 && (flags & O_APPEND) != 0) || at > 0);
    }
    return identity;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
    return !a.canonical.empty() && a.canonical == b.canonical;
}

}  // namespace grindlet::render

#include "safe_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// ---- identity --------------------------------------------------------------------------------

FileIdentity identify(const std::string& path) {
    FileIdentity identity;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        identity.exists = true;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
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
    if (fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode)) {
        identity.exists = true;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
    }
    return identity;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
    return !a.canonical.empty() && a.canonical == b.canonical;
}

// ---- pending files ---------------------------------------------------------------------------

std::unique_ptr<PendingFile> PendingFile::create(const std::string& path, std::string& error) {
    std::unique_ptr<PendingFile> file(new PendingFile());
    file->destination = path;
    file->temporary = directoryOf(path) + "/." + baseName(path) + ".XXXXXX";
    std::vector<char> name(file->temporary.begin(), file->temporary.end());
    name.push_back('\0');
    file->fd = mkstemp(name.data());
    if (file->fd < 0) {
        error = "cannot write in the folder of " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    file->temporary = name.data();
    // As a new file would be (mkstemp makes it private), or as the file it replaces.
    struct stat existing {};
    mode_t mode;
    if (stat(path.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(file->fd, mode);
    return file;
}

bool PendingFile::commit(std::string& error) {
    const bool flushed = fsync(fd) == 0;
    const int flushError = errno;
    const bool closed = close(fd) == 0;
    fd = -1;
    if (!flushed || !closed) {
        error =
            "cannot complete " + destination + ": " + std::strerror(flushed ? errno : flushError);
        return false;
    }
    if (rename(temporary.c_str(), destination.c_str()) != 0) {
        error = "cannot put " + destination + " in place: " + std::strerror(errno);
        return false;
    }
    committed = true;
    return true;
}

PendingFile::~PendingFile() {
    if (fd >= 0) close(fd);
    if (!committed) unlink(temporary.c_str());
}

}  // namespace grindlet::render

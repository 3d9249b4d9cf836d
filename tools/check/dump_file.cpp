#include "dump_file.h"

#include "isolation.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace grindlet::check {

namespace {

std::string because(const std::string& what) { return what + ": " + std::strerror(errno); }

#if !defined(_WIN32)
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
#else
// Windows files have no inode here: the full path, letter case ignored, names the file.
std::string identityOf(const std::string& path) {
    char full[_MAX_PATH];
    if (_fullpath(full, path.c_str(), sizeof full) == nullptr) return path;
    std::string text = full;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
#endif

}  // namespace

bool dumpPathAllowed(const std::string& dumpPath, const std::string& modulePath, bool force,
                     std::string& error) {
#if defined(_WIN32)
    struct _stat64 dump {};
    const bool exists = _stat64(dumpPath.c_str(), &dump) == 0;
    if (exists && identityOf(dumpPath) == identityOf(modulePath)) {
#else
    struct stat dump {
    }, module{};
    const bool exists = stat(dumpPath.c_str(), &dump) == 0;
    if (exists && stat(modulePath.c_str(), &module) == 0 && dump.st_dev == module.st_dev &&
        dump.st_ino == module.st_ino) {
#endif
        error = "the dump " + dumpPath + " is the module file being checked: choose another";
        return false;
    }
    if (exists && (dump.st_mode & S_IFMT) == S_IFDIR) {
        error = "the dump " + dumpPath + " is a folder";
        return false;
    }
#if !defined(_WIN32)
    if (exists && S_ISSOCK(dump.st_mode)) {
        error = "the dump " + dumpPath + " is a socket: name a file, a pipe or a device";
        return false;
    }
    // A pipe or a device is written into, never replaced: no -f needed.
    if (exists && (S_ISFIFO(dump.st_mode) || S_ISCHR(dump.st_mode))) return true;
#endif
    if (exists && !force) {
        error = dumpPath + " exists: use -f (--force) to replace it";
        return false;
    }
    return true;
}

bool writeWholeFile(const std::string& path, const std::string& contents, bool force,
                    std::string& error) {
#if defined(_WIN32)
    const std::string temporary = path + ".partial";
    const int fd =
        _open(temporary.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        error = because("cannot write in the folder of " + path);
        return false;
    }
    const bool written = _write(fd, contents.data(), static_cast<unsigned>(contents.size())) ==
                         static_cast<int>(contents.size());
    const bool flushed = written && _commit(fd) == 0;
    const bool closed = _close(fd) == 0;
    if (!written || !flushed || !closed) {
        error = because("cannot write " + path);
        _unlink(temporary.c_str());
        return false;
    }
    if (!MoveFileExA(temporary.c_str(), path.c_str(), force ? MOVEFILE_REPLACE_EXISTING : 0)) {
        error = "cannot put " + path + " in place (Windows error " +
                std::to_string(GetLastError()) + ")";
        _unlink(temporary.c_str());
        return false;
    }
    return true;
#else
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0 &&
        (S_ISFIFO(existing.st_mode) || S_ISCHR(existing.st_mode))) {
        // A pipe or a device (/dev/stdout, a FIFO a reader waits on): written into, never replaced.
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = because("cannot write " + path);
            return false;
        }
        const bool written = writeAll(fd, contents);
        const int writeError = errno;
        const bool closed = close(fd) == 0;
        if (!written || !closed) {
            errno = written ? errno : writeError;
            error = because("cannot write " + path);
            return false;
        }
        return true;
    }
    // A short name of our own beside the destination: any destination name fits.
    std::string pattern = folderOf(path) + "/.grindlet-check-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = because("cannot write in the folder of " + path);
        return false;
    }
    const std::string temporary = name.data();
    const bool written = writeAll(fd, contents);
    const mode_t mask = umask(0);
    umask(mask);
    const bool complete = written && fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0;
    const int completeError = errno;
    const bool closed = close(fd) == 0;
    if (!complete || !closed) {
        errno = complete ? errno : completeError;
        error = because("cannot write " + path);
        unlink(temporary.c_str());
        return false;
    }
    // Without force, link refuses a name that exists, even one that appeared during the run.
    const bool placed = force ? rename(temporary.c_str(), path.c_str()) == 0
                              : link(temporary.c_str(), path.c_str()) == 0;
    const int placeError = errno;
    if (!force || !placed) unlink(temporary.c_str());
    if (!placed) {
        errno = placeError;
        error = placeError == EEXIST ? path + " appeared during the run: use -f to replace it"
                                     : because("cannot put " + path + " in place");
        return false;
    }
    return true;
#endif
}

}  // namespace grindlet::check

#include "safe_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace grindlet::render {

// ---- temporary names and signals -------------------------------------------------------------

namespace {

// Names a signal handler may remove: fixed storage, claimed and released atomically.
constexpr int TEMPORARY_SLOTS = 16;
struct TemporarySlot {
    std::atomic<bool> used{false};
    char path[PATH_MAX] = {};
};
TemporarySlot temporarySlots[TEMPORARY_SLOTS];

int registerTemporary(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < TEMPORARY_SLOTS; ++i) {
        TemporarySlot& slot = temporarySlots[i];
        if (slot.used.load()) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        bool expected = false;
        if (slot.used.compare_exchange_strong(expected, true)) return i;
    }
    return -1;
}

void releaseTemporary(int slot) {
    if (slot >= 0) temporarySlots[slot].used.store(false);
}

extern "C" void removeTemporariesAndDie(int signal) {
    for (TemporarySlot& slot : temporarySlots) {
        if (slot.used.load()) unlink(slot.path);  // async-signal-safe
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// Holds off SIGINT, SIGTERM and SIGHUP while a name is created and registered (or renamed and
// released), so that the handler never sees one without the other.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous;
};

// Four letters for this machine, so that a folder shared between machines (where named files
// are the rule) never has one machine judge another's process by its number.
std::string machineTag() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    uint32_t hash = 2166136261u;
    for (const char* c = host; *c != '\0'; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    std::string tag;
    for (int i = 0; i < 4; ++i, hash /= 26) tag += static_cast<char>('a' + hash % 26);
    return tag;
}

constexpr char TEMPORARY_PREFIX[] = ".grindlet-";

std::string because(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// rename without replacing: renameat2's RENAME_NOREPLACE, or link and unlink where the
// kernel or file system lacks it. False with errno EEXIST when the destination exists.
bool renameNoReplace(const std::string& from, const std::string& to) {
#if defined(SYS_renameat2)
    constexpr unsigned RENAME_NO_REPLACE = 1;
    if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NO_REPLACE) ==
        0)
        return true;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
}

// The mode a new file gets from the umask, or the mode of the file it replaces.
mode_t modeFor(const std::string& path) {
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        return existing.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

void removeTemporaryFilesOnSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start stays ignored (nohup, a background job).
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removeTemporariesAndDie;
        sigemptyset(&action.sa_mask);
        for (int blocked : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, blocked);
        sigaction(signal, &action, nullptr);
    }
}

// ---- pending files ---------------------------------------------------------------------------

// A short hidden name of our own in a folder, different on every call, that says which process
// on which machine made it (.grindlet-MACHINE-PID-XXXX): any destination name fits beside it,
// and a later run can tell one that a killed run left.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const unsigned long long mix = (counter.fetch_add(1) * 2654435761u) ^
                                   static_cast<unsigned long long>(
                                       std::chrono::steady_clock::now().time_since_epoch().count());
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = directoryOf(path) + "/" + TEMPORARY_PREFIX + machineTag() + "-" +
                       std::to_string(getpid()) + "-";
    for (unsigned long long v = mix, i = 0; i < 4; ++i, v /= 36) name += digits[v % 36];
    return name;
}

void removeLeftTemporaries(const std::string& folder) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return;
    const std::string mine = TEMPORARY_PREFIX + machineTag() + "-";
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.compare(0, mine.size(), mine) != 0) continue;
        const size_t dash = name.find('-', mine.size());
        const std::string number = name.substr(mine.size(), dash - mine.size());
        if (dash == std::string::npos || name.size() != dash + 5 || number.empty() ||
            number.find_first_not_of("0123456789") != std::string::npos || number.size() > 9)
            continue;
        const pid_t writer = static_cast<pid_t>(std::stol(number));
        struct stat status {};
        const std::string path = folder + "/" + name;
        // Only a regular file whose process is gone: a running render's file stays.
        if (kill(writer, 0) != 0 && errno == ESRCH && lstat(path.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode))
            unlink(path.c_str());
    }
    closedir(listing);
}

std::unique_ptr<PendingFile> PendingFile::create(const std::string& path, bool replace,
                                                 std::string& error) {
    std::unique_ptr<PendingFile> file(new PendingFile());
    file->destination = path;
    file->replace = replace;
    const mode_t mode = modeFor(path);
#if defined(O_TMPFILE)
    // No name at all until it is complete: nothing to leave behind, whatever ends the program.
    file->fd = open(directoryOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (file->fd >= 0) {
        fchmod(file->fd, mode);  // O_TMPFILE applies the umask; a replaced file's mode wins
        return file;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        error = because("cannot write in the folder of " + path, errno);
        return nullptr;
    }
#endif
    removeLeftTemporaries(directoryOf(path));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(path);
        const SignalsHeld held;
        file->fd = open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (file->fd < 0 && errno == EEXIST) continue;
        if (file->fd < 0) break;
        file->temporary = name;
        file->slot = registerTemporary(name);
        fchmod(file->fd, mode);
        return file;
    }
    error = because("cannot write in the folder of " + path, errno);
    return nullptr;
}

bool PendingFile::placeUnnamed(std::string& error) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (!replace) {
        // link refuses an existing name: a file that appeared meanwhile is kept.
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, destination.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        error = errno == EEXIST ? destination + " appeared during the render: use -f to replace it"
                                : because("cannot put " + destination + " in place", errno);
        return false;
    }
    // Replacing takes a name first, then one rename over the old file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(destination);
        int nameSlot = -1;
        {
            const SignalsHeld held;
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST) continue;
                error = because("cannot put " + destination + " in place", errno);
                return false;
            }
            nameSlot = registerTemporary(name);
        }
        const bool renamed = rename(name.c_str(), destination.c_str()) == 0;
        const int renameError = errno;
        const SignalsHeld held;
        if (!renamed) unlink(name.c_str());
        releaseTemporary(nameSlot);
        if (!renamed) error = because("cannot put " + destination + " in place", renameError);
        return renamed;
    }
    error = "cannot put " + destination + " in place: no free temporary name";
    return false;
}

bool PendingFile::placeNamed(std::string& error) {
    const SignalsHeld held;
    const bool placed = replace ? rename(temporary.c_str(), destination.c_str()) == 0
                                : renameNoReplace(temporary, destination);
    if (placed) {
        releaseTemporary(slot);
        slot = -1;
        return true;
    }
    error = errno == EEXIST && !replace
                ? destination + " appeared during the render: use -f to replace it"
                : because("cannot put " + destination + " in place", errno);
    return false;
}

bool PendingFile::commit(std::string& error) {
    if (fsync(fd) != 0) {
        error = because("cannot complete " + destination, errno);
        return false;
    }
    const bool placed = temporary.empty() ? placeUnnamed(error) : placeNamed(error);
    const bool closed = close(fd) == 0;
    const int closeError = errno;
    fd = -1;
    if (!placed) return false;
    committed = true;
    if (!closed) {
        error = because("cannot complete " + destination, closeError);
        return false;
    }
    return true;
}

PendingFile::~PendingFile() {
    if (fd >= 0) close(fd);
    const SignalsHeld held;
    if (!temporary.empty() && !committed) unlink(temporary.c_str());
    releaseTemporary(slot);
}

}  // namespace grindlet::render

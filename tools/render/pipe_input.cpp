#include "pipe_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace grindlet::render {

bool seekable(int fd) { return lseek(fd, 0, SEEK_CUR) != -1; }

size_t readFully(int fd, char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

namespace {

bool writeFully(int fd, const char* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

constexpr size_t COPY_BYTES = 1 << 16;

}  // namespace

// Formats libsndfile reads wrongly, or not at all, from a stream, by their first bytes: FLAC
// (its decoder loses sync), CAF (no frames), W64 (a length from garbage), VOC ("Creative Voice
// File") and WVE ("ALawSoundFile").
bool needsSeeking(const std::string& magic) {
    return magic == "fLaC" || magic == "caff" || magic == "riff" || magic == "Crea" ||
           magic == "ALaw";
}

// An unnamed file in the temporary folder holding `prefix` and the rest of fd, positioned at
// its start: it disappears with its descriptor, whatever ends the program. -1 with the reason.
int spool(int fd, const std::string& prefix, std::string& error) {
    const char* folder = std::getenv("TMPDIR");
    const std::string directory = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    int spooled = -1;
#if defined(O_TMPFILE)
    spooled = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (spooled < 0) {
        std::string name = directory + "/grindlet-input-XXXXXX";
        std::vector<char> pattern(name.begin(), name.end());
        pattern.push_back('\0');
        spooled = mkostemp(pattern.data(), O_CLOEXEC);
        if (spooled >= 0) unlink(pattern.data());  // nameless from the start
    }
    if (spooled < 0) {
        error = "cannot keep the piped input in " + directory + ": " + std::strerror(errno);
        return -1;
    }
    std::vector<char> buffer(COPY_BYTES);
    bool written = writeFully(spooled, prefix.data(), prefix.size());
    for (size_t n; written && (n = readFully(fd, buffer.data(), buffer.size())) > 0;)
        written = writeFully(spooled, buffer.data(), n);
    if (!written || lseek(spooled, 0, SEEK_SET) != 0) {
        error = "cannot keep the piped input in " + directory + ": " + std::strerror(errno);
        close(spooled);
        return -1;
    }
    return spooled;
}

// A pipe that gives `prefix` and then the rest of fd, fed by a thread: libsndfile then reads a
// stream it has seen from its first byte. -1 with the reason.
int replay(int fd, const std::string& prefix, std::string& error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot read the piped input: ") + std::strerror(errno);
        return -1;
    }
    std::thread([fd, prefix, writeEnd = ends[1]] {
        std::vector<char> buffer(COPY_BYTES);
        bool open = writeFully(writeEnd, prefix.data(), prefix.size());
        // Whatever arrives goes on at once: a live stream must not wait for a full buffer.
        while (open) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            open = writeFully(writeEnd, buffer.data(), static_cast<size_t>(n));  // reader gone
        }
        close(writeEnd);
    }).detach();
    return ends[0];
}

}  // namespace grindlet::render

#include "wav_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "pipe_input.h"

namespace grindlet::render {

namespace {

uint32_t littleEndian(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

// A WAV file's frames as its data chunk states them, when that is more than the file holds;
// -1 otherwise (not a WAV file, a sound one, or the streaming size that means "unknown").
}  // namespace

int64_t truncatedWavFrames(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat status {};
    int64_t result = -1;
    unsigned char header[12], chunk[8], format[16];
    uint32_t blockAlign = 0;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        readFully(fd, reinterpret_cast<char*>(header), 12) == 12 &&
        std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "WAVE", 4) == 0) {
        int64_t at = 12;
        while (readFully(fd, reinterpret_cast<char*>(chunk), 8) == 8) {
            const uint32_t size = littleEndian(chunk + 4);
            at += 8;
            if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 &&
                readFully(fd, reinterpret_cast<char*>(format), 16) == 16) {
                blockAlign = uint32_t(format[12]) | uint32_t(format[13]) << 8;
                at += 16;
                if (lseek(fd, at += size - 16 + (size & 1), SEEK_SET) < 0) break;
                continue;
            }
            if (std::memcmp(chunk, "data", 4) == 0) {
                const int64_t held = int64_t(status.st_size) - at;
                if (blockAlign > 0 && size != 0xFFFFFFFFu && int64_t(size) > held)
                    result = int64_t(size) / blockAlign;
                break;
            }
            at += int64_t(size) + (size & 1);
            if (lseek(fd, at, SEEK_SET) < 0) break;
        }
    }
    close(fd);
    return result;
}

}  // namespace grindlet::render

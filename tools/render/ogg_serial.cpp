#include "ogg_serial.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace grindlet::render {

namespace {

// Ogg's page checksum: CRC-32, polynomial 0x04C11DB7, not reflected, starting from 0.
uint32_t pageChecksum(const unsigned char* bytes, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int bit = 0; bit < 8; ++bit)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ bytes[i]) & 0xFFu];
    return crc;
}

bool readAt(int fd, unsigned char* into, size_t size, off_t at) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = pread(fd, into + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EINVAL;  // a page cut short
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeAt(int fd, const unsigned char* bytes, size_t size, off_t at) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, bytes + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool setOggSerial(int fd, uint32_t serial) {
    constexpr size_t HEADER_BYTES = 27, SERIAL_AT = 14, CHECKSUM_AT = 22, SEGMENTS_AT = 26;
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return false;
    std::vector<unsigned char> page(HEADER_BYTES + 255 + 255 * 255);
    for (off_t at = 0; at < end;) {
        if (!readAt(fd, page.data(), HEADER_BYTES, at)) return false;
        if (std::memcmp(page.data(), "OggS", 4) != 0) {
            errno = EINVAL;
            return false;
        }
        const size_t segments = page[SEGMENTS_AT];
        if (!readAt(fd, page.data() + HEADER_BYTES, segments, at + off_t(HEADER_BYTES)))
            return false;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += page[HEADER_BYTES + i];
        const size_t size = HEADER_BYTES + segments + body;
        if (!readAt(fd, page.data(), size, at)) return false;
        for (size_t i = 0; i < 4; ++i) {
            page[SERIAL_AT + i] = static_cast<unsigned char>(serial >> (8 * i));
            page[CHECKSUM_AT + i] = 0;
        }
        const uint32_t checksum = pageChecksum(page.data(), size);
        for (size_t i = 0; i < 4; ++i)
            page[CHECKSUM_AT + i] = static_cast<unsigned char>(checksum >> (8 * i));
        if (!writeAt(fd, page.data(), HEADER_BYTES, at)) return false;
        at += static_cast<off_t>(size);
    }
    return true;
}

}  // namespace grindlet::render

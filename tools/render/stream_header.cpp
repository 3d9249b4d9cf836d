#include "stream_header.h"

#include <sndfile.h>

namespace grindlet::render {

namespace {

void put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void putBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

}  // namespace

SampleLayout layoutOf(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_S8:
            return {1, false};
        case SF_FORMAT_PCM_24:
            return {3, false};
        case SF_FORMAT_PCM_32:
            return {4, false};
        case SF_FORMAT_FLOAT:
            return {4, true};
        case SF_FORMAT_DOUBLE:
            return {8, true};
        default:
            return {2, false};
    }
}

// The header of a file written as a stream, whose sizes cannot be fixed afterwards: from the
// length where that is known and fits, else the "unknown length" sizes that streaming readers
// accept. WAV (little-endian samples) or AU (big-endian).
std::string streamedHeader(int container, int subtype, int32_t sampleRate, int32_t channels,
                           int64_t frames) {
    constexpr uint32_t UNKNOWN = 0xFFFFFFFFu, WAV_HEADER_AFTER_RIFF_SIZE = 36;
    const SampleLayout layout = layoutOf(subtype);
    const uint32_t blockAlign = layout.bytes * static_cast<uint32_t>(channels);
    const uint64_t dataBytes = frames >= 0 ? uint64_t(frames) * blockAlign : UINT64_MAX;
    const bool known = dataBytes < UNKNOWN - WAV_HEADER_AFTER_RIFF_SIZE;
    std::string header;
    if (container == SF_FORMAT_AU) {
        constexpr uint32_t AU_HEADER_BYTES = 24;
        // AU's encodings: 2 to 5 for 8- to 32-bit integers, 6 float, 7 double.
        const uint32_t encoding = layout.floating ? (layout.bytes == 4 ? 6 : 7) : layout.bytes + 1;
        header = ".snd";
        putBig32(header, AU_HEADER_BYTES);
        putBig32(header, known ? static_cast<uint32_t>(dataBytes) : UNKNOWN);
        putBig32(header, encoding);
        putBig32(header, static_cast<uint32_t>(sampleRate));
        putBig32(header, static_cast<uint32_t>(channels));
        return header;
    }
    constexpr uint16_t PCM = 1, IEEE_FLOAT = 3;
    header = "RIFF";
    put32(header, known ? static_cast<uint32_t>(dataBytes) + WAV_HEADER_AFTER_RIFF_SIZE : UNKNOWN);
    header += "WAVEfmt ";
    put32(header, 16);
    put16(header, layout.floating ? IEEE_FLOAT : PCM);
    put16(header, static_cast<uint32_t>(channels));
    put32(header, static_cast<uint32_t>(sampleRate));
    put32(header, static_cast<uint32_t>(sampleRate) * blockAlign);
    put16(header, blockAlign);
    put16(header, layout.bytes * 8);
    header += "data";
    put32(header, known ? static_cast<uint32_t>(dataBytes) : UNKNOWN);
    return header;
}

}  // namespace grindlet::render

// The header of a WAV or AU file written as a stream (a pipe, a device), which cannot seek back
// to fix its sizes afterwards; and the bytes a sample takes in each sample format.
#pragma once

#include <cstdint>
#include <string>

namespace grindlet::render {

struct SampleLayout {
    uint32_t bytes;
    bool floating;
};
// A libsndfile sample format's bytes and kind (16-bit for any other).
SampleLayout layoutOf(int subtype);

// The header, with the sizes `frames` gives where it is known (>= 0) and fits, else the sizes
// that streaming readers take for "unknown". WAV (little-endian samples) or AU (big-endian).
std::string streamedHeader(int container, int subtype, int32_t sampleRate, int32_t channels,
                           int64_t frames);

}  // namespace grindlet::render

// What a host checks about the samples a module writes, shared by the tools, the tests and the
// fuzz targets: a sentinel for samples nobody should write, a hash of a run's output bits, and
// deterministic test signals made with the same bits on every platform (no C library sine: the
// Linux and Windows checkers must feed a module the same input).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp/float_bits.h"
#include "dsp/portable_math.h"

namespace grindlet {

// A quiet NaN with a payload no arithmetic produces: a sample still holding it was not written.
constexpr uint32_t SENTINEL_BITS = 0x7FC0DEADu;
inline float sentinel() { return floatFromBits(SENTINEL_BITS); }

// FNV-1a over the samples' bit patterns, byte by byte (little-endian).
inline uint32_t hashSamples(const float* samples, size_t count) {
    constexpr uint32_t FNV_OFFSET = 2166136261u, FNV_PRIME = 16777619u;
    uint32_t hash = FNV_OFFSET;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t bits = floatBits(samples[i]);
        for (int byte = 0; byte < 4; ++byte) {
            hash ^= (bits >> (8 * byte)) & 0xFFu;
            hash *= FNV_PRIME;
        }
    }
    return hash;
}

inline uint32_t hashSamples(const std::vector<float>& samples) {
    return hashSamples(samples.data(), samples.size());
}

inline std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Deterministic pseudo-random numbers (xorshift32).
struct XorShift32 {
    uint32_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    // Uniform in [-1, 1).
    float uniform() { return static_cast<float>(next() >> 8) / 16777216.0f * 2.0f - 1.0f; }
};

// A sine of an amplitude and a frequency at a sample rate.
inline std::vector<float> sineSignal(int32_t length, double amplitude, double hertz,
                                     double sampleRate = 44100.0) {
    std::vector<float> signal(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) {
        signal[static_cast<size_t>(i)] =
            static_cast<float>(amplitude * sineOfTurns(hertz * i / sampleRate));
    }
    return signal;
}

// Two sines (220 Hz and 3111 Hz at 44100 Hz) and a little noise: every code path of the effect.
inline std::vector<float> testSignal(int32_t length, uint32_t seed = 1) {
    constexpr double RATE = 44100.0;
    std::vector<float> signal(static_cast<size_t>(length));
    XorShift32 random{seed};
    for (int32_t i = 0; i < length; ++i) {
        const double t = i / RATE;
        signal[static_cast<size_t>(i)] = static_cast<float>(
            0.6 * sineOfTurns(220.0 * t) + 0.3 * sineOfTurns(3111.0 * t) + 0.05 * random.uniform());
    }
    return signal;
}

}  // namespace grindlet

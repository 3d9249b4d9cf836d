// A fuzz input read as a script: bytes, little-endian words, and floats as raw bit patterns.
// Past the end every read gives 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/float_bits.h"

namespace grindlet::fuzz {

struct Script {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= uint32_t{byte()} << (8 * i);
        return w;
    }
    float raw() { return floatFromBits(word()); }
    // One of the values of a table most of the time (a byte below `tableShare` picks one),
    // otherwise any bit pattern.
    float pick(const float* table, size_t count, uint8_t tableShare) {
        const uint8_t choice = byte();
        return choice < tableShare ? table[choice % count] : raw();
    }
};

}  // namespace grindlet::fuzz

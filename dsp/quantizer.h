// Bit-depth reduction: a scale set from the "Bits" control once per block, and per-sample
// quantization in one of three rounding modes. Exact to the bit: double-precision arithmetic
// rounded to single precision where noted.
#pragma once

#include <cstdint>

#include "float_bits.h"

namespace grindlet::dsp {

struct QuantizerState {
    bool quantizeOn;     // taken samples are quantized
    float quantScale;    // steps per unit of signal
    float quantInverse;  // size of one step
    float lastBits;      // the raw "Bits" value of the previous block
};

// "Q.Mode" list values.
constexpr int16_t QUANT_MODE_FLOOR = 0;
constexpr int16_t QUANT_MODE_ROUND = 1;
constexpr int16_t QUANT_MODE_INSIDE = 2;

// "Bits" carries the bit count divided by ten (2.3 is 23 bits): above 23 bits quantization is
// off, at 1 bit and below there is one step per unit. Both thresholds are single-precision
// constants.
constexpr float BITS_QUANTIZE_OFF_ABOVE = 2.3f;
constexpr float BITS_ONE_STEP_AT_OR_BELOW = 0.1f;
constexpr double BITS_PER_STREAM_UNIT = 10.0;
// What "Bits" carries for a bit count, as the front ends stream it (a host's value, in single
// precision, divided by ten).
inline float bitsStreamOf(float bits) {
    return static_cast<float>(double(bits) / BITS_PER_STREAM_UNIT);
}
// Far outside any "Bits" value: the first block after a reset always reconfigures.
constexpr float LAST_BITS_AT_RESET = -1e8f;

// The work of configureQuantizer when "Bits" has changed.
void reconfigureQuantizer(QuantizerState& state, float bits);

// The state at open: scale and inverse 0.0, and a previous "Bits" value far outside anything
// the control carries, so that the first block always reconfigures.
void resetQuantizer(QuantizerState& state);

// Called once at the start of every block with the block's first "Bits" sample. Inline, as
// the value seldom changes and the copy and silence paths run little else.
inline void configureQuantizer(QuantizerState& state, float bits) {
    if (bits == state.lastBits) {
        state.lastBits = bits;  // -0.0 and +0.0 compare equal; the newer one is kept
        return;
    }
    reconfigureQuantizer(state, bits);
}

// Clears the fraction bits worth less than 1; infinities, NaN and |v| < 1 give +0.0.
inline float truncateTowardZero(float v) {
    constexpr uint32_t exponentShift = 23;
    constexpr uint32_t exponentMask = 0xFF;
    constexpr uint32_t exponentOfOne = 127;       // biased exponent of 1.0
    constexpr uint32_t exponentNoFraction = 150;  // from 2^23 on a float has no fraction bits
    constexpr uint32_t exponentSpecial = 255;     // infinity and NaN
    const uint32_t bits = floatBits(v);
    const uint32_t exponent = (bits >> exponentShift) & exponentMask;
    if (exponent == exponentSpecial || exponent < exponentOfOne) return 0.0f;
    if (exponent >= exponentNoFraction) return v;
    const uint32_t fractionMask = (1u << (exponentNoFraction - exponent)) - 1u;
    return floatFromBits(bits & ~fractionMask);
}

// One taken sample in the mode given at compile time; the offset follows x's sign bit.
template <int16_t Mode>
inline float quantizeSample(const QuantizerState& state, float x) {
    const bool negative = (floatBits(x) >> 31) != 0;
    float v;
    if constexpr (Mode == QUANT_MODE_FLOOR) {
        v = static_cast<float>(double(state.quantScale) * double(x) + (negative ? -1.0 : 0.0));
    } else if constexpr (Mode == QUANT_MODE_ROUND) {
        v = static_cast<float>(double(state.quantScale) * double(x) + (negative ? -0.5 : 0.5));
    } else {
        // One rounding of an exact double product is the single-precision product.
        v = state.quantScale * x;
    }
    return truncateTowardZero(v) * state.quantInverse;
}

// The same, with the mode chosen at run time, for tests and tools. The process routines never
// quantize in a mode outside 0...2 (they write nothing then); here such a mode returns x.
inline float quantizeSample(const QuantizerState& state, int16_t mode, float x) {
    switch (mode) {
        case QUANT_MODE_FLOOR:
            return quantizeSample<QUANT_MODE_FLOOR>(state, x);
        case QUANT_MODE_ROUND:
            return quantizeSample<QUANT_MODE_ROUND>(state, x);
        case QUANT_MODE_INSIDE:
            return quantizeSample<QUANT_MODE_INSIDE>(state, x);
        default:
            return x;
    }
}

}  // namespace grindlet::dsp

// Where the rate reducer's output may lie: within the samples it may have taken so far (after
// quantization), widened only by what the ramp's own single-precision additions can add. Used by
// the property tests and the fuzz target to catch a ramp thrown beyond the signal.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/quantizer.h"

namespace grindlet::test {

class TakenRange {
public:
    // Every input sample of a block whose loop ran, as it would be taken: quantized by the
    // block's quantizer (the state's, after the call). step: the block's hold step.
    void addBlock(const dsp::QuantizerState& quantizer, int16_t quantMode, const float* in,
                  int32_t count, float step) {
        for (int32_t i = 0; i < count; ++i) {
            const float x = in[i];
            add(quantizer.quantizeOn ? dsp::quantizeSample(quantizer, quantMode, x) : x);
        }
        if (step > longestStep) longestStep = std::min(step, MAX_PHASE);
    }

    // A copied block: the input itself.
    void addCopied(const float* in, int32_t count) {
        for (int32_t i = 0; i < count; ++i) add(in[i]);
    }

    // False once a taken value is not finite or so large that differences of two overflow:
    // from then on the run has no bound to check.
    bool bounded() const { return isBounded; }

    bool contains(float out) const {
        if (!isBounded) return true;
        const float margin = allowance();
        return out >= low - margin && out <= high + margin;
    }

    float lowest() const { return low; }
    float highest() const { return high; }

    // Each ramp addition rounds by at most half a place of the largest magnitude, and a ramp
    // runs at most one hold step (plus a few places for the rounded slope); nor can rounding to
    // nearest more than double a slope, so no ramp passes its target by more than the range.
    float allowance() const {
        const float largest = std::max(std::fabs(low), std::fabs(high));
        const float place = std::nextafter(largest, INFINITY) - largest;
        return std::min(high - low, (longestStep + SLOPE_PLACES) * place);
    }

private:
    static constexpr float LARGEST_TRACKED = 1e30f;
    static constexpr float MAX_PHASE = 16777216.0f;  // the phase stops growing at 2^24
    static constexpr float SLOPE_PLACES = 4.0f;

    void add(float v) {
        if (!(std::fabs(v) <= LARGEST_TRACKED)) {
            isBounded = false;
            return;
        }
        low = std::min(low, v);
        high = std::max(high, v);
    }

    float low = 0.0f, high = 0.0f;  // the state at open holds 0.0
    float longestStep = 1.0f;
    bool isBounded = true;
};

}  // namespace grindlet::test

// The fast sample loops against the plain reference loops, as the differential test and the
// fuzz target both drive them: one reducer run twice, block by block with the same calls, and
// what must hold after each block (the same output bits, nothing written outside the block,
// the same end state, compared member by member by bit pattern, so -0.0, +0.0 and NaN payloads
// count and padding does not).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/rate_reducer.h"
#include "host/sample_checks.h"

namespace grindlet::test {

// The first member in which the two differ, or null where they are the same.
inline const char* firstDifference(const dsp::RateReducerState& a, const dsp::RateReducerState& b) {
    const struct {
        const char* name;
        float a, b;
    } members[] = {{"samplePeriod", a.samplePeriod, b.samplePeriod},
                   {"holdPhase", a.holdPhase, b.holdPhase},
                   {"heldValue", a.heldValue, b.heldValue},
                   {"previousHeld", a.previousHeld, b.previousHeld},
                   {"rampValue", a.rampValue, b.rampValue},
                   {"rampStep", a.rampStep, b.rampStep},
                   {"quantScale", a.quantizer.quantScale, b.quantizer.quantScale},
                   {"quantInverse", a.quantizer.quantInverse, b.quantizer.quantInverse},
                   {"lastBits", a.quantizer.lastBits, b.quantizer.lastBits},
                   {"lastRate", a.lastRate, b.lastRate}};
    for (const auto& m : members) {
        if (floatBits(m.a) != floatBits(m.b)) return m.name;
    }
    return a.quantizer.quantizeOn != b.quantizer.quantizeOn ? "quantizeOn" : nullptr;
}

// One block: the routine, the controls, where it runs in the buffer, and where it is split
// into two calls with the same controls (both loops split alike: a call's end is part of what
// defines the output, as a ramp that ran past its target stops there).
struct TwinBlock {
    bool linear = false;
    int16_t mode = dsp::QUANT_MODE_FLOOR;
    float bits = 0.8f;
    float rate = 4410.0f;
    int32_t offset = 0;
    int32_t count = 0;
    int32_t split = 0;  // 0 or count: one call
    bool inPlace = false;
};

class TwinReducer {
public:
    explicit TwinReducer(float rate = 44100.0f) { reopen(rate); }

    // A fresh open of both at a sample rate.
    void reopen(float rate) {
        sampleRate = rate;
        std::memset(&fast, 0, sizeof fast);
        std::memset(&reference, 0, sizeof reference);
        dsp::resetRateReducer(fast, sampleRate);
        dsp::resetRateReducer(reference, sampleRate);
    }

    // Runs the block on both over a copy of `input` (its whole length is the buffer); null
    // where they agree, else what differs.
    const char* run(const TwinBlock& block, const std::vector<float>& input) {
        const size_t size = input.size();
        controls[0].assign(size + 2, block.bits);
        controls[1].assign(size + 2, block.rate);
        fastIn = input;
        referenceIn = input;
        fastOut.assign(size, sentinel());
        referenceOut.assign(size, sentinel());
        float* fastTo = block.inPlace ? fastIn.data() : fastOut.data();
        float* referenceTo = block.inPlace ? referenceIn.data() : referenceOut.data();
        const dsp::ReducerStreams fastStreams{fastIn.data(), controls[0].data(), controls[1].data(),
                                              fastTo};
        const dsp::ReducerStreams referenceStreams{referenceIn.data(), controls[0].data(),
                                                   controls[1].data(), referenceTo};
        const auto fastCall = block.linear ? dsp::processLinear : dsp::processStep;
        const auto referenceCall =
            block.linear ? dsp::processLinearReference : dsp::processStepReference;
        const int32_t first =
            block.split > 0 && block.split < block.count ? block.split : block.count;
        referenceCall(reference, referenceStreams, sampleRate, block.mode, block.offset, first);
        fastCall(fast, fastStreams, sampleRate, block.mode, block.offset, first);
        if (first < block.count) {
            referenceCall(reference, referenceStreams, sampleRate, block.mode, block.offset + first,
                          block.count - first);
            fastCall(fast, fastStreams, sampleRate, block.mode, block.offset + first,
                     block.count - first);
        }
        lastReferenceOutput = referenceTo;
        if (std::memcmp(fastTo, referenceTo, size * sizeof(float)) != 0) return "output";
        for (size_t i = 0; !block.inPlace && i < size; ++i) {
            const bool inside =
                int64_t(i) >= block.offset && int64_t(i) < int64_t(block.offset) + block.count;
            if (!inside && floatBits(fastOut[i]) != SENTINEL_BITS)
                return "a write outside the block";
        }
        return firstDifference(fast, reference);
    }

    // The reference's output buffer of the last block (its input buffer when in place).
    const float* referenceOutput() const { return lastReferenceOutput; }

    dsp::RateReducerState fast{}, reference{};
    float sampleRate = 44100.0f;

private:
    std::vector<float> controls[2], fastIn, referenceIn, fastOut, referenceOut;
    const float* lastReferenceOutput = nullptr;
};

}  // namespace grindlet::test

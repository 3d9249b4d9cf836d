// The plain per-sample loops of the rate reducer: one phase addition and one branch per sample.
// They define the output bit for bit. The fast loops must give the same bits and end state; the
// tests and benchmarks compare against these, and the fast loops fall back on the per-sample
// bodies wherever their shortcuts do not apply.
#pragma once

#include <cstdint>

#include "in_order.h"
#include "quantizer.h"
#include "rate_reducer.h"

namespace grindlet::dsp {

// The state one "Step" sample touches, held in registers by the loops.
struct StepRegisters {
    float phase;
    float held;
};

// The state one "Linear" sample touches.
struct LinearRegisters {
    float phase;
    float held;
    float previous;
    float ramp;
    float rampStep;
};

// The ramp's increment after a take: (held - previous) * factor in double, rounded once.
inline float rampIncrement(float held, float previous, float factor) {
    return static_cast<float>(multiplyInOrder(double(held) - double(previous), double(factor)));
}

template <int16_t Mode, bool Quantize>
inline float takeSample(const QuantizerState& quantizer, float x) {
    if constexpr (Quantize) return quantizeSample<Mode>(quantizer, x);
    return x;
}

// Returns whether the sample was taken.
template <int16_t Mode, bool Quantize>
inline bool stepSample(StepRegisters& r, const QuantizerState& quantizer, float in, float* out,
                       float step) {
    const bool take = r.phase >= step;
    if (take) {
        r.phase -= step;
        r.held = takeSample<Mode, Quantize>(quantizer, in);
    }
    r.phase += 1.0f;
    *out = r.held;
    return take;
}

template <int16_t Mode, bool Quantize>
inline void linearSample(LinearRegisters& r, const QuantizerState& quantizer, float in, float* out,
                         float step, float factor) {
    if (r.phase >= step) {
        r.ramp = r.held;
        r.previous = r.held;
        r.held = in;
        r.phase -= step;
        r.held = takeSample<Mode, Quantize>(quantizer, r.held);
        r.rampStep = rampIncrement(r.held, r.previous, factor);
    }
    r.phase += 1.0f;
    *out = r.ramp;
    r.ramp = addInOrder(r.ramp, r.rampStep);
}

inline StepRegisters loadStep(const RateReducerState& state) {
    return {state.holdPhase, state.heldValue};
}

inline void storeStep(RateReducerState& state, const StepRegisters& r) {
    state.holdPhase = r.phase;
    state.heldValue = r.held;
}

inline LinearRegisters loadLinear(const RateReducerState& state) {
    return {state.holdPhase, state.heldValue, state.previousHeld, state.rampValue, state.rampStep};
}

inline void storeLinear(RateReducerState& state, const LinearRegisters& r) {
    state.holdPhase = r.phase;
    state.heldValue = r.held;
    state.previousHeld = r.previous;
    state.rampValue = r.ramp;
    state.rampStep = r.rampStep;
}

namespace reference {

// Returns whether any sample was taken.
template <int16_t Mode, bool Quantize>
bool stepLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step) {
    StepRegisters r = loadStep(state);
    const QuantizerState quantizer = state.quantizer;
    bool took = false;
    for (int32_t i = 0; i < count; ++i)
        took |= stepSample<Mode, Quantize>(r, quantizer, in[i], out + i, step);
    storeStep(state, r);
    return took;
}

template <int16_t Mode, bool Quantize>
void linearLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step,
                float factor) {
    LinearRegisters r = loadLinear(state);
    const QuantizerState quantizer = state.quantizer;
    for (int32_t i = 0; i < count; ++i) {
        linearSample<Mode, Quantize>(r, quantizer, in[i], out + i, step, factor);
    }
    storeLinear(state, r);
}

}  // namespace reference

}  // namespace grindlet::dsp

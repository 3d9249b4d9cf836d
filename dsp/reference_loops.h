// The plain per-sample loops of the rate reducer: one phase addition and one branch per sample.
// They define the output bit for bit. The fast loops must give the same bits and end state; the
// tests and benchmarks compare against these, and the fast loops fall back on the per-sample
// bodies wherever their shortcuts do not apply.
#pragma once

#include <cstdint>

#include "float_bits.h"
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

// "Linear" takes a magnitude below this (a taken sample, a ramp's slope) as a zero of its sign.
// Every other value it meets is then a multiple of 2^-123 (a float from 2^-100 up is one, and so
// is a quantized sample), and so is every sum of them: no ramp value is ever subnormal, and a
// processor that flushes subnormals (FTZ/DAZ) gives the same bits as one that does not.
constexpr float SMALLEST_RAMP_VALUE = 0x1p-100f;
inline float rampValueOrZero(float v) {
    constexpr uint32_t MAGNITUDE = 0x7FFFFFFFu, SIGN = 0x80000000u;
    const uint32_t bits = floatBits(v);
    return (bits & MAGNITUDE) < floatBits(SMALLEST_RAMP_VALUE) ? floatFromBits(bits & SIGN) : v;
}

// The ramp's increment after a take: (held - previous) * factor in double, rounded once.
inline float rampIncrement(float held, float previous, float factor) {
    return rampValueOrZero(
        static_cast<float>(multiplyInOrder(double(held) - double(previous), double(factor))));
}

// The ramp never passes the sample it heads for (a take would put it there anyway): a rounding,
// or a steep re-aim, would otherwise carry the output beyond the signal, and how far would
// depend on where a host's blocks end. Comparisons with NaN are false: a NaN stays as it is.
inline float rampToward(float ramp, float target, float rampStep) {
    const bool past = (rampStep > 0.0f && ramp > target) || (rampStep < 0.0f && ramp < target);
    return past ? target : ramp;
}

template <int16_t Mode, bool Quantize>
inline float takeSample(const QuantizerState& quantizer, float x) {
    if constexpr (Quantize) return quantizeSample<Mode>(quantizer, x);
    return x;
}

// A take of "Linear", whose ramp works on it: unquantized, a tiny magnitude is zero.
template <int16_t Mode, bool Quantize>
inline float takeRampSample(const QuantizerState& quantizer, float x) {
    if constexpr (Quantize) return quantizeSample<Mode>(quantizer, x);
    return rampValueOrZero(x);
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
        r.held = takeRampSample<Mode, Quantize>(quantizer, r.held);
        r.rampStep = rampIncrement(r.held, r.previous, factor);
    }
    r.phase += 1.0f;
    *out = r.ramp;
    r.ramp = rampToward(addInOrder(r.ramp, r.rampStep), r.held, r.rampStep);
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

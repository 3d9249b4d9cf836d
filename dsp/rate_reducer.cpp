#include "rate_reducer.h"

#include <cstring>

namespace grindlet::dsp {

namespace {

enum class BlockPath { Copied, Silenced, Reduce };

struct BlockStart {
    BlockPath path;
    float rate;
    float step;
    bool rateBelowSampleRate;
};

// Common to both routines: controls, quantizer, and the copy and silence paths.
BlockStart startBlock(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                      int32_t offset, int32_t count) {
    const float bits = streams.bitsBuffer[offset];
    const float rate = RATE_PER_STREAM_UNIT * streams.rateBuffer[offset];
    configureQuantizer(state.quantizer, bits);
    const size_t bytes = static_cast<size_t>(count) * sizeof(float);
    if (rate >= sampleRate) {
        if (!state.quantizer.quantizeOn) {
            const float* in = streams.inputBuffer + offset;
            float* out = streams.outputBuffer + offset;
            if (in != out && count > 0) std::memmove(out, in, bytes);  // hosts may work in place
            return {BlockPath::Copied, rate, 0.0f, false};
        }
        return {BlockPath::Reduce, rate, 1.0f, false};
    }
    if (!(rate > 0.0f)) {  // zero, negative or NaN
        if (count > 0) std::memset(streams.outputBuffer + offset, 0, bytes);
        return {BlockPath::Silenced, rate, 0.0f, false};
    }
    // A float quotient of two floats is the double quotient rounded once.
    return {BlockPath::Reduce, rate, sampleRate / rate, true};
}

template <int16_t Mode, bool Quantize>
void stepLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step) {
    float phase = state.holdPhase;
    float held = state.heldValue;
    const QuantizerState quantizer = state.quantizer;
    for (int32_t i = 0; i < count; ++i) {
        if (phase >= step) {
            phase -= step;
            held = in[i];
            if constexpr (Quantize) held = quantizeSample<Mode>(quantizer, held);
        }
        phase += 1.0f;
        out[i] = held;
    }
    state.holdPhase = phase;
    state.heldValue = held;
}

template <int16_t Mode, bool Quantize>
void linearLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step,
                float factor) {
    float phase = state.holdPhase;
    float held = state.heldValue;
    float previous = state.previousHeld;
    float ramp = state.rampValue;
    float rampStep = state.rampStep;
    const QuantizerState quantizer = state.quantizer;
    for (int32_t i = 0; i < count; ++i) {
        if (phase >= step) {
            ramp = held;
            previous = held;
            held = in[i];
            phase -= step;
            if constexpr (Quantize) held = quantizeSample<Mode>(quantizer, held);
            rampStep = static_cast<float>((double(held) - double(previous)) * double(factor));
        }
        phase += 1.0f;
        out[i] = ramp;
        ramp += rampStep;
    }
    state.holdPhase = phase;
    state.heldValue = held;
    state.previousHeld = previous;
    state.rampValue = ramp;
    state.rampStep = rampStep;
}

template <template <int16_t, bool> class Loop, class... Args>
void runLoopForMode(int16_t quantMode, bool quantize, Args&&... args) {
    switch (quantMode) {
        case QUANT_MODE_FLOOR:
            quantize ? Loop<QUANT_MODE_FLOOR, true>::run(args...)
                     : Loop<QUANT_MODE_FLOOR, false>::run(args...);
            break;
        case QUANT_MODE_ROUND:
            quantize ? Loop<QUANT_MODE_ROUND, true>::run(args...)
                     : Loop<QUANT_MODE_ROUND, false>::run(args...);
            break;
        case QUANT_MODE_INSIDE:
            quantize ? Loop<QUANT_MODE_INSIDE, true>::run(args...)
                     : Loop<QUANT_MODE_INSIDE, false>::run(args...);
            break;
        default:  // an unknown mode writes nothing
            break;
    }
}

template <int16_t Mode, bool Quantize>
struct StepLoop {
    static void run(RateReducerState& state, const float* in, float* out, int32_t count,
                    float step) {
        stepLoop<Mode, Quantize>(state, in, out, count, step);
    }
};

template <int16_t Mode, bool Quantize>
struct LinearLoop {
    static void run(RateReducerState& state, const float* in, float* out, int32_t count,
                    float step, float factor) {
        linearLoop<Mode, Quantize>(state, in, out, count, step, factor);
    }
};

// Re-aims the ramp so that it arrives at heldValue when the phase reaches the new step.
void reaimRamp(RateReducerState& state, float step) {
    state.rampStep = static_cast<float>((double(state.heldValue) - double(state.rampValue)) /
                                        (double(step) - double(state.holdPhase)));
}

}  // namespace

void resetRateReducer(RateReducerState& state, float sampleRate) {
    state.samplePeriod = static_cast<float>(1.0 / double(sampleRate));
    state.holdPhase = 0.0f;
    state.rampStep = 0.0f;
    state.rampValue = 0.0f;
    state.previousHeld = 0.0f;
    state.heldValue = 0.0f;
    state.quantizer.quantInverse = 0.0f;
    state.quantizer.quantScale = 0.0f;
    state.quantizer.lastBits = LAST_BITS_AT_RESET;
    state.lastRate = LAST_RATE_AT_RESET;
}

void processStep(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                 int16_t quantMode, int32_t offset, int32_t count) {
    // An empty block guarantees no valid sample at offset, not even a control sample to read.
    if (count <= 0) return;
    const BlockStart start = startBlock(state, streams, sampleRate, offset, count);
    if (start.path != BlockPath::Reduce) return;
    runLoopForMode<StepLoop>(quantMode, state.quantizer.quantizeOn, state,
                             streams.inputBuffer + offset, streams.outputBuffer + offset, count,
                             start.step);
}

void processLinear(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                   int16_t quantMode, int32_t offset, int32_t count) {
    if (count <= 0) return;  // as in processStep
    const BlockStart start = startBlock(state, streams, sampleRate, offset, count);
    if (start.path != BlockPath::Reduce) return;
    float factor = 0.0f;
    if (start.rateBelowSampleRate) {
        factor = start.rate * state.samplePeriod;
        if (start.rate < state.lastRate) {
            reaimRamp(state, start.step);
        } else if (start.rate > state.lastRate) {
            if (state.holdPhase < start.step) {
                reaimRamp(state, start.step);
            } else {
                // The next take comes at the block's first sample: start the new ramp where
                // the output stands, not at the abandoned target.
                state.heldValue = state.rampValue;
            }
        }
    }
    state.lastRate = start.rate;
    runLoopForMode<LinearLoop>(quantMode, state.quantizer.quantizeOn, state,
                               streams.inputBuffer + offset, streams.outputBuffer + offset, count,
                               start.step, factor);
}

}  // namespace grindlet::dsp

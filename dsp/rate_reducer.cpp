#include "rate_reducer.h"

#include <cstring>
#include <type_traits>

#include "fast_loops.h"
#include "reference_loops.h"

#if !GRINDLET_REFERENCE_LOOPS
#include "quantize_vector.h"
#endif

namespace grindlet::dsp {

namespace {

enum class BlockPath { Copied, Silenced, Reduce };

struct BlockStart {
    BlockPath path;
    float rate;
    float step;
    bool rateBelowSampleRate;
    float lastCopied;  // a copied block's last sample
};

// Common to both routines: controls, quantizer, and the copy and silence paths. Inlined: in a
// host's small blocks a call of its own costs a visible share of the block.
[[gnu::always_inline]] inline BlockStart startBlock(RateReducerState& state,
                                                    const ReducerStreams& streams, float sampleRate,
                                                    int32_t offset, int32_t count) {
    const float bits = streams.bitsBuffer[offset];
    const float rate = RATE_PER_STREAM_UNIT * streams.rateBuffer[offset];
    configureQuantizer(state.quantizer, bits);
    const size_t bytes = static_cast<size_t>(count) * sizeof(float);
    if (rate >= sampleRate) {
        if (!state.quantizer.quantizeOn) {
            const float* in = streams.inputBuffer + offset;
            float* out = streams.outputBuffer + offset;
            const float last = in[count - 1];  // before an overlapping copy moves it
            if (in + count <= out || out + count <= in) {
                std::memcpy(out, in, bytes);
            } else if (in != out) {
                std::memmove(out, in, bytes);  // overlapping; hosts that work in place skip this
            }
            return {BlockPath::Copied, rate, 0.0f, false, last};
        }
        return {BlockPath::Reduce, rate, 1.0f, false, 0.0f};
    }
    if (!(rate > 0.0f)) {  // zero, negative or NaN
        if (count > 0) std::memset(streams.outputBuffer + offset, 0, bytes);
        return {BlockPath::Silenced, rate, 0.0f, false, 0.0f};
    }
    // A float quotient of two floats is the double quotient rounded once.
    return {BlockPath::Reduce, rate, sampleRate / rate, true, 0.0f};
}

// A copied block stands for a reducer that took every sample: it holds the last one, taken
// one sample ago, with its ramp at rest there. A rate that falls below the sample rate then
// holds what was last heard until its first take, instead of what was held before the copying
// began (a stale sample, or the silence of a fresh start).
void tookEverySample(RateReducerState& state, float last) {
    state.holdPhase = 1.0f;
    state.heldValue = state.previousHeld = state.rampValue = last;
    state.rampStep = 0.0f;
}

template <int16_t Mode>
using ModeTag = std::integral_constant<int16_t, Mode>;

// Runs loop(mode tag, quantize tag) with the loop chosen by the mode, once per call; an unknown
// mode runs nothing and writes nothing.
template <class Loop>
void forMode(int16_t quantMode, bool quantize, Loop&& loop) {
    const auto withQuantize = [&](auto mode) {
        quantize ? loop(mode, std::true_type{}) : loop(mode, std::false_type{});
    };
    switch (quantMode) {
        case QUANT_MODE_FLOOR:
            withQuantize(ModeTag<QUANT_MODE_FLOOR>{});
            break;
        case QUANT_MODE_ROUND:
            withQuantize(ModeTag<QUANT_MODE_ROUND>{});
            break;
        case QUANT_MODE_INSIDE:
            withQuantize(ModeTag<QUANT_MODE_INSIDE>{});
            break;
        default:
            break;
    }
}

// The two sets of sample loops: the fast ones the module runs, and the plain reference.
struct FastLoops {
    template <int16_t Mode, bool Quantize, class... Args>
    static bool step(Args&&... args) {
        return fast::stepLoop<Mode, Quantize>(args...);
    }
    template <int16_t Mode, bool Quantize, class... Args>
    static void linear(Args&&... args) {
        fast::linearLoop<Mode, Quantize>(args...);
    }
};

struct ReferenceLoops {
    template <int16_t Mode, bool Quantize, class... Args>
    static bool step(Args&&... args) {
        return reference::stepLoop<Mode, Quantize>(args...);
    }
    template <int16_t Mode, bool Quantize, class... Args>
    static void linear(Args&&... args) {
        reference::linearLoop<Mode, Quantize>(args...);
    }
};

// Re-aims the ramp so that it arrives at heldValue when the phase reaches the new step.
void reaimRamp(RateReducerState& state, float step) {
    state.rampStep =
        rampValueOrZero(static_cast<float>((double(state.heldValue) - double(state.rampValue)) /
                                           (double(step) - double(state.holdPhase))));
}

// "Step" takes a sample: the output now stands at heldValue, so a later "Linear" call starts
// its ramp there rather than resuming one whose slope belongs to samples since replaced. Every
// take sets the same two values and nothing in "Step" reads them, so once after the loop is the
// same as at each take.
void settleRamp(RateReducerState& state) {
    state.rampValue = state.heldValue;
    state.rampStep = 0.0f;
}

template <class Loops>
void runStep(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
             int16_t quantMode, int32_t offset, int32_t count) {
    // An empty block guarantees no valid sample at offset, not even a control sample to read.
    if (count <= 0) return;
    const BlockStart start = startBlock(state, streams, sampleRate, offset, count);
    if (start.path == BlockPath::Copied) tookEverySample(state, start.lastCopied);
    if (start.path != BlockPath::Reduce) return;
    const float* in = streams.inputBuffer + offset;
    float* out = streams.outputBuffer + offset;
    bool took = false;
    forMode(quantMode, state.quantizer.quantizeOn, [&](auto mode, auto quantize) {
        took = Loops::template step<decltype(mode)::value, decltype(quantize)::value>(
            state, in, out, count, start.step);
    });
    if (took) settleRamp(state);
}

template <class Loops>
void runLinear(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
               int16_t quantMode, int32_t offset, int32_t count) {
    if (count <= 0) return;  // as in runStep
    // What "Step" held unquantized may be tiny: the ramp works on it as on its own takes.
    state.heldValue = rampValueOrZero(state.heldValue);
    state.rampValue = rampValueOrZero(state.rampValue);
    const BlockStart start = startBlock(state, streams, sampleRate, offset, count);
    if (start.path == BlockPath::Copied) tookEverySample(state, rampValueOrZero(start.lastCopied));
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
    const float* in = streams.inputBuffer + offset;
    float* out = streams.outputBuffer + offset;
    forMode(quantMode, state.quantizer.quantizeOn, [&](auto mode, auto quantize) {
        Loops::template linear<decltype(mode)::value, decltype(quantize)::value>(
            state, in, out, count, start.step, factor);
    });
}

}  // namespace

void resetRateReducer(RateReducerState& state, float sampleRate) {
    state.samplePeriod = static_cast<float>(1.0 / double(sampleRate));
    state.holdPhase = 0.0f;
    state.rampStep = 0.0f;
    state.rampValue = 0.0f;
    state.previousHeld = 0.0f;
    state.heldValue = 0.0f;
    resetQuantizer(state.quantizer);
    state.lastRate = LAST_RATE_AT_RESET;
    state.periodic = PeriodicMemo{};
}

// A build with GRINDLET_REFERENCE_LOOPS runs the plain loops everywhere: the test run builds
// the module that way once and compares its outputs with the fast build's.
#if GRINDLET_REFERENCE_LOOPS
using ModuleLoops = ReferenceLoops;
#else
using ModuleLoops = FastLoops;
#endif

void processStep(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                 int16_t quantMode, int32_t offset, int32_t count) {
    runStep<ModuleLoops>(state, streams, sampleRate, quantMode, offset, count);
}

void processLinear(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                   int16_t quantMode, int32_t offset, int32_t count) {
    runLinear<ModuleLoops>(state, streams, sampleRate, quantMode, offset, count);
}

// The taken samples in[takes[t]] quantized four at a time into held[t], as far as whole fours
// go where the vector quantizer applies (it gives quantizeSample's bits); how many it did.
template <int16_t Mode>
int32_t quantizeTakes(const QuantizerState& quantizer, const float* in, const int32_t* takes,
                      int32_t takeCount, float* held) {
#if GRINDLET_REFERENCE_LOOPS
    (void)quantizer, (void)in, (void)takes, (void)takeCount, (void)held;
    return 0;
#else
    if (!VectorQuantizer<Mode>::applies(quantizer)) return 0;
    const VectorQuantizer<Mode> quantize(quantizer);
    int32_t t = 0;
    for (; t + 4 <= takeCount; t += 4) {
        const __m128 x =
            _mm_setr_ps(in[takes[t]], in[takes[t + 1]], in[takes[t + 2]], in[takes[t + 3]]);
        _mm_storeu_ps(held + t, quantize(x));
    }
    return t;
#endif
}

void fillHolds(const float* held, const int32_t* takes, int32_t takeCount, float* out,
               int32_t count) {
    int32_t from = 0;
    for (int32_t t = 0; t <= takeCount; ++t) {
        const int32_t end = t < takeCount ? takes[t] : count;
        const float value = held[t];
#if !GRINDLET_REFERENCE_LOOPS
        // Most holds are a few frames: no branch on their length (the next hold writes over
        // what lies past this one).
        constexpr int32_t SPILL = 8;
        if (end - from <= SPILL && from + SPILL <= count) {
            const __m128 v = _mm_set1_ps(value);
            _mm_storeu_ps(out + from, v);
            _mm_storeu_ps(out + from + SPILL / 2, v);
            from = end;
            continue;
        }
#endif
        for (int32_t i = from; i < end; ++i) out[i] = value;
        from = end;
    }
}

bool findStepTakes(const RateReducerState& state, float rateStream, float sampleRate, int32_t count,
                   int32_t* takes, int32_t* holds, KnownTakes& found) {
    const float rate = RATE_PER_STREAM_UNIT * rateStream;
    if (count < 0 || count > MOST_KNOWN_TAKES_FRAMES || !(rate < sampleRate && rate > 0.0f))
        return false;
    const float step = sampleRate / rate;  // as startBlock has it
    float phase = state.holdPhase;
#if !GRINDLET_REFERENCE_LOOPS
    // A hold at a time on the phase's grid, where it holds the step.
    const int32_t walked = fast::findTakes(phase, step, count, takes, holds);
    if (walked >= 0) {
        found = {takes, holds, walked, phase};
        return true;
    }
#endif
    int32_t taken = 0;
    for (int32_t i = 0; i < count; ++i) {
        // stepSample's phase: the same two operations, in its order.
        const bool take = phase >= step;
        phase = (take ? phase - step : phase) + 1.0f;
        takes[taken] = i;
        taken += take ? 1 : 0;
        holds[i] = taken;
    }
    found = {takes, holds, taken, phase};
    return true;
}

bool processStepTaken(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                      int16_t quantMode, int32_t count, const KnownTakes& known) {
    if (count <= 0) return true;
    if (count > MOST_KNOWN_TAKES_FRAMES || known.takeCount > count) return false;
    // startBlock's tests, in its order: only its Reduce path below the sample rate is here.
    const float rate = RATE_PER_STREAM_UNIT * streams.rateBuffer[0];
    if (!(rate < sampleRate && rate > 0.0f) || quantMode < QUANT_MODE_FLOOR ||
        quantMode > QUANT_MODE_INSIDE)
        return false;
    configureQuantizer(state.quantizer, streams.bitsBuffer[0]);
    // The value each hold stands at: the one held coming in, then each take's.
    float ownHeld[MOST_KNOWN_TAKES_FRAMES + 1];
    float* held = known.heldOut != nullptr ? known.heldOut : ownHeld;
    held[0] = state.heldValue;
    const int32_t takeCount = known.takeCount;
    const float* in = streams.inputBuffer;
    forMode(quantMode, state.quantizer.quantizeOn, [&](auto mode, auto quantize) {
        constexpr int16_t MODE = decltype(mode)::value;
        constexpr bool QUANTIZE = decltype(quantize)::value;
        int32_t t = 0;
        if constexpr (QUANTIZE)
            t = quantizeTakes<MODE>(state.quantizer, in, known.takes, takeCount, held + 1);
        for (; t < takeCount; ++t)
            held[t + 1] = takeSample<MODE, QUANTIZE>(state.quantizer, in[known.takes[t]]);
    });
    float* out = streams.outputBuffer;
    if (known.heldOut == nullptr) {
        fillHolds(held, known.takes, takeCount, out, count);
    }
    state.holdPhase = known.endPhase;
    state.heldValue = held[takeCount];
    if (takeCount > 0) settleRamp(state);
    return true;
}

void processStepReference(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                          int16_t quantMode, int32_t offset, int32_t count) {
    runStep<ReferenceLoops>(state, streams, sampleRate, quantMode, offset, count);
}

void processLinearReference(RateReducerState& state, const ReducerStreams& streams,
                            float sampleRate, int16_t quantMode, int32_t offset, int32_t count) {
    runLinear<ReferenceLoops>(state, streams, sampleRate, quantMode, offset, count);
}

}  // namespace grindlet::dsp

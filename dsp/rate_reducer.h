// Sample-rate reduction: a phase accumulator that takes a new input sample every
// sampleRate / rate output samples and holds it ("Step") or ramps towards it ("Linear").
// State plus buffers in, buffers out; no host types.
#pragma once

#include <cstdint>

#include "quantizer.h"

namespace grindlet::dsp {

// The four sample streams, as the host's buffers.
struct ReducerStreams {
    const float* inputBuffer;  // "Input"
    const float* bitsBuffer;   // "Bits": bits / 10; only the block's first sample is read
    const float* rateBuffer;   // "S.R.": hertz / 10; only the block's first sample is read
    float* outputBuffer;       // "Output"
};

// Where a block's periodic tail starts, once the phase after each take repeats (whole-number
// holds): the fast loops' own bookkeeping.
struct PeriodicStart {
    int32_t firstHold;   // samples before the block's first take
    int32_t period;      // samples from one take to the next
    uint32_t afterTake;  // the phase after every take, in places of the step's binade
    uint32_t shift;      // log2 of 1.0 in those places
};

// What the fast loops learned about the phase at the end of the last block: where the next
// block's periodic tail starts, so that a block at the same hold step starts it at once. It is
// a function of the phase and the step alone, used only while both are bit for bit the ones it
// was made for; the plain loops neither read nor write it, and no output depends on it.
struct PeriodicMemo {
    uint32_t phaseBits;  // holdPhase as the block left it
    uint32_t stepBits;   // the hold step it was made for; 0 (no step is 0.0) until then
    PeriodicStart start;
};

struct RateReducerState {
    float samplePeriod;  // 1 / sample rate at open; Linear only
    float holdPhase;     // output samples since the last take, plus the last take's remainder
    float heldValue;     // the sample taken last, quantized
    float previousHeld;  // Linear: the sample taken before heldValue
    float rampValue;     // Linear: the next output sample
    float rampStep;      // Linear: added to rampValue after each output sample
    QuantizerState quantizer;
    float lastRate;         // Linear: the rate of the last block that ran the reducer
    PeriodicMemo periodic;  // the fast loops' own; not part of what the output depends on
};

// "S.R." carries the rate in hertz divided by ten (882 is 8,820 Hz).
constexpr float RATE_PER_STREAM_UNIT = 10.0f;
// What "S.R." carries for a rate in hertz, as the front ends stream it.
inline float rateStreamOf(float hertz) {
    return static_cast<float>(double(hertz) / double(RATE_PER_STREAM_UNIT));
}
// Far outside any rate, so the first Linear block after a reset always sees a risen rate.
constexpr float LAST_RATE_AT_RESET = -1e7f;

// The reset at open.
void resetRateReducer(RateReducerState& state, float sampleRate);

// One block each. Read "Bits" and "S.R." at offset, write outputBuffer[offset, offset + count):
// every sample of it, except with a quantMode outside 0...2, which writes none (the quantizer
// and, in Linear, the rate are still updated). A count of 0 (or less) reads and changes
// nothing. Input and output may be the same buffer.
//
// The output stays within the samples taken, and a stream split into calls of any length with
// the same controls gives the same bits: the Linear ramp stops at the sample it heads for, at
// every sample (rampToward), and every Step take leaves rampValue at heldValue with rampStep 0.
// A copied block leaves the state as a reducer that took every sample would (the last sample
// held), so a rate that falls below the sample rate goes on from what was last heard.
void processStep(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                 int16_t quantMode, int32_t offset, int32_t count);
void processLinear(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                   int16_t quantMode, int32_t offset, int32_t count);

// One block in the mode a front end chose: Linear, else Step.
inline void processBlock(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                         int16_t quantMode, bool linear, int32_t offset, int32_t count) {
    if (linear) {
        processLinear(state, streams, sampleRate, quantMode, offset, count);
    } else {
        processStep(state, streams, sampleRate, quantMode, offset, count);
    }
}

// A Step block whose takes are already known, as a dry run of processStep on the same phase
// and rate found them: `takes` (`takeCount` frames, in order), and for every frame i `holds[i]`,
// how many takes are at or before it. Only the taken samples are quantized; the output and the
// state are processStep's. False, and nothing done, where the block is not a reduction below
// the sample rate with a known mode (the copy and silence paths take no part in this), or
// longer than MOST_KNOWN_TAKES_FRAMES.
constexpr int32_t MOST_KNOWN_TAKES_FRAMES = 256;  // the most frames such a block has
struct KnownTakes {
    const int32_t* takes;
    const int32_t* holds;
    int32_t takeCount;
    float endPhase;  // holdPhase after the block
    // Where set, processStepTaken writes here what each hold stands at (takeCount + 1 values:
    // the one held coming in, then each take's) instead of the frames.
    float* heldOut = nullptr;
};
bool processStepTaken(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                      int16_t quantMode, int32_t count, const KnownTakes& known);
// out[0, count) from what each hold stands at: held[0] up to the first take, then held[t + 1]
// from takes[t] on. Each hold's frames are written as a run (up to eight by two unconditional
// stores that stay within out[0, count)), not frame by frame.
void fillHolds(const float* held, const int32_t* takes, int32_t takeCount, float* out,
               int32_t count);
// The takes of the next `count` frames (at most MOST_KNOWN_TAKES_FRAMES) of a Step reducer in
// this state at this "S.R." value, into takes[] and holds[] with the phase they end at: the
// phase's own arithmetic, step by step as processStep does it, without the samples. False
// where processStepTaken would refuse the block.
bool findStepTakes(const RateReducerState& state, float rateStream, float sampleRate, int32_t count,
                   int32_t* takes, int32_t* holds, KnownTakes& found);

// The same blocks through the plain per-sample loops, which define the output bit for bit: the
// reference that tests and benchmarks compare the loops above against.
void processStepReference(RateReducerState& state, const ReducerStreams& streams, float sampleRate,
                          int16_t quantMode, int32_t offset, int32_t count);
void processLinearReference(RateReducerState& state, const ReducerStreams& streams,
                            float sampleRate, int16_t quantMode, int32_t offset, int32_t count);

}  // namespace grindlet::dsp

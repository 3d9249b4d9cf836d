// The rate reducer's sample loops without one dependent phase addition per sample. They give
// the same output bits and end state as the loops in reference_loops.h for every input.
//
// The shortcut: once the phase is a whole multiple of the hold step's last place (it is from
// open on, and again after the first take at a new step), every phase value is exact up to the
// take, where at most one addition rounds. So the phase is kept as an integer count of those
// places, the distance to the next take is one integer division by a power of two, and the run
// between two takes is a fill (Step) or a ramp that, within one binade, adds a constant (Linear).
#pragma once

#include <cstdint>

#include "rate_reducer.h"

namespace grindlet::dsp::fast {

// Returns whether any sample was taken.
template <int16_t Mode, bool Quantize>
bool stepLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step);

template <int16_t Mode, bool Quantize>
void linearLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step,
                float factor);

// The takes of a Step block of `count` frames from `phase` at this step, without its samples:
// takes[] and holds[] as findStepTakes has them, and the phase after. -1 (nothing written) for
// a step the phase grid cannot hold; the caller then walks frame by frame.
int32_t findTakes(float& phase, float step, int32_t count, int32_t* takes, int32_t* holds);

// Writes out[i] = ramp_i for i in [0, count), where ramp_0 = ramp and ramp_{i+1} is
// ramp_i + rampStep rounded to single precision and stopped at target (rampToward); returns
// ramp_count.
float rampRun(float* out, int32_t count, float ramp, float rampStep, float target);

}  // namespace grindlet::dsp::fast

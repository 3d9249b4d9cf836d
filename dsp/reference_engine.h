// The effect's signal chain written once, plainly: every stage a loop over one channel's piece
// of the stream, in signal order, with nothing remembered beyond the stages' own state (no
// pairs of channels, no search for the reducers' takes, no table of expansions). Its output is
// the definition of every bit the fast engine (engine.h) gives, as the plain loops of
// reference_loops.h are the reducers'; a differential test and a fuzz target hold the two
// together. To add a stage: write it here, in the table of controls, and in the fast engine.
#pragma once

#include <cstdint>

#include "engine_core.h"

namespace grindlet::dsp {

class ReferenceEngine : public EngineCore {
public:
    using EngineCore::EngineCore;

    // Planar channels, `frames` frames each; out[c] may be in[c] (never another channel's).
    void process(const float* const* in, float* const* out, int64_t frames);

private:
    void runPiece(const float* const* in, float* const* out, int64_t at, int32_t frames);
};

}  // namespace grindlet::dsp

#include "reference_engine.h"

#include <algorithm>
#include <cmath>

#include "stages.h"

namespace grindlet::dsp {

namespace {

using Frames = float[LevelStage::CHUNK];

// Gain into the crusher.
void drive(const LevelStage& levels, const float* dry, float* x, int32_t n) {
    if (levels.drives()) {
        levels.driveInto(dry, x, n);
    } else {
        std::copy(dry, dry + n, x);
    }
}

// The guard's limit at each frame: twice the loudest driven sample so far (cleaned, as the
// filters take it), plus two steps.
void guardLimits(ChannelState& s, float heardStep, const float* x, float* limits, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        s.peak = std::max(s.peak, std::fabs(FilterSection::clean(x[i])));
        limits[i] = guardLimit(s.peak, heardStep);
    }
}

// The anti-aliasing: two elliptic sections on the cleaned samples.
void antialias(const BlockPlan& plan, ChannelState& s, float* x, int32_t n) {
    for (int32_t i = 0; i < n; ++i) x[i] = FilterSection::clean(x[i]);
    FilterSection::runPairPlain(plan.antialiasSections, s.antialias, x, x, n);
}

void compress(Law law, float* x, int32_t n) {
    for (int32_t i = 0; i < n; ++i) x[i] = companding::compress(law, x[i]);
}

// Triangular noise of one step, from two uniform numbers per frame and channel, keyed by the
// frame's position in the stream.
void dither(const BlockPlan& plan, uint32_t channel, int64_t at, float* x, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        const uint64_t bits = randomBits(plan.seed, RandomStream::Dither, channel, at + i);
        x[i] = withoutSubnormal(x[i]) + plan.step * (firstUniform(bits) - secondUniform(bits));
    }
}

// The module's reducers, on their plain loops.
void reduce(RateReducerState& reducer, const CrushSettings& crush, float sampleRate, const float* x,
            float* y, int32_t n) {
    const ReducerStreams streams{x, &crush.bitsStream, &crush.rateStream, y};
    if (crush.linear) {
        processLinearReference(reducer, streams, sampleRate, crush.quantize, 0, n);
    } else {
        processStepReference(reducer, streams, sampleRate, crush.quantize, 0, n);
    }
}

void expand(Law law, float* y, int32_t n) {
    for (int32_t i = 0; i < n; ++i) y[i] = companding::expand(law, y[i]);
}

void tone(const BlockPlan& plan, ChannelState& s, float* y, int32_t n) {
    for (int32_t i = 0; i < n; ++i) y[i] = FilterSection::clean(y[i]);
    plan.tone.run(s.tone, y, y, n);
}

void guard(const float* limits, float* y, int32_t n) {
    for (int32_t i = 0; i < n; ++i) y[i] = guarded(y[i], limits[i]);
}

// Mix, output gain and bypass against the dry input.
void finish(const LevelStage& levels, const float* dry, const float* y, float* out, int32_t n) {
    if (levels.blends()) {
        levels.finish(dry, y, out, n);
    } else {
        std::copy(y, y + n, out);
    }
}

}  // namespace

void ReferenceEngine::process(const float* const* in, float* const* out, int64_t frames) {
    inPieces(
        frames, false, std::numeric_limits<int64_t>::max(),
        [&](int64_t at, int64_t) { modulate(at); },
        [&](int64_t at, int32_t n) { runPiece(in, out, at, n); });
}

void ReferenceEngine::runPiece(const float* const* in, float* const* out, int64_t at,
                               int32_t frames) {
    const BlockPlan& p = plan;
    for (int32_t done = 0; done < frames; done += LevelStage::CHUNK) {
        const int32_t n = std::min(LevelStage::CHUNK, frames - done);
        levels.advance(n);
        for (int32_t c = 0; c < channelCount; ++c) {
            ChannelState& s = state[c];
            const float* dry = in[c] + at + done;
            Frames x, y, limits;
            drive(levels, dry, x, n);
            if (p.filtered()) guardLimits(s, p.heardStep, x, limits, n);
            if (p.antialiasOn()) antialias(p, s, x, n);
            if (p.law != Law::Linear) compress(p.law, x, n);
            if (p.dither) dither(p, uint32_t(c), position + done, x, n);
            reduce(s.reducer, p.crush, rate, x, y, n);
            if (p.law != Law::Linear) expand(p.law, y, n);
            if (p.toneOn) tone(p, s, y, n);
            if (p.filtered()) guard(limits, y, n);
            finish(levels, dry, y, out[c] + at + done, n);
            keepFinite(s.antialias[0]);
            keepFinite(s.antialias[1]);
            keepFinite(s.tone);
        }
    }
}

}  // namespace grindlet::dsp

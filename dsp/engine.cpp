#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grindlet::dsp {

namespace {

// 0, 1, 2...: what a dry run of a reducer takes, to tell which frames it takes.
struct FrameIndices {
    float at[LevelStage::CHUNK] = {};
    constexpr FrameIndices() {
        for (int32_t i = 0; i < LevelStage::CHUNK; ++i) at[i] = static_cast<float>(i);
    }
};
constexpr FrameIndices FRAME_INDICES{};
// A "Bits" stream that quantizes nothing (above 23 bits).
constexpr float UNQUANTIZED_BITS = 3.2f;

// The loudest of `frames` samples as the filters clean them (FilterSection::clean).
float cleanPeak(const float* x, int32_t frames) {
    int32_t i = 0;
    float peak = 0.0f;
#if defined(__SSE2__)
    __m128 peaks = _mm_setzero_ps();
    for (; i + 4 <= frames; i += 4)
        peaks =
            _mm_max_ps(peaks, SectionLanes::magnitude(SectionLanes::clean(_mm_loadu_ps(x + i))));
    peak = std::max(std::max(lane(peaks, 0), lane(peaks, 1)),
                    std::max(lane(peaks, 2), lane(peaks, 3)));
#endif
    for (; i < frames; ++i) peak = std::max(peak, std::fabs(FilterSection::clean(x[i])));
    return peak;
}

// guarded() of every frame, at one limit. Above zero (and the filters' output is never NaN) a
// minimum and a maximum give guarded()'s bits.
void guardBlock(float* y, float limit, int32_t frames) {
    int32_t i = 0;
#if defined(__SSE2__)
    if (limit > 0.0f) {
        const __m128 high = _mm_set1_ps(limit), low = _mm_set1_ps(-limit);
        for (; i + 4 <= frames; i += 4)
            _mm_storeu_ps(y + i, _mm_max_ps(_mm_min_ps(_mm_loadu_ps(y + i), high), low));
    }
#endif
    for (; i < frames; ++i) y[i] = guarded(y[i], limit);
}

}  // namespace

void Engine::modulateAhead(int64_t at, int32_t count) {
    // Stage by stage over the steps: each stage is a long chain of series, and the steps'
    // chains, independent of each other, then run side by side. Each step's arithmetic is
    // modulationAt's.
    double lfo[STEPS_AHEAD] = {}, share[STEPS_AHEAD] = {};
    float hertz[STEPS_AHEAD] = {};
    if (plan.lfoDepth > 0.0f) {
        for (int32_t j = 0; j < count; ++j) lfo[j] = lfoAt(at + j * MODULATION_FRAMES);
    }
    for (int32_t j = 0; j < count; ++j)
        hertz[j] = modulatedHertz(modulationFactor(lfo[j], at + j * MODULATION_FRAMES));
    if (plan.antialiasOn()) {
        for (int32_t j = 0; j < count; ++j) share[j] = antialiasShare(hertz[j]);
    }
    for (int32_t j = 0; j < count; ++j) {
        const int64_t stepAt = at + j * MODULATION_FRAMES;
        Modulated& step = ahead[(stepAt / MODULATION_FRAMES) % STEPS_AHEAD];
        step.at = stepAt;
        step.rateStream = rateStreamOf(hertz[j]);
        if (plan.antialiasOn()) antialiasSections(share[j], step.antialias);
    }
}

void Engine::modulateFast(int64_t at, int64_t settled) {
    if (aheadFor != plansRead) {  // made with the settings before
        for (Modulated& step : ahead) step.at = -1;
        aheadFor = plansRead;
    }
    const int64_t slot = (at / MODULATION_FRAMES) % STEPS_AHEAD;
    if (ahead[slot].at != at) {
        // This step and the next few the settings hold for, worked out together.
        const int64_t end = std::max(at + MODULATION_FRAMES,
                                     std::min(settled, at + STEPS_AHEAD * MODULATION_FRAMES));
        modulateAhead(at,
                      static_cast<int32_t>((end - at + MODULATION_FRAMES - 1) / MODULATION_FRAMES));
    }
    const Modulated& step = ahead[slot];
    plan.crush.rateStream = step.rateStream;
    if (plan.antialiasOn()) {
        plan.antialiasSections[0] = step.antialias[0];
        plan.antialiasSections[1] = step.antialias[1];
    }
}

void Engine::guardFor(int32_t k, int32_t channel, const float* input, float blockPeak,
                      int32_t frames) {
    float& peak = state[channel].peak;
    if (blockPeak <= peak) {
        guardLimitBlock[k] = guardLimit(peak, plan.heardStep);
        guardPerFrame[k] = false;
        return;
    }
    for (int32_t i = 0; i < frames; ++i) {
        peak = std::max(peak, std::fabs(FilterSection::clean(input[i])));
        guardLimitFrames[k][i] = guardLimit(peak, plan.heardStep);
    }
    guardPerFrame[k] = true;
}

void Engine::stagesBefore(int32_t first, int32_t pair, const float* const* sources, int32_t frames,
                          int64_t at) {
    const bool antialiasOn = plan.antialiasOn();
    if (antialiasOn) {
        // The anti-aliasing takes its input cleaned (silence, NaN and infinities as +0).
        const float* filterIn[2] = {};
        for (int32_t k = 0; k < pair; ++k) {
            const float peak = FilterSection::cleanBlock(sources[k], filterInput[k], frames);
            guardFor(k, first + k, filterInput[k], peak, frames);
            filterIn[k] = filterInput[k];
        }
        SectionState* const states[2] = {state[first].antialias, state[first + pair - 1].antialias};
        // The tone of the block before runs beside this one's anti-aliasing, as far as both go.
        const int32_t beside = std::min(frames, toneWaiting.frames);
        float* const filterOut[2] = {staged[0], staged[1]};
        if (beside > 0)
            runPairsBeside(plan.antialiasSections, states, filterIn, filterOut, pair,
                           toneWaiting.beside, beside);
        if (pair == 2) {
            FilterSection::runPairTwo(plan.antialiasSections, states[0], states[1],
                                      filterIn[0] + beside, filterIn[1] + beside,
                                      staged[0] + beside, staged[1] + beside, frames - beside);
        } else {
            FilterSection::runPair(plan.antialiasSections, states[0], filterIn[0] + beside,
                                   staged[0] + beside, frames - beside);
        }
        if (toneWaiting.frames > 0) runWaitingTone(beside);
        for (int32_t k = 0; k < pair; ++k) {
            keepFinite(state[first + k].antialias[0]);
            keepFinite(state[first + k].antialias[1]);
        }
    } else {
        for (int32_t k = 0; k < pair; ++k) {
            std::copy(sources[k], sources[k] + frames, staged[k]);
            if (plan.filtered())
                guardFor(k, first + k, staged[k], cleanPeak(staged[k], frames), frames);
        }
    }
    if (plan.law == Law::Linear && !plan.dither) return;
    for (int32_t k = 0; k < pair; ++k) takenStages(first + k, staged[k], crushed[k], frames, at);
}

GRINDLET_WIDE_TOO void Engine::takenStages(int32_t channel, float* samples, float* scratch,
                                           int32_t frames, int64_t at) {
    // Companding and dither work sample by sample, and the reducer reads only the samples it
    // takes: those alone are worked on (the others reach no output).
    const int32_t count = findTakes(channel, frames, scratch);
    if (plan.law != Law::Linear) companding::compressTaken(plan.law, samples, takes, count);
    if (plan.dither) {
        // Triangular noise of one step, from two uniform numbers per frame and channel.
        const float step = plan.step;
        for (int32_t k = 0; k < count; ++k) {
            const int32_t i = takes[k];
            const uint64_t bits =
                randomBits(plan.seed, RandomStream::Dither, uint32_t(channel), at + i);
            samples[i] =
                withoutSubnormal(samples[i]) + step * (firstUniform(bits) - secondUniform(bits));
        }
    }
}

int32_t Engine::findTakes(int32_t channel, int32_t frames, float* scratch) {
    int32_t count = 0;
    if (external != nullptr) {  // a module's takes are its own: every frame
        for (int32_t i = 0; i < frames; ++i) {
            takes[count++] = i;
            holds[i] = count;
        }
        takesFound.frames = -1;
        return count;
    }
    const RateReducerState& reducer = state[channel].reducer;
    const uint32_t phaseBits = floatBits(reducer.holdPhase);
    const uint32_t rateBits = floatBits(plan.crush.rateStream);
    if (takesFound.frames == frames && takesFound.phaseBits == phaseBits &&
        takesFound.rateBits == rateBits)
        return takesFound.count;
    // Where the rate moves every few dozen frames, the phase's own arithmetic; at a steady rate
    // the dry run below, whose loops find the pattern of the holds and repeat it.
    KnownTakes found{};
    if (plan.modulating() &&
        findStepTakes(reducer, plan.crush.rateStream, rate, frames, takes, holds, found)) {
        takesFound = {phaseBits, rateBits, frames, found.takeCount, found.endPhase};
        return found.takeCount;
    }
    // Otherwise (a steady rate, or one not below the sample rate) a copy of the reducer runs on
    // the frames' indices, unquantized, in Step: which frames a reducer takes follows from its
    // phase and rate alone, the same in both modes. A frame whose index comes out at its own
    // place was taken (the held value before the first take is negative, so never an index).
    // Where the reducer copies its input (a rate at or above the sample rate), every frame is
    // marked, a few more than a quantizing reducer takes.
    RateReducerState dryRun = reducer;
    dryRun.heldValue = -1.0f;
    const ReducerStreams streams{FRAME_INDICES.at, &UNQUANTIZED_BITS, &plan.crush.rateStream,
                                 scratch};
    processBlock(dryRun, streams, rate, QUANT_MODE_ROUND, false, 0, frames);
    for (int32_t i = 0; i < frames; ++i) {
        takes[count] = i;
        count += scratch[i] == FRAME_INDICES.at[i] ? 1 : 0;
        holds[i] = count;
    }
    takesFound = {phaseBits, rateBits, frames, count, dryRun.holdPhase};
    return count;
}

[[gnu::always_inline]] inline float Engine::expanded(uint32_t bits) {
    constexpr uint32_t GOLDEN = 2654435761u;  // Knuth's multiplicative hash
    constexpr int SHIFT = 20;                 // 32 - log2(EXPANDED_ENTRIES)
    static_assert(EXPANDED_ENTRIES == 1 << (32 - SHIFT));
    const uint32_t entry = (bits * GOLDEN) >> SHIFT;
    Expansion& known = expansions.entries[entry];
    if (known.in == bits) return known.out;
    const float x = companding::expand(plan.law, floatFromBits(bits));
    known = {bits, x};
    return x;
}

void Engine::runWaitingTone(int32_t from) {
    ToneBeside& t = toneWaiting.beside;
    const int32_t rest = toneWaiting.frames - from;
    if (toneWaiting.pair == 2) {
        t.tone.runTwo(*t.states[0], *t.states[1], t.in[0] + from, t.in[1] + from, t.out[0] + from,
                      t.out[1] + from, rest);
    } else {
        t.tone.run(*t.states[0], t.in[0] + from, t.out[0] + from, rest);
    }
    for (int32_t k = 0; k < toneWaiting.pair; ++k) {
        keepFinite(*t.states[k]);
        guardBlock(t.out[k], toneWaiting.limit[k], toneWaiting.frames);
    }
    toneWaiting.frames = 0;
}

GRINDLET_WIDE_TOO void Engine::stagesAfter(int32_t first, int32_t pair, int32_t frames,
                                           float* const* to, bool toneLater) {
    if (frames <= 0) return;
    const bool toneOn = plan.toneOn;
    if (plan.law != Law::Linear) {
        // The reducers hold each taken sample for many frames: a repeated value (bit for bit)
        // is expanded once.
        if (expansions.law != plan.law) {  // in place: no table-sized temporary on the stack
            expansions.law = plan.law;
            for (Expansion& entry : expansions.entries) entry = {};
        }
        for (int32_t k = 0; k < pair; ++k) {
            const float* samples = crushed[k];
            float* into = toneLater ? toneInput[k] : toneOn ? crushed[k] : to[k];
            if (!plan.crush.linear) {
                // A Step reducer's output changes only where it takes (`takes` was found for
                // these frames): each hold is expanded once, and every frame copies its hold's.
                float held[LevelStage::CHUNK + 1];
                const int32_t count = holds[frames - 1];
                if (holdsOnly[k]) {  // the reducer wrote what each hold stands at
                    for (int32_t t = 0; t <= count; ++t)
                        held[t] = expanded(floatBits(heldValues[k][t]));
                } else {
                    held[0] = expanded(floatBits(samples[0]));
                    for (int32_t t = 0; t < count; ++t)
                        held[t + 1] = expanded(floatBits(samples[takes[t]]));
                }
                // The tone's input cleaned here, hold by hold, not frame by frame after.
                for (int32_t t = 0; toneOn && t <= count; ++t)
                    held[t] = FilterSection::clean(held[t]);
                fillHolds(held, takes, count, into, frames);
                continue;
            }
            uint32_t lastIn = floatBits(samples[0]) ^ 1u;  // differs from the first
            float lastOut = 0.0f;
            for (int32_t i = 0; i < frames; ++i) {
                const uint32_t bits = floatBits(samples[i]);
                if (bits != lastIn) {
                    lastIn = bits;
                    lastOut = toneOn ? FilterSection::clean(expanded(bits)) : expanded(bits);
                }
                into[i] = lastOut;
            }
        }
    }
    if (toneOn) {
        for (int32_t k = 0; k < pair && plan.law == Law::Linear; ++k) {  // a law cleaned them
            float* toneIn = toneLater ? toneInput[k] : crushed[k];
            FilterSection::cleanBlock(toneIn, toneIn, frames);
        }
        if (toneLater) {
            // Its samples wait in toneInput for the next block's anti-aliasing (or the call's
            // end), and its guard with them: one limit a channel holds the whole block.
            toneWaiting.frames = frames;
            toneWaiting.pair = pair;
            toneWaiting.beside = {
                plan.tone, {&state[first].tone, &state[first + pair - 1].tone}, {}, {}};
            for (int32_t k = 0; k < pair; ++k) {
                toneWaiting.beside.in[k] = toneInput[k];
                toneWaiting.beside.out[k] = to[k];
                toneWaiting.limit[k] = guardLimitBlock[k];
            }
            return;
        }
        if (pair == 2) {
            plan.tone.runTwo(state[first].tone, state[first + 1].tone, crushed[0], crushed[1],
                             to[0], to[1], frames);
        } else {
            plan.tone.run(state[first].tone, crushed[0], to[0], frames);
        }
        for (int32_t k = 0; k < pair; ++k) keepFinite(state[first + k].tone);
    }
    if (!plan.filtered()) return;
    for (int32_t k = 0; k < pair; ++k) {
        if (guardPerFrame[k]) {
            for (int32_t i = 0; i < frames; ++i)
                to[k][i] = guarded(to[k][i], guardLimitFrames[k][i]);
        } else {
            guardBlock(to[k], guardLimitBlock[k], frames);
        }
    }
}

void Engine::processInParts(const float* const* in, float* const* out, int64_t frames) {
    // A crusher plugged in takes blocks of the host's size.
    const bool blocksCut = external != nullptr;
    const int64_t mostFrames =
        external != nullptr ? external->mostFrames() : std::numeric_limits<int64_t>::max();
    inPieces(
        frames, blocksCut, mostFrames,
        [&](int64_t at, int64_t settled) { modulateFast(at, settled); },
        [&](int64_t at, int32_t piece) { run(in, out, at, piece); });
    if (toneWaiting.frames > 0) runWaitingTone(0);  // the call's last block
    directNext = !changed && !plan.perSample() && !plan.modulating() && sweeping == 0 &&
                 external == nullptr && levels.idle();
}

void Engine::run(const float* const* in, float* const* out, int64_t at, int32_t frames) {
    const bool withStages = plan.perSample();
    // The levels at rest and no stage: the crusher writes the output itself, in one call.
    if (!withStages && levels.idle()) {
        if (toneWaiting.frames > 0) runWaitingTone(0);
        for (int32_t channel = 0; channel < channelCount; ++channel)
            crush(channel, in[channel] + at, out[channel] + at, frames);
        return;
    }
    // The levels' gains are shared by the channels a chunk at a time.
    for (int32_t done = 0; done < frames; done += LevelStage::CHUNK) {
        const int32_t n = std::min(LevelStage::CHUNK, frames - done);
        levels.advance(n);
        if (!withStages) {
            if (toneWaiting.frames > 0) runWaitingTone(0);
            for (int32_t channel = 0; channel < channelCount; ++channel) {
                const float* dry = in[channel] + at + done;
                float* wet = out[channel] + at + done;
                const float* source = dry;
                if (levels.drives()) {
                    levels.driveInto(dry, driven[0], n);
                    source = driven[0];
                }
                if (levels.blends()) {
                    // The dry samples are read after the crusher ran: it writes elsewhere, as
                    // the output may be the input.
                    crush(channel, source, crushed[0], n);
                    levels.finish(dry, crushed[0], wet, n);
                } else {
                    crush(channel, source, wet, n);
                }
            }
            continue;
        }
        // One pair of channels with both filters and nothing blended after them: each block's
        // tone waits to run beside the next block's anti-aliasing.
        bool toneLater = plan.toneOn && plan.antialiasOn() && channelCount <= 2 &&
                         !levels.blends() && external == nullptr;
        if (!toneLater && toneWaiting.frames > 0) runWaitingTone(0);
        // Channels two at a time: the filters of a pair run in one pass.
        for (int32_t first = 0; first < channelCount; first += 2) {
            const int32_t pair = std::min(2, channelCount - first);
            const float* sources[2] = {};
            for (int32_t k = 0; k < pair; ++k) {
                sources[k] = in[first + k] + at + done;
                if (levels.drives()) {
                    levels.driveInto(sources[k], driven[k], n);
                    sources[k] = driven[k];
                }
            }
            stagesBefore(first, pair, sources, n, position + done);
            // A guard whose limit rises within the block (the loudest sample so far is in it)
            // holds frame by frame: the tone then runs at once.
            const bool later = toneLater && !guardPerFrame[0] && !(pair == 2 && guardPerFrame[1]);
            // Without a blend the last stage writes the output (the dry input, read before it,
            // is not read again).
            float* finals[2] = {};
            for (int32_t k = 0; k < pair; ++k)
                finals[k] = levels.blends() ? crushed[k] : out[first + k] + at + done;
            // Without a law or a tone the reducers write where the guard holds the output; a
            // tone that waits reads toneInput: without a law the reducers write it there.
            const bool linear = plan.law == Law::Linear;
            for (int32_t k = 0; k < pair; ++k) {
                float* crushInto = linear && !plan.toneOn ? finals[k]
                                   : linear && later      ? toneInput[k]
                                                          : crushed[k];
                // The law expands each hold once: in Step it needs the holds alone.
                float* heldOut =
                    plan.law != Law::Linear && !plan.crush.linear ? heldValues[k] : nullptr;
                holdsOnly[k] = crush(first + k, staged[k], crushInto, n, heldOut);
            }
            stagesAfter(first, pair, n, finals, later);
            if (levels.blends()) {
                for (int32_t k = 0; k < pair; ++k)
                    levels.finish(in[first + k] + at + done, crushed[k], out[first + k] + at + done,
                                  n);
            }
        }
    }
}

bool Engine::crush(int32_t channel, const float* in, float* out, int32_t frames, float* heldOut) {
    if (external != nullptr) {
        external->crush(channel, in, out, frames, plan.crush);
        return false;
    }
    const ReducerStreams streams{in, &plan.crush.bitsStream, &plan.crush.rateStream, out};
    // Where a stage found the takes of these frames for this phase and rate, only they are
    // quantized: the search that found them already did the phase's work.
    RateReducerState& reducer = state[channel].reducer;
    if (takesFound.frames == frames && !plan.crush.linear && plan.modulating() &&
        takesFound.phaseBits == floatBits(reducer.holdPhase) &&
        takesFound.rateBits == floatBits(plan.crush.rateStream) &&
        processStepTaken(reducer, streams, rate, plan.crush.quantize, frames,
                         {takes, holds, takesFound.count, takesFound.endPhase, heldOut}))
        return heldOut != nullptr;
    processBlock(reducer, streams, rate, plan.crush.quantize, plan.crush.linear, 0, frames);
    return false;
}

}  // namespace grindlet::dsp

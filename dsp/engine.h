// The effect as every front end runs it (the LV2 plugin, the render tool, Python, the browser):
// the signal chain of engine_core.h on planar channels, with the plain engine's bits
// (reference_engine.h), faster. It never allocates (its state is fixed in size), so a
// real-time thread may call any of it.
//
// A value enters as a host's control holds it: rounded once to single precision, then scaled
// from there (tenths for the module's streams, decibels to gains), so a typed 5535.95 Hz gives
// every front end the bits of an LV2 port holding 5535.9501953125.
//
// What makes it faster than the plain chain, each held to it bit for bit by the tests:
// - with nothing to read and no stage, a call is the module's reducers alone (process());
// - the filters of a pair of channels run in the lanes of one vector, and a block's tone runs
//   beside the next block's anti-aliasing, each chain in the other's latency (filters.h);
// - companding and dither work only on the samples the reducers take, found once for all
//   channels from the phase and rate alone; in Step a law expands each hold once, and the
//   expansions of the last few thousand held values are remembered;
// - the modulation's steps are worked out several at a time while the settings hold.
#pragma once

#include <cstdint>

#include "engine_core.h"
#include "stages.h"

namespace grindlet::dsp {

// The one seam where something other than the engine's own reducers crushes the channels: a
// module file run by a host (the render tool's check of a module).
class ChannelCrusher {
public:
    ChannelCrusher() = default;
    ChannelCrusher(const ChannelCrusher&) = delete;
    ChannelCrusher& operator=(const ChannelCrusher&) = delete;
    virtual ~ChannelCrusher() = default;
    // The most frames one crush() takes.
    virtual int32_t mostFrames() const = 0;
    // Crushes `frames` samples of one channel's stream; in and out never overlap.
    virtual void crush(int32_t channel, const float* in, float* out, int32_t frames,
                       const CrushSettings& settings) = 0;
};

class Engine : public EngineCore {
public:
    using EngineCore::EngineCore;

    // Something else crushes the channels from now on (null: the engine's own reducers). The
    // engine then keeps every crush within the crusher's mostFrames() and a block, and a switch
    // of law cannot reach what the crusher holds.
    void plugIn(ChannelCrusher* crusher) {
        external = crusher;
        ownReducers = crusher == nullptr;
        directNext = false;
    }

    // Planar channels, `frames` frames each; out[c] may be in[c] (never another channel's).
    // Any split of a stream into calls gives the same output, except that a control set between
    // calls takes effect at the call's first frame.
    void process(const float* const* in, float* const* out, int64_t frames) {
        // A host's block with nothing new to read and the levels at rest: what almost every
        // call is, inline, as a small block's few hundred cycles leave no room for more calls.
        if (directNext && !changed && frames > 0 && frames <= MOST_CALL_FRAMES) {
            for (int32_t channel = 0; channel < channelCount; ++channel) {
                const ReducerStreams streams{in[channel], &plan.crush.bitsStream,
                                             &plan.crush.rateStream, out[channel]};
                processBlock(state[channel].reducer, streams, rate, plan.crush.quantize,
                             plan.crush.linear, 0, static_cast<int32_t>(frames));
            }
            position += frames;
            return;
        }
        processInParts(in, out, frames);
    }

private:
    void processInParts(const float* const* in, float* const* out, int64_t frames);
    // Readies the step from stream frame `at`, working out the next few the settings hold for
    // (until frame `settled`) with it.
    void modulateFast(int64_t at, int64_t settled);
    // The `count` steps from stream frame `at` into `ahead`, each worked out as modulationAt
    // does, stage by stage across the steps so that their chains of series run side by side.
    void modulateAhead(int64_t at, int32_t count);

    // frames <= a reducer call's count; levels as they stand.
    void run(const float* const* in, float* const* out, int64_t at, int32_t frames);
    // For `pair` channels (1 or 2) from `first`: sources[k] into staged[k], then crushed[k] in
    // place; a pair's filters run in one pass.
    void stagesBefore(int32_t first, int32_t pair, const float* const* sources, int32_t frames,
                      int64_t at);
    // The law's expansion, the tone and the guard, from crushed[k] into to[k] (which may be
    // crushed[k]); toneLater: the tone's samples wait in toneInput for the next block's
    // anti-aliasing, and the guard with them.
    void stagesAfter(int32_t first, int32_t pair, int32_t frames, float* const* to, bool toneLater);
    // The waiting tone's frames from `from` on, alone, and then its guard.
    void runWaitingTone(int32_t from);
    // Companding and dither, on the samples the channel's reducer will take.
    void takenStages(int32_t channel, float* samples, float* scratch, int32_t frames, int64_t at);
    // The frames of the next `frames` that the channel's reducer will take, into `takes`.
    int32_t findTakes(int32_t channel, int32_t frames, float* scratch);
    // The law's expansion of a reducer's output sample (bits as they are).
    float expanded(uint32_t bits);
    // The guard's limits for a block of pair channel k's driven samples, whose loudest cleaned
    // one is `peak`: one limit for the whole block where it is no louder than what came before
    // (guardLimitBlock[k]), else one per frame (guardLimitFrames[k]).
    void guardFor(int32_t k, int32_t channel, const float* input, float peak, int32_t frames);
    // True where it wrote only what each hold stands at, into heldOut (given where the takes
    // are known), not the frames.
    bool crush(int32_t channel, const float* in, float* out, int32_t frames,
               float* heldOut = nullptr);

    // Nothing to read, no stage, no sweep, the engine's own reducers and the levels at rest: the
    // next call is the reducers alone (while no control changes). Worked out after a call.
    bool directNext = false;
    ChannelCrusher* external = nullptr;
    // The next modulation steps, worked out together: each is a long chain of series, and
    // several independent chains run side by side where one alone would wait on each step.
    static constexpr int32_t STEPS_AHEAD = 8;
    Modulated ahead[STEPS_AHEAD];
    uint64_t aheadFor = 0;  // the plan `ahead` was worked out for (plansRead)
    // Scratch, written before it is read (left unset: a short call should not clear it).
    float driven[2][LevelStage::CHUNK];
    float staged[2][LevelStage::CHUNK];
    float crushed[2][LevelStage::CHUNK];
    float toneInput[2][LevelStage::CHUNK];
    float filterInput[2][LevelStage::CHUNK];  // the anti-aliasing's input, cleaned
    float guardLimitFrames[2][LevelStage::CHUNK];
    float guardLimitBlock[2] = {};
    bool guardPerFrame[2] = {};
    // A block's tone that runs beside the next block's anti-aliasing (no frames: none), with
    // its guard's limits (one a channel). Only within a call: the call's end runs it.
    struct ToneWaiting {
        int32_t frames = 0;
        int32_t pair = 0;
        ToneBeside beside{};
        float limit[2] = {};
    } toneWaiting;
    // What each hold of a channel's block stands at (hold 0: the one it starts in), where its
    // reducer wrote them instead of the frames.
    float heldValues[2][LevelStage::CHUNK + 1];
    bool holdsOnly[2] = {};
    int32_t takes[LevelStage::CHUNK];
    static_assert(LevelStage::CHUNK <= MOST_KNOWN_TAKES_FRAMES,
                  "a block's takes feed processStepTaken");
    // For each frame, how many of `takes` are at or before it: the hold it belongs to, where
    // hold 0 is the one the block starts in.
    int32_t holds[LevelStage::CHUNK];
    // What `takes` was found for: the takes follow from a reducer's phase and rate alone, and
    // every channel's reducer has the same, so the channels of a block share them.
    struct TakesFound {
        uint32_t phaseBits = 0, rateBits = 0;
        int32_t frames = -1;  // none found
        int32_t count = 0;
        float endPhase = 0.0f;  // the reducer's phase after those frames
    } takesFound;
    // The last expansions, by the sample's bits: a reducer's output has few distinct values
    // (its steps: 511 at 8 bits), and a lookup is far cheaper than the law's power series.
    // Every entry starts as 0, which each law expands to itself.
    static constexpr int32_t EXPANDED_ENTRIES = 4096;
    struct Expansion {
        uint32_t in = 0;
        float out = 0.0f;
    };
    struct Expansions {
        Law law = Law::Linear;
        Expansion entries[EXPANDED_ENTRIES] = {};
    } expansions;
};

}  // namespace grindlet::dsp

// The effect as every front end runs it (the LV2 plugin, the render tool, Python): one reducer
// per channel, the controls in people's units read once per block, sweeps, the levels around
// the crusher and the bypass. Made for a sample rate and a channel count; it never allocates
// (its state is fixed in size), so a real-time thread may call any of it.
//
// A value enters as a host's control holds it: rounded once to single precision, then scaled
// from there (tenths for the module's streams, decibels to gains), so a typed 5535.95 Hz gives
// every front end the bits of an LV2 port holding 5535.9501953125.
#pragma once

#include <cstdint>

#include "controls.h"
#include "level_stage.h"
#include "rate_reducer.h"
#include "stages.h"

namespace grindlet::dsp {

// What crushes one block of one channel, as the module's streams and lists carry it.
struct CrushSettings {
    float bitsStream = 0.0f;  // "Bits": bits / 10
    float rateStream = 0.0f;  // "S.R.": hertz / 10
    int16_t quantize = QUANT_MODE_FLOOR;
    bool linear = false;  // "R.Mode": Linear, else Step
};

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

class Engine {
public:
    // channels: 1 to MOST_CHANNELS (clamped).
    Engine(double sampleRate, int32_t channels);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    int32_t channels() const { return channelCount; }
    float sampleRate() const { return rate; }

    // A control's value from the next block on, in the table's units (a choice: its index).
    // Anything a host may send is survived: a choice outside its range or not a number is its
    // first entry, a level outside its range is clamped (not a number: its default); Bits and
    // Rate reach the reducers as they are, as the module's streams would carry them.
    void set(ControlIndex control, double value);
    // The control moves linearly from `from` to `to` over the next `frames` frames of the
    // stream, read at the first frame of each block (then stays at `to`).
    void sweep(ControlIndex control, double from, double to, int64_t frames);
    // false: the dry signal (crossfaded; the crusher keeps running).
    void setEnabled(bool enabled);
    // The value the next block reads (a sweep's: at the current position).
    float value(ControlIndex control) const { return values[control]; }

    // Blocks: the controls are read at the stream's frames 0, n, 2n... and at each process()
    // call's first frame. 0: only at each call's first frame (the host's own blocks).
    void setBlockFrames(int32_t frames) { blockFrames = frames > 0 ? frames : 0; }
    // Something else crushes the channels from now on (null: the engine's own reducers). The
    // engine then keeps every crush within the crusher's mostFrames() and a block.
    void plugIn(ChannelCrusher* crusher) {
        external = crusher;
        direct = false;
    }

    // As if just made, with the controls as they are set: a fresh phase and held samples, the
    // levels at their settings at once, the stream's position 0.
    void reset();

    // Planar channels, `frames` frames each; out[c] may be in[c] (never another channel's).
    // Any split of a stream into calls gives the same output, except that a control set between
    // calls takes effect at the call's first frame.
    void process(const float* const* in, float* const* out, int64_t frames) {
        // A host's block with nothing new to read and the levels at rest: what almost every
        // call is, inline, as a small block's few hundred cycles leave no room for more calls.
        if (direct && frames > 0 && frames <= MOST_CALL_FRAMES) {
            for (int32_t channel = 0; channel < channelCount; ++channel) {
                const ReducerStreams streams{in[channel], &settings.bitsStream,
                                             &settings.rateStream, out[channel]};
                processBlock(reducers[channel], streams, rate, settings.quantize, settings.linear,
                             0, static_cast<int32_t>(frames));
            }
            position += frames;
            return;
        }
        processInParts(in, out, frames);
    }

private:
    // The most frames one reducer call is given (its counts are 32-bit).
    static constexpr int64_t MOST_CALL_FRAMES = int64_t{1} << 30;
    // The LFO and the jitter move the rate every this many frames of the stream.
    static constexpr int32_t MODULATION_FRAMES = 32;

    // The stages' settings, as the block's first frame read them.
    struct Stages {
        float antialias = 0.0f;  // 0 to 1
        float toneHz = 0.0f;     // 0: off
        int16_t law = 0;         // the law's index: 0 linear
        bool dither = false;
        float ditherStep = 0.0f;  // one step of the quantizer at the block's bits
        float lfoRate = 0.0f, lfoDepth = 0.0f;
        int16_t lfoShape = 0;
        float jitter = 0.0f;  // 0 to 1
        uint32_t seed = 0;
        float rateHz = 0.0f;  // the block's rate before modulation
        bool modulating() const { return lfoDepth > 0.0f || jitter > 0.0f; }
        // A stage that changes samples (modulation alone changes only the rate).
        bool perSample() const { return antialias > 0.0f || toneHz > 0.0f || law != 0 || dither; }
    };

    // A number within its range (NaN: its default), as the stages and levels take it.
    double number(ControlIndex control) const;
    void readStages();
    // The anti-aliasing for this rate, and the tone too where asked.
    void filtersFor(float rateHz, bool withTone);
    // The anti-aliasing's sections for a rate; false where it is off at that rate.
    bool antialiasFor(float rateHz, LowPass* sections) const;
    // A modulation step's rate, the LFO's and the jitter's, and the filter that follows it.
    struct Modulated {
        int64_t at = -1;  // the step's first frame of the stream; -1: none
        float rateStream = 0.0f;
        bool antialiasOn = false;
        LowPass antialias[2];
    };
    // The anti-aliasing's cutoff for a rate (its share of the sample rate; 0: off), and its
    // sections at a cutoff.
    double antialiasShare(float rateHz) const;
    static void antialiasSections(const LowPass::Cutoff& cutoff, LowPass* sections);
    // The LFO's value (-1 to 1) at stream frame `at`.
    double lfoAt(int64_t at) const;
    // The `count` steps from stream frame `at` into `ahead`.
    void modulateAhead(int64_t at, int32_t count);
    // Sets the step that starts at stream frame `at`; the settings hold until frame `settled`.
    void modulate(int64_t at, int64_t settled);
    // For `pair` channels (1 or 2) from `first`: sources[k] into staged[k], then crushed[k] in
    // place; a pair's filters run in one pass.
    void stagesBefore(int32_t first, int32_t pair, const float* const* sources, int32_t frames,
                      int64_t at);
    // The law's expansion and the tone, from crushed[k] into to[k] (which may be crushed[k]);
    // toneLater: the tone's samples wait in toneInput for the next block's anti-aliasing.
    void stagesAfter(int32_t first, int32_t pair, int32_t frames, float* const* to, bool toneLater);
    // The waiting tone's frames from `from` on, alone.
    void runWaitingTone(int32_t from);
    // Companding and dither, on the samples the channel's reducer will take.
    void takenStages(int32_t channel, float* samples, float* scratch, int32_t frames, int64_t at);
    // The frames of the next `frames` that the channel's reducer will take, into `takes`.
    int32_t findTakes(int32_t channel, int32_t frames, float* scratch);
    // The law's expansion of a reducer's output sample (bits as they are).
    float expanded(uint32_t bits);

    void processInParts(const float* const* in, float* const* out, int64_t frames);
    struct Sweep {
        double from = 0.0, to = 0.0;
        int64_t start = 0, frames = 0;
        bool on = false;
    };

    // The block's settings from the values (and the sweeps at the block's first frame).
    void readControls(int64_t blockStart);
    void applyLevels();
    // frames <= a reducer call's count; levels as they stand.
    void run(const float* const* in, float* const* out, int64_t at, int32_t frames);
    // True where it wrote only what each hold stands at, into heldOut (given where the takes
    // are known), not the frames.
    bool crush(int32_t channel, const float* in, float* out, int32_t frames,
               float* heldOut = nullptr);

    float rate;
    int32_t channelCount;
    int32_t blockFrames = 0;
    int64_t position = 0;
    float values[CONTROL_COUNT] = {};
    Sweep sweeps[CONTROL_COUNT];
    int sweeping = 0;  // sweeps on
    bool enabled = true;
    bool changed = true;        // a value changed since the last block read it
    bool levelsChanged = true;  // a level or the bypass did
    bool levelsStarted = false;
    bool plain = true;  // no stage and no modulation: the reducers and levels alone
    // Nothing to read, no stage, no sweep, the engine's own reducers and the levels at rest:
    // the next call is the reducers alone. Worked out after a call, cleared by every change.
    bool direct = false;
    CrushSettings settings;
    Stages stages;
    LowPass antialiasFilter[2];  // fourth order, as two pole pairs
    LowPass toneFilter;
    bool antialiasOn = false, toneOn = false;
    LowPass::State antialiasState[MOST_CHANNELS][2];
    // The next modulation steps, worked out together: each is a long chain of series, and
    // several independent chains run side by side where one alone would wait on each step.
    static constexpr int32_t STEPS_AHEAD = 8;
    Modulated ahead[STEPS_AHEAD];
    LowPass::State toneState[MOST_CHANNELS];
    LevelStage levels;
    ChannelCrusher* external = nullptr;
    RateReducerState reducers[MOST_CHANNELS];
    // Scratch, written before it is read (left unset: a short call should not clear it).
    float driven[2][LevelStage::CHUNK];
    float staged[2][LevelStage::CHUNK];
    float crushed[2][LevelStage::CHUNK];
    float toneInput[2][LevelStage::CHUNK];
    float filterInput[2][LevelStage::CHUNK];  // the anti-aliasing's input, cleaned
    // A block's tone that runs beside the next block's anti-aliasing (no frames: none). Only
    // within a call: the call's end runs it.
    struct ToneWaiting {
        int32_t frames = 0;
        int32_t pair = 0;
        ToneBeside beside{};
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
    // (its steps: 511 at 8 bits). Every entry starts as 0, which each law expands to itself.
    // 4,096 entries, each value beside its expansion: at 8 bits one lookup in 10,000 misses
    // (noise, Mu-law), against one in 16 with 512.
    static constexpr int32_t EXPANDED_ENTRIES = 4096;
    struct Expansion {
        uint32_t in = 0;
        float out = 0.0f;
    };
    struct Expansions {
        int16_t law = 0;
        Expansion entries[EXPANDED_ENTRIES] = {};
    } expansions;
};

}  // namespace grindlet::dsp

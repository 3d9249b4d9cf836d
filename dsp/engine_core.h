// What the effect's two engines share: the controls as a host sets and sweeps them, read into
// a block's plan at its first frame; the rate's modulation; each channel's state; and where a
// stream is cut into pieces, each of whose frames follows one plan. The plain engine
// (reference_engine.h) runs the signal chain on each piece stage by stage, and its bits are
// the definition of the effect; the fast engine (engine.h) gives the same bits faster.
//
// The chain, per channel, in signal order (each stage off at its default):
//   drive        x · drive gain                         (level_stage.h)
//   anti-alias   elliptic low-pass below the reduced rate's Nyquist frequency (filters.h)
//   compress     the law's curve                        (stages.h)
//   dither       + one step of triangular noise
//   reduce       the module's reducers: rate, then bits  (rate_reducer.h)
//   expand       the law's curve back, within full scale
//   tone         Butterworth low-pass
//   guard        within twice the loudest driven sample so far, plus two steps
//   mix, output, bypass                                 (level_stage.h)
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "controls.h"
#include "filters.h"
#include "level_stage.h"
#include "rate_reducer.h"

namespace grindlet::dsp {

// What crushes one block of one channel, as the module's streams and lists carry it.
struct CrushSettings {
    float bitsStream = 0.0f;  // "Bits": bits / 10
    float rateStream = 0.0f;  // "S.R.": hertz / 10
    int16_t quantize = QUANT_MODE_FLOOR;
    bool linear = false;  // "R.Mode": Linear, else Step
};

// What a block's stages do, read from the controls at its first frame (the rate and the
// anti-aliasing's sections move with the modulation, every MODULATION_FRAMES frames).
struct BlockPlan {
    CrushSettings crush;
    Law law = Law::Linear;
    bool dither = false;
    float step = 0.0f;       // one step of the quantizer in what the reducers take: the dither's
    float heardStep = 0.0f;  // the largest step as the output hears it: the guard's
    float antialias = 0.0f;  // the amount, 0 to 1 (0: off)
    FilterSection antialiasSections[2];
    bool toneOn = false;
    FilterSection tone;
    // The rate's modulation.
    float rateHz = 0.0f;  // before it
    float lfoRate = 0.0f, lfoDepth = 0.0f;
    // Where the LFO's cycles are counted from: it has run `lfoOriginCycles` cycles at stream
    // frame `lfoOriginAt` (a synced LFO's song position; otherwise 0 at the stream's start).
    double lfoOriginCycles = 0.0;
    int64_t lfoOriginAt = 0;
    LfoShape lfoShape = LfoShape::Sine;
    float jitter = 0.0f;  // 0 to 1
    uint32_t seed = 0;

    bool antialiasOn() const { return antialias > 0.0f; }
    bool modulating() const { return lfoDepth > 0.0f || jitter > 0.0f; }
    // Whether the wet signal passes through a filter: then the guard holds it.
    bool filtered() const { return antialiasOn() || toneOn; }
    // A stage that changes samples (modulation alone changes only the rate).
    bool perSample() const { return filtered() || law != Law::Linear || dither; }
};

// One channel's state beside its reducer's.
struct ChannelState {
    RateReducerState reducer;
    SectionState antialias[2];
    SectionState tone;
    float peak = 0.0f;  // the loudest driven sample since the stages began (the guard's)
};

// The guard's limit for a channel whose loudest driven sample so far is `peak`.
inline float guardLimit(float peak, float heardStep) { return 2.0f * (peak + heardStep); }
inline float guarded(float y, float limit) { return y > limit ? limit : y < -limit ? -limit : y; }

class EngineCore {
public:
    // channels: 1 to MOST_CHANNELS (clamped).
    EngineCore(double sampleRate, int32_t channels);
    EngineCore(const EngineCore&) = delete;
    EngineCore& operator=(const EngineCore&) = delete;

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
    // call's first frame where one changed. 0: only at each call's first frame (the host's own
    // blocks). With steady controls the output does not depend on it, nor on the calls.
    void setBlockFrames(int32_t frames) { blockFrames = frames > 0 ? frames : 0; }

    // As if just made, with the controls as they are set: a fresh phase and held samples,
    // filters at rest, the levels at their settings at once, the stream's position 0.
    void reset();
    // The stream starts again at position 0 (the LFO's phase, the random numbers, the blocks),
    // but what sounds goes on: the reducers, the filters and the levels are kept, so that a
    // live signal neither clicks nor drops out.
    void restart();
    // Where the song stands at the stream's next frame, in quarter notes (a host's transport):
    // a synced LFO counts its cycles from there, so that it lines up with the song's bars. Until
    // a host says, and again after reset() or restart(), the stream's start is the song's.
    void setSongPosition(double quarters);
    static constexpr double MOST_SONG_QUARTERS = 1e9;  // beyond any song; others are ignored
    // The song's position at the stream's next frame, as the engine counts it at the tempo.
    double songPosition() const;

protected:
    // The LFO and the jitter move the rate every this many frames of the stream.
    static constexpr int32_t MODULATION_FRAMES = 32;
    // The most frames one reducer call is given (its counts are 32-bit).
    static constexpr int64_t MOST_CALL_FRAMES = int64_t{1} << 30;

    // A modulation step's rate, and the anti-aliasing that follows it.
    struct Modulated {
        int64_t at = -1;  // the step's first frame of the stream; -1: none
        float rateStream = 0.0f;
        FilterSection antialias[2];
    };
    // The step that starts at stream frame `at`, as the settings make it.
    Modulated modulationAt(int64_t at) const;
    // Its parts, one after the other (the fast engine runs each across several steps).
    double lfoHertz() const;
    float takenRate() const;
    double lfoAt(int64_t at) const;
    double modulationFactor(double lfo, int64_t at) const;
    float modulatedHertz(double factor) const {
        return static_cast<float>(double(plan.rateHz) * factor);
    }
    // The anti-aliasing's passband edge as a share of the sample rate, for a reduced rate.
    double antialiasShare(float rateHz) const;

    // Cuts `frames` frames into pieces, each following one plan, and calls run(at, frames)
    // for each (at: the offset into the call's buffers) after readying the plan: the controls
    // are read at the call's first frame where one changed, and at each block's where sweeps
    // move them; the modulation moves the rate every MODULATION_FRAMES frames of the stream,
    // where modulate(at, settled) readies the step from stream frame `at` (the settings hold
    // until frame `settled`). blocksCut: every piece ends at a block's end (as it does while
    // sweeps move); mostFrames: the longest piece.
    template <class Modulate, class Run>
    void inPieces(int64_t frames, bool blocksCut, int64_t mostFrames, Modulate&& modulate,
                  Run&& run);
    // The modulation step from stream frame `at`, one at a time (the fast engine works several
    // steps out at once).
    void modulate(int64_t at);

    // The block's plan from the values (and the sweeps at the block's first frame).
    void readControls(int64_t blockStart);
    // A number within its range (NaN: its default), as the stages and levels take it.
    double number(ControlIndex control) const;
    // A choice's index: the nearest entry; the first for anything outside the list.
    int16_t choice(ControlIndex control) const;
    void applyLevels();
    // What the reducers hold under one law, as another holds it (a switch of law mid-hold).
    void reencodeHeld(Law from, Law to);
    // Whether the engine's own reducers crush (not a plugged-in module).
    bool ownReducers = true;

    float rate;
    int32_t channelCount;
    int32_t blockFrames = 0;
    int64_t position = 0;
    double songQuarters = 0.0;  // the song's position at stream frame songAt
    int64_t songAt = 0;
    float values[CONTROL_COUNT] = {};
    struct Sweep {
        double from = 0.0, to = 0.0;
        int64_t start = 0, frames = 0;
        bool on = false;
    };
    Sweep sweeps[CONTROL_COUNT];
    int sweeping = 0;  // sweeps on
    bool enabled = true;
    bool changed = true;        // a value changed since the last block read it
    bool levelsChanged = true;  // a level or the bypass did
    bool levelsStarted = false;
    BlockPlan plan;
    uint64_t plansRead = 0;  // counts the plans read: what was worked out for one is known by it
    LevelStage levels;
    ChannelState state[MOST_CHANNELS];
};

template <class Modulate, class Run>
void EngineCore::inPieces(int64_t frames, bool blocksCut, int64_t mostFrames, Modulate&& modulate,
                          Run&& run) {
    // Controls that changed for this call may change for the next: the modulation's steps
    // are not worked out past its end. Otherwise they may be, while nothing changes.
    bool controlsRead = false;
    for (int64_t done = 0; done < frames;) {
        const int64_t intoBlock = blockFrames > 0 ? position % blockFrames : 0;
        if ((done == 0 && (changed || sweeping > 0)) || (intoBlock == 0 && sweeping > 0)) {
            readControls(position - intoBlock);
            controlsRead = true;
        }
        int64_t piece = std::min(frames - done, std::min(MOST_CALL_FRAMES, mostFrames));
        // Sweeps move the controls from one block to the next.
        if ((blocksCut || sweeping > 0) && blockFrames > 0)
            piece = std::min<int64_t>(piece, blockFrames - intoBlock);
        if (plan.modulating()) {
            const int64_t intoStep = position % MODULATION_FRAMES;
            // The settings hold to the call's end, or to the next block's where sweeps move;
            // steady, as long as the steps ahead go.
            int64_t settled =
                controlsRead ? position + (frames - done) : std::numeric_limits<int64_t>::max();
            if (sweeping > 0 && blockFrames > 0)
                settled = std::min(settled, position - intoBlock + blockFrames);
            modulate(position - intoStep, settled);
            piece = std::min<int64_t>(piece, MODULATION_FRAMES - intoStep);
        }
        if (piece < 1) break;  // a crusher that takes nothing
        run(done, static_cast<int32_t>(piece));
        done += piece;
        position += piece;
    }
}

}  // namespace grindlet::dsp

#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace grindlet::dsp {

namespace {

// The filters' cutoffs as shares of the sample rate: from this one up a filter is off (nothing
// there to remove), and none is set lower than this one.
constexpr double HIGHEST_SHARE = 0.45, LOWEST_SHARE = 1e-4;

bool isLevel(ControlIndex control) {
    return CONTROLS[control].scaling == StreamScaling::AroundModule;
}

}  // namespace

Engine::Engine(double sampleRate, int32_t channels)
    : rate(static_cast<float>(sampleRate)),
      channelCount(std::clamp<int32_t>(channels, 1, MOST_CHANNELS)) {
    for (size_t control = 0; control < CONTROL_COUNT; ++control)
        values[control] = static_cast<float>(CONTROLS[control].defaultValue);
    reset();
}

void Engine::reset() {
    for (int32_t channel = 0; channel < channelCount; ++channel) {
        resetRateReducer(reducers[channel], rate);
        antialiasState[channel][0] = antialiasState[channel][1] = toneState[channel] = {};
    }
    takesFound.frames = -1;
    position = 0;
    changed = levelsChanged = true;
    levelsStarted = false;
    direct = false;
}

void Engine::set(ControlIndex control, double value) {
    if (control >= CONTROL_COUNT) return;
    if (sweeps[control].on) {
        sweeps[control].on = false;
        --sweeping;
    }
    const auto held = static_cast<float>(value);
    // Bit for bit: -0.0 and NaN payloads reach the streams as the host wrote them.
    if (std::memcmp(&held, &values[control], sizeof held) == 0) return;
    values[control] = held;
    changed = true;
    direct = false;
    if (isLevel(control)) levelsChanged = true;
}

void Engine::sweep(ControlIndex control, double from, double to, int64_t frames) {
    if (control >= CONTROL_COUNT) return;
    if (!sweeps[control].on) ++sweeping;
    sweeps[control] = {from, to, position, frames, true};
    changed = true;
    direct = false;
}

void Engine::setEnabled(bool on) {
    if (on == enabled) return;
    enabled = on;
    changed = levelsChanged = true;
    direct = false;
}

void Engine::readControls(int64_t blockStart) {
    if (sweeping > 0) {
        for (size_t control = 0; control < CONTROL_COUNT; ++control) {
            const Sweep& sweep = sweeps[control];
            if (!sweep.on) continue;
            // The value at the block's first frame, as a fraction of the sweep's length.
            const int64_t into = std::max<int64_t>(0, blockStart - sweep.start);
            const double fraction = sweep.frames > 1
                                        ? std::min(1.0, static_cast<double>(into) /
                                                            static_cast<double>(sweep.frames - 1))
                                        : 0.0;
            const auto held = static_cast<float>(sweep.from + (sweep.to - sweep.from) * fraction);
            if (held != values[control] && isLevel(static_cast<ControlIndex>(control)))
                levelsChanged = true;
            values[control] = held;
        }
    }
    settings.bitsStream = bitsStreamOf(values[CONTROL_BITS]);
    settings.rateStream = rateStreamOf(values[CONTROL_RATE]);
    const auto choice = [this](ControlIndex control) {
        const float value = values[control];
        // The nearest entry; the first for anything outside the list.
        if (!(value >= CONTROLS[control].minimum && value <= CONTROLS[control].maximum)) return 0L;
        return std::lround(value);
    };
    settings.quantize = static_cast<int16_t>(choice(CONTROL_QUANTIZE));
    settings.linear = choice(CONTROL_MODE) != 0;
    stages.law = static_cast<int16_t>(choice(CONTROL_LAW));
    stages.lfoShape = static_cast<int16_t>(choice(CONTROL_LFO_SHAPE));
    stages.dither = choice(CONTROL_DITHER) != 0;
    readStages();
    for (Modulated& step : ahead) step.at = -1;  // made with the settings before
    if (levelsChanged) applyLevels();
    changed = false;
}

double Engine::number(ControlIndex control) const {
    const ControlFacts& facts = CONTROLS[control];
    const float value = values[control];
    if (std::isnan(value)) return facts.defaultValue;
    return std::fmin(std::fmax(double(value), facts.minimum), facts.maximum);
}

void Engine::readStages() {
    constexpr double PERCENT = 100.0;
    stages.antialias = static_cast<float>(number(CONTROL_ANTIALIAS) / PERCENT);
    stages.toneHz = static_cast<float>(number(CONTROL_TONE));
    stages.lfoRate = static_cast<float>(number(CONTROL_LFO_RATE));
    stages.lfoDepth = static_cast<float>(number(CONTROL_LFO_DEPTH));
    stages.jitter = static_cast<float>(number(CONTROL_JITTER) / PERCENT);
    stages.seed = static_cast<uint32_t>(number(CONTROL_SEED));
    stages.rateHz = values[CONTROL_RATE];
    // One step of the quantizer: 2^(1 - bits) where it quantizes in steps, 1 at 1 bit and
    // below; none above 23 bits (nothing is quantized) or at 0 (silence).
    const float bits = values[CONTROL_BITS];
    constexpr float MOST_QUANTIZED_BITS = 23.0f;
    stages.ditherStep = !(bits > 0.0f && bits <= MOST_QUANTIZED_BITS) ? 0.0f
                        : bits > 1.0f ? static_cast<float>(powerOfTwo(1.0 - double(bits)))
                                      : 1.0f;
    if (!(stages.ditherStep > 0.0f)) stages.dither = false;
    plain = !stages.perSample() && !stages.modulating();
    if (stages.perSample()) filtersFor(stages.rateHz, true);
}

void Engine::filtersFor(float rateHz, bool withTone) {
    antialiasOn = antialiasFor(rateHz, antialiasFilter);
    if (!withTone) return;
    constexpr double Q_TONE = 0.70710678118654752;  // Butterworth
    const double toneShare = double(stages.toneHz) / double(rate);
    toneOn = stages.toneHz > 0.0f && toneShare < HIGHEST_SHARE;
    if (toneOn)
        toneFilter = LowPass::at(toneShare > LOWEST_SHARE ? toneShare : LOWEST_SHARE, Q_TONE);
}

// The anti-aliasing's cutoff sits just under the reduced rate's Nyquist frequency; where nothing
// is reduced there is nothing to remove. Its share of the sample rate, 0 where it is off.
double Engine::antialiasShare(float rateHz) const {
    constexpr double CUTOFF_OF_NYQUIST = 0.9;
    const double share = CUTOFF_OF_NYQUIST * double(rateHz) / 2.0 / double(rate);
    if (!(stages.antialias > 0.0f && share < HIGHEST_SHARE && share > 0.0)) return 0.0;
    return share > LOWEST_SHARE ? share : LOWEST_SHARE;
}

// A fourth-order Butterworth: two pole pairs at the cutoff.
void Engine::antialiasSections(const LowPass::Cutoff& cutoff, LowPass* sections) {
    constexpr double Q_FIRST = 0.54119610014619698, Q_SECOND = 1.3065629648763766;
    sections[0] = LowPass::at(cutoff, Q_FIRST);
    sections[1] = LowPass::at(cutoff, Q_SECOND);
}

bool Engine::antialiasFor(float rateHz, LowPass* sections) const {
    const double share = antialiasShare(rateHz);
    if (share == 0.0) return false;
    antialiasSections(LowPass::Cutoff::of(share), sections);
    return true;
}

double Engine::lfoAt(int64_t at) const {
    // The LFO's phase in turns at this frame, from the position itself: no drift.
    const double phase = double(stages.lfoRate) * double(at) / double(rate);
    switch (stages.lfoShape) {
        case 1: {  // triangle, -1 at the cycle's start, 1 half way
            const double fraction = phase - wholeBelow(phase);
            return 1.0 - 4.0 * std::fabs(fraction - 0.5);
        }
        case 2:  // a random step each cycle
            return 2.0 * double(firstUniform(randomBits(stages.seed, RandomStream::Lfo, 0,
                                                        static_cast<int64_t>(wholeBelow(phase))))) -
                   1.0;
        default:
            return sineOfTurns(phase);
    }
}

void Engine::modulateAhead(int64_t at, int32_t count) {
    // Stage by stage over the steps: each stage is a long chain of series, and the steps'
    // chains, independent of each other, then run side by side.
    double factor[STEPS_AHEAD] = {}, share[STEPS_AHEAD] = {};
    for (int32_t j = 0; j < count; ++j)
        factor[j] = stages.lfoDepth > 0.0f
                        ? double(stages.lfoDepth) * lfoAt(at + j * MODULATION_FRAMES)
                        : 0.0;
    for (int32_t j = 0; j < count; ++j) factor[j] = powerOfTwo(factor[j]);
    if (stages.jitter > 0.0f) {
        for (int32_t j = 0; j < count; ++j) {
            const uint64_t bits = randomBits(stages.seed, RandomStream::Jitter, 0,
                                             (at + j * MODULATION_FRAMES) / MODULATION_FRAMES);
            factor[j] = factor[j] *
                        (1.0 + double(stages.jitter) * (2.0 * double(firstUniform(bits)) - 1.0));
        }
    }
    for (int32_t j = 0; j < count; ++j) {
        const int64_t stepAt = at + j * MODULATION_FRAMES;
        Modulated& step = ahead[(stepAt / MODULATION_FRAMES) % STEPS_AHEAD];
        const auto hertz = static_cast<float>(double(stages.rateHz) * factor[j]);
        step.at = stepAt;
        step.rateStream = rateStreamOf(hertz);
        // The tone's cutoff does not follow the rate: only the anti-aliasing moves here.
        share[j] = antialiasShare(hertz);
        step.antialiasOn = share[j] != 0.0;
    }
    LowPass::Cutoff cutoffs[STEPS_AHEAD] = {};
    for (int32_t j = 0; j < count; ++j) {
        if (share[j] != 0.0) cutoffs[j] = LowPass::Cutoff::of(share[j]);
    }
    for (int32_t j = 0; j < count; ++j) {
        if (share[j] != 0.0)
            antialiasSections(cutoffs[j],
                              ahead[((at / MODULATION_FRAMES) + j) % STEPS_AHEAD].antialias);
    }
}

void Engine::modulate(int64_t at, int64_t settled) {
    const int64_t slot = (at / MODULATION_FRAMES) % STEPS_AHEAD;
    if (ahead[slot].at != at) {
        // This step and the next few the settings hold for, worked out together.
        const int64_t end = std::max(at + MODULATION_FRAMES,
                                     std::min(settled, at + STEPS_AHEAD * MODULATION_FRAMES));
        modulateAhead(at,
                      static_cast<int32_t>((end - at + MODULATION_FRAMES - 1) / MODULATION_FRAMES));
    }
    const Modulated& step = ahead[slot];
    settings.rateStream = step.rateStream;
    if (stages.antialias > 0.0f) {
        antialiasOn = step.antialiasOn;
        antialiasFilter[0] = step.antialias[0];
        antialiasFilter[1] = step.antialias[1];
    }
}

void Engine::stagesBefore(int32_t first, int32_t pair, const float* const* sources, int32_t frames,
                          int64_t at) {
    // Silence below LowPass::SILENCE (-300 dB) enters as a zero of its sign: then no stage makes
    // a subnormal (see LowPass::run), and a processor that flushes them changes nothing. The
    // anti-aliasing takes its input cleaned (silence, NaN and infinities as +0) and writes staged.
    const float amount = stages.antialias;
    const bool blend = antialiasOn && amount < 1.0f;
    for (int32_t k = 0; k < pair && !(antialiasOn && !blend); ++k) {
        const float* in = sources[k];
        // A blend needs the input as it came: kept in `crushed` until the reducers write it.
        float* out = blend ? crushed[k] : staged[k];
        for (int32_t i = 0; i < frames; ++i) {
            const float x = in[i];
            out[i] = std::fabs(x) < LowPass::SILENCE ? std::copysign(0.0f, x) : x;
        }
    }
    if (antialiasOn) {
        const float* filterIn[2] = {};
        for (int32_t k = 0; k < pair; ++k) {
            LowPass::cleanBlock(blend ? crushed[k] : sources[k], filterInput[k], frames);
            filterIn[k] = filterInput[k];
        }
        LowPass::State* const states[2] = {antialiasState[first], antialiasState[first + pair - 1]};
        float* const filterOut[2] = {staged[0], staged[1]};
        // The tone of the block before runs beside this one's anti-aliasing, as far as both go.
        const int32_t beside = std::min(frames, toneWaiting.frames);
        if (beside > 0)
            runPairsBeside(antialiasFilter, states, filterIn, filterOut, pair, toneWaiting.beside,
                           beside);
        if (pair == 2) {
            LowPass::runPairTwo(antialiasFilter, states[0], states[1], filterIn[0] + beside,
                                filterIn[1] + beside, staged[0] + beside, staged[1] + beside,
                                frames - beside);
        } else {
            LowPass::runPair(antialiasFilter, states[0], filterIn[0] + beside, staged[0] + beside,
                             frames - beside);
        }
        if (toneWaiting.frames > 0) runWaitingTone(beside);
        if (blend) {
            for (int32_t k = 0; k < pair; ++k) {
                float* out = staged[k];
                const float* dry = crushed[k];
                for (int32_t i = 0; i < frames; ++i) out[i] = dry[i] + amount * (out[i] - dry[i]);
            }
        }
    }
    if (stages.law == 0 && !stages.dither) return;
    for (int32_t k = 0; k < pair; ++k) takenStages(first + k, staged[k], crushed[k], frames, at);
}

void Engine::takenStages(int32_t channel, float* samples, float* scratch, int32_t frames,
                         int64_t at) {
    // Companding and dither work sample by sample, and the reducer reads only the samples it
    // takes: those alone are worked on (the others reach no output).
    const int32_t count = findTakes(channel, frames, scratch);
    if (stages.law != 0) companding::compressTaken(stages.law, samples, takes, count);
    if (stages.dither) {
        // Triangular noise of one step, from two uniform numbers per frame and channel.
        const float step = stages.ditherStep;
        for (int32_t k = 0; k < count; ++k) {
            const int32_t i = takes[k];
            const uint64_t bits =
                randomBits(stages.seed, RandomStream::Dither, uint32_t(channel), at + i);
            samples[i] = samples[i] + step * (firstUniform(bits) - secondUniform(bits));
        }
    }
}

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

}  // namespace

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
    const uint32_t phaseBits = floatBits(reducers[channel].holdPhase);
    const uint32_t rateBits = floatBits(settings.rateStream);
    if (takesFound.frames == frames && takesFound.phaseBits == phaseBits &&
        takesFound.rateBits == rateBits)
        return takesFound.count;
    // Where the rate moves every few dozen frames, the phase's own arithmetic; at a steady rate
    // the dry run below, whose loops find the pattern of the holds and repeat it.
    KnownTakes found{};
    if (stages.modulating() &&
        findStepTakes(reducers[channel], settings.rateStream, rate, frames, takes, holds, found)) {
        takesFound = {phaseBits, rateBits, frames, found.takeCount, found.endPhase};
        return found.takeCount;
    }
    // Otherwise (a steady rate, or one not below the sample rate) a copy of the reducer runs on
    // the frames' indices, unquantized, in Step: which frames a reducer takes follows from its
    // phase and rate alone, the same in both modes. A frame whose
    // index comes out at its own place was taken (the held value before the first take is
    // negative, so never an index). Where the reducer copies its input (a rate at or above the
    // sample rate), every frame is marked, a few more than a quantizing reducer takes.
    RateReducerState dryRun = reducers[channel];
    dryRun.heldValue = -1.0f;
    const ReducerStreams streams{FRAME_INDICES.at, &UNQUANTIZED_BITS, &settings.rateStream,
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
    const float y = floatFromBits(bits);
    const float x =
        withoutSubnormal(stages.law == 1 ? companding::expandMu(y) : companding::expandA(y));
    known = {bits, x};
    return x;
}

void Engine::runWaitingTone(int32_t from) {
    ToneBeside& t = toneWaiting.beside;
    const int32_t rest = toneWaiting.frames - from;
    if (toneWaiting.pair == 2) {
        t.tone.runTwo(t.states[0], t.states[1], t.in[0] + from, t.in[1] + from, t.out[0] + from,
                      t.out[1] + from, rest);
    } else {
        t.tone.run(t.states[0], t.in[0] + from, t.out[0] + from, rest);
    }
    toneWaiting.frames = 0;
}

void Engine::stagesAfter(int32_t first, int32_t pair, int32_t frames, float* const* to,
                         bool toneLater) {
    if (frames <= 0) return;
    if (stages.law != 0) {
        // The reducers hold each taken sample for many frames: a repeated value (bit for bit)
        // is expanded once.
        if (expansions.law != stages.law) {  // in place: no table-sized temporary on the stack
            expansions.law = stages.law;
            for (Expansion& entry : expansions.entries) entry = {};
        }
        for (int32_t k = 0; k < pair; ++k) {
            const float* samples = crushed[k];
            float* into = toneLater ? toneInput[k] : toneOn ? crushed[k] : to[k];
            if (!settings.linear) {
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
                for (int32_t t = 0; toneOn && t <= count; ++t) held[t] = LowPass::clean(held[t]);
                fillHolds(held, takes, count, into, frames);
                continue;
            }
            uint32_t lastIn = floatBits(samples[0]) ^ 1u;  // differs from the first
            float lastOut = 0.0f;
            for (int32_t i = 0; i < frames; ++i) {
                const uint32_t bits = floatBits(samples[i]);
                if (bits != lastIn) {
                    lastIn = bits;
                    lastOut = toneOn ? LowPass::clean(expanded(bits)) : expanded(bits);
                }
                into[i] = lastOut;
            }
        }
    }
    if (!toneOn) return;
    for (int32_t k = 0; k < pair && stages.law == 0; ++k) {  // a law cleaned them above
        float* toneIn = toneLater ? toneInput[k] : crushed[k];
        LowPass::cleanBlock(toneIn, toneIn, frames);
    }
    if (toneLater) {
        // Its samples wait in toneInput for the next block's anti-aliasing (or the call's end).
        toneWaiting = {frames, pair, {toneFilter, toneState + first, {}, {}}};
        for (int32_t k = 0; k < pair; ++k) {
            toneWaiting.beside.in[k] = toneInput[k];
            toneWaiting.beside.out[k] = to[k];
        }
        return;
    }
    if (pair == 2) {
        toneFilter.runTwo(toneState[first], toneState[first + 1], crushed[0], crushed[1], to[0],
                          to[1], frames);
    } else {
        toneFilter.run(toneState[first], crushed[0], to[0], frames);
    }
}

void Engine::applyLevels() {
    const auto level = [this](ControlIndex control) {
        const ControlFacts& facts = CONTROLS[control];
        const float value = values[control];
        if (std::isnan(value)) return facts.defaultValue;
        return std::fmin(std::fmax(double(value), facts.minimum), facts.maximum);
    };
    LevelSettings wanted;
    wanted.driveDb = level(CONTROL_DRIVE);
    wanted.mixPercent = level(CONTROL_MIX);
    wanted.gainDb = level(CONTROL_GAIN);
    wanted.enabled = enabled;
    // The first block after a start or reset takes the settings at once; later ones ramp.
    if (levelsStarted) {
        levels.set(wanted);
    } else {
        levels.reset(rate, wanted);
        levelsStarted = true;
    }
    levelsChanged = false;
}

void Engine::processInParts(const float* const* in, float* const* out, int64_t frames) {
    // Blocks are cut where the controls may differ from one to the next (a sweep), or where the
    // crusher plugged in takes blocks of the host's size.
    const bool cutBlocks = blockFrames > 0 && (sweeping > 0 || external != nullptr);
    // Controls that changed for this call may change for the next: its steps are not worked
    // out ahead. Otherwise the steps past this call's end are, and kept while nothing changes.
    bool controlsRead = false;
    for (int64_t done = 0; done < frames;) {
        const int64_t intoBlock = blockFrames > 0 ? position % blockFrames : 0;
        if ((done == 0 && (changed || sweeping > 0)) || (intoBlock == 0 && sweeping > 0)) {
            readControls(position - intoBlock);
            controlsRead = true;
        }
        int64_t piece = std::min(frames - done, MOST_CALL_FRAMES);
        if (cutBlocks) piece = std::min<int64_t>(piece, blockFrames - intoBlock);
        if (stages.modulating()) {
            // The rate moves every MODULATION_FRAMES frames of the stream, whatever the calls.
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
        if (external != nullptr) piece = std::min<int64_t>(piece, external->mostFrames());
        if (piece < 1) break;  // a crusher that takes nothing
        run(in, out, done, static_cast<int32_t>(piece));
        done += piece;
        position += piece;
    }
    if (toneWaiting.frames > 0) runWaitingTone(0);  // the call's last block
    direct = !changed && plain && sweeping == 0 && external == nullptr && levels.idle();
}

void Engine::run(const float* const* in, float* const* out, int64_t at, int32_t frames) {
    const bool withStages = stages.perSample();
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
        // One pair of channels with both filters and nothing blended after them: each block's
        // tone waits to run beside the next block's anti-aliasing.
        const bool toneLater = withStages && toneOn && antialiasOn && channelCount <= 2 &&
                               !levels.blends() && external == nullptr;
        if (!toneLater && toneWaiting.frames > 0) runWaitingTone(0);
        if (withStages) {
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
                // Without a blend the last stage writes the output (the dry input, read before
                // it, is not read again).
                float* finals[2] = {};
                for (int32_t k = 0; k < pair; ++k)
                    finals[k] = levels.blends() ? crushed[k] : out[first + k] + at + done;
                const bool after = stages.law != 0 || toneOn;
                // A tone that waits reads toneInput: without a law the reducers write it there.
                for (int32_t k = 0; k < pair; ++k) {
                    float* crushInto = !after                         ? finals[k]
                                       : toneLater && stages.law == 0 ? toneInput[k]
                                                                      : crushed[k];
                    // The law expands each hold once: in Step it needs the holds alone.
                    float* heldOut = stages.law != 0 && !settings.linear ? heldValues[k] : nullptr;
                    holdsOnly[k] = crush(first + k, staged[k], crushInto, n, heldOut);
                }
                if (after) stagesAfter(first, pair, n, finals, toneLater);
                if (levels.blends()) {
                    for (int32_t k = 0; k < pair; ++k)
                        levels.finish(in[first + k] + at + done, crushed[k],
                                      out[first + k] + at + done, n);
                }
            }
            continue;
        }
        for (int32_t channel = 0; channel < channelCount; ++channel) {
            const float* dry = in[channel] + at + done;
            float* wet = out[channel] + at + done;
            const float* source = dry;
            if (levels.drives()) {
                levels.driveInto(dry, driven[0], n);
                source = driven[0];
            }
            if (levels.blends()) {
                // The dry samples are read after the crusher ran: it writes elsewhere, as the
                // output may be the input.
                crush(channel, source, crushed[0], n);
                levels.finish(dry, crushed[0], wet, n);
            } else {
                crush(channel, source, wet, n);
            }
        }
    }
}

bool Engine::crush(int32_t channel, const float* in, float* out, int32_t frames, float* heldOut) {
    if (external != nullptr) {
        external->crush(channel, in, out, frames, settings);
        return false;
    }
    const ReducerStreams streams{in, &settings.bitsStream, &settings.rateStream, out};
    // Where a stage found the takes of these frames for this phase and rate, only they are
    // quantized: the search that found them already did the phase's work.
    RateReducerState& reducer = reducers[channel];
    if (takesFound.frames == frames && !settings.linear && stages.modulating() &&
        takesFound.phaseBits == floatBits(reducer.holdPhase) &&
        takesFound.rateBits == floatBits(settings.rateStream) &&
        processStepTaken(reducer, streams, rate, settings.quantize, frames,
                         {takes, holds, takesFound.count, takesFound.endPhase, heldOut}))
        return heldOut != nullptr;
    processBlock(reducer, streams, rate, settings.quantize, settings.linear, 0, frames);
    return false;
}

}  // namespace grindlet::dsp

#include "engine_core.h"

#include <cmath>
#include <cstring>

#include "portable_math.h"
#include "stages.h"

namespace grindlet::dsp {

namespace {

bool isLevel(ControlIndex control) {
    return CONTROLS[control].scaling == StreamScaling::AroundModule;
}

constexpr double PERCENT = 100.0;
// At 100 % the anti-aliasing's passband ends at this share of the reduced rate's Nyquist
// frequency (its stopband starts at 5/3 of it: 1.5 times the Nyquist frequency).
constexpr double PASSBAND_OF_NYQUIST = 0.9;
// The quantizer quantizes nothing above this many bits.
constexpr float MOST_QUANTIZED_BITS = 23.0f;

}  // namespace

EngineCore::EngineCore(double sampleRate, int32_t channels)
    : rate(static_cast<float>(sampleRate)),
      channelCount(std::clamp<int32_t>(channels, 1, MOST_CHANNELS)) {
    for (size_t control = 0; control < CONTROL_COUNT; ++control)
        values[control] = static_cast<float>(CONTROLS[control].defaultValue);
    reset();
}

void EngineCore::reset() {
    for (int32_t channel = 0; channel < channelCount; ++channel) {
        state[channel] = {};
        resetRateReducer(state[channel].reducer, rate);
    }
    position = 0;
    songQuarters = 0.0;
    songAt = 0;
    changed = levelsChanged = true;
    levelsStarted = false;
}

void EngineCore::restart() {
    position = 0;
    songQuarters = 0.0;
    songAt = 0;
    changed = true;
}

void EngineCore::setSongPosition(double quarters) {
    if (!(quarters >= 0.0 && quarters <= MOST_SONG_QUARTERS)) return;
    songQuarters = quarters;
    songAt = position;
    changed = true;
}

double EngineCore::songPosition() const {
    return songQuarters + number(CONTROL_BPM) * double(position - songAt) / (60.0 * double(rate));
}

void EngineCore::set(ControlIndex control, double value) {
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
    if (isLevel(control)) levelsChanged = true;
}

void EngineCore::sweep(ControlIndex control, double from, double to, int64_t frames) {
    if (control >= CONTROL_COUNT) return;
    if (!sweeps[control].on) ++sweeping;
    sweeps[control] = {from, to, position, frames, true};
    changed = true;
}

void EngineCore::setEnabled(bool on) {
    if (on == enabled) return;
    enabled = on;
    changed = levelsChanged = true;
}

double EngineCore::number(ControlIndex control) const {
    const ControlFacts& facts = CONTROLS[control];
    const float value = values[control];
    if (std::isnan(value)) return facts.defaultValue;
    return std::fmin(std::fmax(double(value), facts.minimum), facts.maximum);
}

int16_t EngineCore::choice(ControlIndex control) const {
    const float value = values[control];
    if (!(value >= CONTROLS[control].minimum && value <= CONTROLS[control].maximum)) return 0;
    return static_cast<int16_t>(std::lround(value));
}

void EngineCore::readControls(int64_t blockStart) {
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
    BlockPlan& p = plan;
    p.crush.bitsStream = bitsStreamOf(values[CONTROL_BITS]);
    const float rateHz = takenRate();
    p.crush.rateStream = rateStreamOf(rateHz);
    p.crush.quantize = choice(CONTROL_QUANTIZE);
    p.crush.linear = static_cast<Mode>(choice(CONTROL_MODE)) == Mode::Linear;
    const auto law = static_cast<Law>(choice(CONTROL_LAW));
    if (law != p.law && ownReducers) reencodeHeld(p.law, law);
    p.law = law;
    p.lfoShape = static_cast<LfoShape>(choice(CONTROL_LFO_SHAPE));
    p.antialias = static_cast<float>(number(CONTROL_ANTIALIAS) / PERCENT);
    const auto toneHz = static_cast<float>(number(CONTROL_TONE));
    p.lfoRate = static_cast<float>(lfoHertz());
    const auto sync = static_cast<LfoSync>(choice(CONTROL_LFO_SYNC));
    p.lfoOriginCycles =
        sync == LfoSync::Off ? 0.0 : songQuarters / SYNC_QUARTERS[static_cast<size_t>(sync)];
    p.lfoOriginAt = sync == LfoSync::Off ? 0 : songAt;
    p.lfoDepth = static_cast<float>(number(CONTROL_LFO_DEPTH));
    p.jitter = static_cast<float>(number(CONTROL_JITTER) / PERCENT);
    p.seed = static_cast<uint32_t>(number(CONTROL_SEED));
    p.rateHz = rateHz;
    // One step of the quantizer: 2^(1 - bits) where it quantizes in steps, 1 at 1 bit and
    // below; none above 23 bits (nothing is quantized) or at 0 (silence).
    const float bits = values[CONTROL_BITS];
    p.step = !(bits > 0.0f && bits <= MOST_QUANTIZED_BITS) ? 0.0f
             : bits > 1.0f ? static_cast<float>(powerOfTwo(1.0 - double(bits)))
                           : 1.0f;
    p.heardStep = companding::heardStep(law, p.step);
    p.dither = static_cast<Dither>(choice(CONTROL_DITHER)) == Dither::Tpdf && p.step > 0.0f;
    const double toneShare = double(toneHz) / double(rate);
    p.toneOn = toneHz > 0.0f && toneShare < FilterSection::HIGHEST_SHARE;
    if (p.toneOn) p.tone = toneSection(toneShare);
    if (p.antialiasOn()) antialiasSections(antialiasShare(p.rateHz), p.antialiasSections);
    if (levelsChanged) applyLevels();
    changed = false;
    ++plansRead;
}

void EngineCore::reencodeHeld(Law from, Law to) {
    for (int32_t channel = 0; channel < channelCount; ++channel) {
        RateReducerState& r = state[channel].reducer;
        r.heldValue = companding::reencode(from, to, r.heldValue);
        r.previousHeld = companding::reencode(from, to, r.previousHeld);
        r.rampValue = companding::reencode(from, to, r.rampValue);
        // A Linear ramp re-aims at the held sample as the new law holds it.
        r.lastRate = LAST_RATE_AT_RESET;
    }
}

void EngineCore::applyLevels() {
    LevelSettings wanted;
    wanted.driveDb = number(CONTROL_DRIVE);
    wanted.mixPercent = number(CONTROL_MIX);
    wanted.gainDb = number(CONTROL_GAIN);
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

// The rate samples are taken at: Rate as the host holds it, or with a Rate Ratio that share of
// the sample rate (the product of two singles is exact in a double, then rounded once to the
// single a Rate port would hold).
float EngineCore::takenRate() const {
    const double ratio = number(CONTROL_RATE_RATIO);
    if (!(ratio > 0.0)) return values[CONTROL_RATE];
    return static_cast<float>(double(static_cast<float>(ratio)) * double(rate));
}

// At 100 % the passband ends just under the reduced rate's Nyquist frequency; as the amount
// falls it rises geometrically to the highest share a section is made for, where nothing is
// reduced either: more of the knob always removes more aliasing and never cuts the passband.
double EngineCore::antialiasShare(float rateHz) const {
    const double target = PASSBAND_OF_NYQUIST * double(rateHz) / 2.0 / double(rate);
    if (!(target < FilterSection::HIGHEST_SHARE)) return FilterSection::HIGHEST_SHARE;
    const double low = target > FilterSection::LOWEST_SHARE ? target : FilterSection::LOWEST_SHARE;
    if (plan.antialias == 1.0f) return low;  // 2^0: the same, without the logarithm
    const double octavesAbove =
        (1.0 - double(plan.antialias)) * binaryLogarithm(FilterSection::HIGHEST_SHARE / low);
    return low * powerOfTwo(octavesAbove);
}

// The LFO's cycles a second: LFO Rate's, or with LFO Sync one cycle a note value at the tempo
// (Tempo counts quarter notes a minute: a cycle of q quarter notes lasts 60·q / bpm seconds).
double EngineCore::lfoHertz() const {
    const auto sync = static_cast<LfoSync>(choice(CONTROL_LFO_SYNC));
    if (sync == LfoSync::Off) return number(CONTROL_LFO_RATE);
    return number(CONTROL_BPM) / (60.0 * SYNC_QUARTERS[static_cast<size_t>(sync)]);
}

double EngineCore::lfoAt(int64_t at) const {
    // The LFO's phase in turns at this frame, from the position itself: no drift. (With the
    // origin at the stream's start, 0 + x is x: the same bits as counting from frame 0.)
    const double phase =
        plan.lfoOriginCycles + double(plan.lfoRate) * double(at - plan.lfoOriginAt) / double(rate);
    switch (plan.lfoShape) {
        case LfoShape::Triangle: {  // -1 at the cycle's start, 1 half way
            const double fraction = phase - wholeBelow(phase);
            return 1.0 - 4.0 * std::fabs(fraction - 0.5);
        }
        case LfoShape::Random:  // a random step each cycle
            return 2.0 * double(firstUniform(randomBits(plan.seed, RandomStream::Lfo, 0,
                                                        static_cast<int64_t>(wholeBelow(phase))))) -
                   1.0;
        case LfoShape::Sine:
            break;
    }
    return sineOfTurns(phase);
}

// The rate's factor at the step from stream frame `at`: the LFO's octaves, then the jitter's
// random share above or below.
double EngineCore::modulationFactor(double lfo, int64_t at) const {
    double factor = powerOfTwo(plan.lfoDepth > 0.0f ? double(plan.lfoDepth) * lfo : 0.0);
    if (plan.jitter > 0.0f) {
        const uint64_t bits =
            randomBits(plan.seed, RandomStream::Jitter, 0, at / MODULATION_FRAMES);
        factor = factor * (1.0 + double(plan.jitter) * (2.0 * double(firstUniform(bits)) - 1.0));
    }
    return factor;
}

EngineCore::Modulated EngineCore::modulationAt(int64_t at) const {
    Modulated step;
    step.at = at;
    const float hertz =
        modulatedHertz(modulationFactor(plan.lfoDepth > 0.0f ? lfoAt(at) : 0.0, at));
    step.rateStream = rateStreamOf(hertz);
    if (plan.antialiasOn()) antialiasSections(antialiasShare(hertz), step.antialias);
    return step;
}

void EngineCore::modulate(int64_t at) {
    const Modulated step = modulationAt(at);
    plan.crush.rateStream = step.rateStream;
    if (plan.antialiasOn()) {
        plan.antialiasSections[0] = step.antialias[0];
        plan.antialiasSections[1] = step.antialias[1];
    }
}

}  // namespace grindlet::dsp

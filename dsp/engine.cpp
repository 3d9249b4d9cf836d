#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace grindlet::dsp {

namespace {

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
    for (int32_t channel = 0; channel < channelCount; ++channel)
        resetRateReducer(reducers[channel], rate);
    position = 0;
    changed = levelsChanged = true;
    levelsStarted = false;
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
    if (isLevel(control)) levelsChanged = true;
}

void Engine::sweep(ControlIndex control, double from, double to, int64_t frames) {
    if (control >= CONTROL_COUNT) return;
    if (!sweeps[control].on) ++sweeping;
    sweeps[control] = {from, to, position, frames, true};
    changed = true;
}

void Engine::setEnabled(bool on) {
    if (on == enabled) return;
    enabled = on;
    changed = levelsChanged = true;
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
    if (levelsChanged) applyLevels();
    changed = false;
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
    for (int64_t done = 0; done < frames;) {
        const int64_t intoBlock = blockFrames > 0 ? position % blockFrames : 0;
        if ((done == 0 && (changed || sweeping > 0)) || (intoBlock == 0 && sweeping > 0))
            readControls(position - intoBlock);
        int64_t piece = std::min(frames - done, MOST_CALL_FRAMES);
        if (cutBlocks) piece = std::min<int64_t>(piece, blockFrames - intoBlock);
        if (external != nullptr) piece = std::min<int64_t>(piece, external->mostFrames());
        if (piece < 1) return;  // a crusher that takes nothing
        run(in, out, done, static_cast<int32_t>(piece));
        done += piece;
        position += piece;
    }
}

void Engine::run(const float* const* in, float* const* out, int64_t at, int32_t frames) {
    // The levels at rest: the crusher writes the output itself, in one call.
    if (levels.idle()) {
        for (int32_t channel = 0; channel < channelCount; ++channel)
            crush(channel, in[channel] + at, out[channel] + at, frames);
        return;
    }
    // The levels' gains are shared by the channels a chunk at a time.
    for (int32_t done = 0; done < frames; done += LevelStage::CHUNK) {
        const int32_t n = std::min(LevelStage::CHUNK, frames - done);
        levels.advance(n);
        for (int32_t channel = 0; channel < channelCount; ++channel) {
            const float* dry = in[channel] + at + done;
            float* wet = out[channel] + at + done;
            const float* source = dry;
            if (levels.drives()) {
                levels.driveInto(dry, driven, n);
                source = driven;
            }
            if (levels.blends()) {
                // The dry samples are read after the crusher ran: it writes elsewhere, as the
                // output may be the input.
                crush(channel, source, crushed, n);
                levels.finish(dry, crushed, wet, n);
            } else {
                crush(channel, source, wet, n);
            }
        }
    }
}

void Engine::crush(int32_t channel, const float* in, float* out, int32_t frames) {
    if (external != nullptr) {
        external->crush(channel, in, out, frames, settings);
        return;
    }
    const ReducerStreams streams{in, &settings.bitsStream, &settings.rateStream, out};
    processBlock(reducers[channel], streams, rate, settings.quantize, settings.linear, 0, frames);
}

}  // namespace grindlet::dsp

// Drive into the crusher, dry/wet mix and output gain after it, and a bypass that crossfades
// to the dry signal: the same arithmetic in every front end (the LV2 plugin, the render tool
// around the module, the Python package). A change is smoothed by a linear ramp of each gain
// over a few milliseconds. At their defaults (0 dB, 100 %, 0 dB, enabled) nothing here runs:
// the crusher's output is the output, bit for bit, and no dry sample is multiplied into it.
//
// Per frame, in single precision, each step only while it is active (its gain is not the
// identity, or it is ramping):
//   driven = x * drive
//   y      = crush(driven)
//   y      = y * wet + x * (1 - wet)      (a term whose gain is 0 is left out: NaN stays out)
//   y      = y * output
//   y      = y * on + x * (1 - on)        (on is 1 enabled, 0 bypassed; likewise)
// Small state, no allocation: the gains of one chunk of frames at a time, shared by channels.
// A subnormal sample enters as a zero of its sign and no product or sum is left subnormal
// (decided on the bits), so a processor that flushes subnormals (FTZ/DAZ) gives the same bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "controls.h"
#include "float_bits.h"
#include "portable_math.h"

namespace grindlet::dsp {

// What the front end's controls ask for; the defaults are the table of controls'.
struct LevelSettings {
    double driveDb = defaultOf(CONTROL_DRIVE);  // gain into the crusher
    double mixPercent =
        defaultOf(CONTROL_MIX);               // 100: only the crushed signal; 0: only the dry one
    double gainDb = defaultOf(CONTROL_GAIN);  // gain after the mix
    bool enabled = true;                      // false: the dry signal, the crusher still running
};

// A gain that moves linearly to a new target over a fixed number of frames.
class GainRamp {
public:
    void jump(float value) {
        now = from = target = value;
        done = length = 0;
    }
    void aim(float value, int32_t frames) {
        if (value == target) return;
        from = now;
        target = value;
        done = 0;
        length = frames > 0 ? frames : 1;
    }
    bool moving() const { return done < length; }
    float value() const { return now; }
    // Whether the frames to come need this gain at all.
    bool active(float identity) const { return moving() || now != identity; }
    // The gains of the next `frames` frames; the last frame of a ramp is the target exactly.
    void fill(float* gains, int32_t frames) {
        for (int32_t i = 0; i < frames; ++i) {
            if (done < length) {
                ++done;
                now = done == length
                          ? target
                          : static_cast<float>(double(from) + (double(target) - double(from)) *
                                                                  (double(done) / double(length)));
            }
            gains[i] = now;
        }
    }

private:
    float now = 1.0f, from = 1.0f, target = 1.0f;
    int32_t done = 0, length = 0;
};

class LevelStage {
public:
    // Frames whose gains advance() prepares at once.
    static constexpr int32_t CHUNK = 256;
    // How long a change takes: short enough to follow a hand, long enough to never click.
    static constexpr double SMOOTHING_SECONDS = 0.005;

    // A setting as a host's control holds it, in single precision: every front end gives the
    // same gain for the same typed value (the LV2 plugin's ports are floats).
    static double asControl(double value) { return double(static_cast<float>(value)); }
    static float decibels(double db) {
        // 10^(dB/20) as 2^(dB·log2(10)/20), by our own power of two: the same bits on every
        // platform. 0 dB is exactly 1 and costs nothing.
        constexpr double OCTAVES_PER_DECIBEL = 3.3219280948873623478703194294894 / 20.0;
        if (asControl(db) == 0.0) return 1.0f;
        return static_cast<float>(powerOfTwo(asControl(db) * OCTAVES_PER_DECIBEL));
    }
    static float wetShare(double percent) { return static_cast<float>(asControl(percent) / 100.0); }

    // The settings at once, nothing moving (a new stream, a plugin's first run).
    void reset(float sampleRate, const LevelSettings& settings) {
        const double frames = std::round(double(sampleRate) * SMOOTHING_SECONDS);
        rampFrames = frames >= 1.0 && frames < 1e6 ? static_cast<int32_t>(frames) : 1;
        drive.jump(decibels(settings.driveDb));
        wet.jump(wetShare(settings.mixPercent));
        output.jump(decibels(settings.gainDb));
        on.jump(settings.enabled ? 1.0f : 0.0f);
    }
    // New settings, reached by ramps from where each gain stands.
    void set(const LevelSettings& settings) {
        drive.aim(decibels(settings.driveDb), rampFrames);
        wet.aim(wetShare(settings.mixPercent), rampFrames);
        output.aim(decibels(settings.gainDb), rampFrames);
        on.aim(settings.enabled ? 1.0f : 0.0f, rampFrames);
    }

    // The gains of the next `frames` (at most CHUNK) frames, the same for every channel.
    void advance(int32_t frames) {
        if (frames > CHUNK) frames = CHUNK;
        driving = drive.active(1.0f);
        mixing = wet.active(1.0f);
        gaining = output.active(1.0f);
        switching = on.active(1.0f);
        if (driving) drive.fill(driveGains, frames);
        if (mixing) wet.fill(wetGains, frames);
        if (gaining) output.fill(outputGains, frames);
        if (switching) on.fill(onGains, frames);
    }
    // Nothing to do now or until a setting changes: the crusher alone makes the output.
    bool idle() const {
        return !drive.active(1.0f) && !wet.active(1.0f) && !output.active(1.0f) && !on.active(1.0f);
    }
    // Whether this chunk's crusher input is the dry signal scaled, and whether anything after
    // the crusher runs. Neither: the crusher writes the output itself.
    bool drives() const { return driving; }
    bool blends() const { return mixing || gaining || switching; }

    void driveInto(const float* dry, float* driven, int32_t frames) const {
        for (int32_t i = 0; i < frames; ++i)
            driven[i] = withoutSubnormal(withoutSubnormal(dry[i]) * driveGains[i]);
    }
    // out may be dry or crushed: each frame is read before it is written.
    void finish(const float* dry, const float* crushed, float* out, int32_t frames) const {
        for (int32_t i = 0; i < frames; ++i) {
            const float x = withoutSubnormal(dry[i]);
            float y = withoutSubnormal(crushed[i]);
            if (mixing) y = blend(y, x, wetGains[i]);
            if (gaining) y = withoutSubnormal(y * outputGains[i]);
            if (switching) y = blend(y, x, onGains[i]);
            out[i] = y;
        }
    }

private:
    // y * share + x * (1 - share), leaving out a term whose gain is 0.
    static float blend(float y, float x, float share) {
        const float rest = 1.0f - share;
        if (rest == 0.0f) return withoutSubnormal(y * share);
        if (share == 0.0f) return withoutSubnormal(x * rest);
        return withoutSubnormal(withoutSubnormal(y * share) + withoutSubnormal(x * rest));
    }

    GainRamp drive, wet, output, on;
    int32_t rampFrames = 1;
    bool driving = false, mixing = false, gaining = false, switching = false;
    // Filled by advance() for the ramps that are active, and read only for those.
    float driveGains[CHUNK], wetGains[CHUNK], outputGains[CHUNK], onGains[CHUNK];
};

}  // namespace grindlet::dsp

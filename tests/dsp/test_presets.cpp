// The factory presets as a user meets them: each keeps its output within the stated bound on
// full-scale material, and the 1-Bit Fuzz is a square wave of two levels within full scale.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "dsp/engine.h"
#include "dsp/presets.h"
#include "tests/engine_script.h"

namespace grindlet::test {
namespace {

constexpr double RATE = 48000.0;

// A second of a full-scale sine, noise, and chords peaking at -2.8 dBFS, one after the other.
std::vector<float> material() {
    std::vector<float> x;
    for (int i = 0; i < 48000; ++i) x.push_back(float(sineOfTurns(1000.0 * i / RATE)));
    uint32_t noise = 1;
    for (int i = 0; i < 48000; ++i) {
        noise = noise * 1664525u + 1013904223u;
        x.push_back(float(noise) / 2147483648.0f - 1.0f);
    }
    for (int i = 0; i < 96000; ++i) {
        const double t = i / RATE;
        x.push_back(float(0.25 * (sineOfTurns(110.0 * t) + sineOfTurns(138.6 * t) +
                                  sineOfTurns(164.8 * t) + 0.8 * sineOfTurns(1760.0 * t))));
    }
    return x;
}

EngineScript presetScript(const dsp::Preset& preset, const std::vector<float>& x) {
    EngineScript s;
    s.sampleRate = RATE;
    s.channels = 1;
    s.input = {x};
    EngineCall call;
    for (size_t c = 0; c < dsp::CONTROL_COUNT; ++c) {
        const auto control = static_cast<dsp::ControlIndex>(c);
        call.before.push_back({EngineEvent::Set, control, dsp::presetValue(preset, control)});
    }
    for (size_t at = 0; at < x.size(); at += 512) {
        call.frames = static_cast<int32_t>(std::min<size_t>(512, x.size() - at));
        s.calls.push_back(call);
        call.before.clear();
    }
    return s;
}

TEST(Presets, EveryPresetKeepsTheStatedBound) {
    const std::vector<float> x = material();
    for (const dsp::Preset& preset : dsp::PRESETS) {
        const EngineScript s = presetScript(preset, x);
        dsp::Engine engine(RATE, 1);
        const Planar out = play(s, engine);
        const double bound = statedBound(s) * (1.0 + 1e-6);
        double peak = 0.0;
        for (float y : out[0]) peak = std::max(peak, double(std::fabs(y)));
        EXPECT_LE(peak, bound) << preset.symbol;
    }
}

// One bit of Mu-law, driven: every sample is +A, -A (A: -6 dBFS) or, only where the input is
// below -48 dBFS, silence; never the 24 levels past full scale the preset once gave.
TEST(Presets, OneBitFuzzIsASquareWithinFullScale) {
    const dsp::Preset* fuzz = dsp::presetNamed("one-bit-fuzz");
    ASSERT_NE(fuzz, nullptr);
    for (const double level : {1.0, 0.724}) {  // 0 dBFS and -2.8 dBFS
        std::vector<float> x(48000);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = float(level * sineOfTurns(440.0 * double(i) / RATE));
        dsp::Engine engine(RATE, 1);
        const Planar out = play(presetScript(*fuzz, x), engine);
        std::set<float> levels;
        size_t silent = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            levels.insert(std::fabs(out[0][i]));
            if (out[0][i] == 0.0f) ++silent;
        }
        const float a = dsp::LevelStage::decibels(-6.0);
        EXPECT_LE(levels.size(), 2u) << level;  // A and, near the crossings, 0
        EXPECT_TRUE(levels.count(a) == 1) << level;
        EXPECT_LT(double(silent) / double(x.size()), 0.01) << level;
    }
}

// The guard behind the filters is for what no filter design rules out (adversarial signals,
// transients of a cutoff moved every sample): on sines, noise and chords, with the filters at any
// steady setting, the output stays below its limit, 2·(peak·drive + step), so it never acts.
TEST(Presets, TheGuardNeverActsOnOrdinaryMaterial) {
    const std::vector<float> x = material();
    uint32_t seed = 3;
    const auto next = [&](double low, double high) {
        seed = seed * 1664525u + 1013904223u;
        return low + (high - low) * (double(seed >> 8) / 16777216.0);
    };
    for (int n = 0; n < 40; ++n) {
        const double bits = next(1.0, 16.0), drive = next(-12.0, 12.0);
        dsp::Engine engine(RATE, 1);
        engine.set(dsp::CONTROL_BITS, bits);
        engine.set(dsp::CONTROL_RATE, std::exp(next(std::log(200.0), std::log(40000.0))));
        engine.set(dsp::CONTROL_DRIVE, drive);
        engine.set(dsp::CONTROL_ANTIALIAS, n % 3 == 2 ? 0.0 : next(1.0, 100.0));
        engine.set(dsp::CONTROL_TONE, n % 3 == 1 ? 0.0 : next(20.0, 20000.0));
        engine.set(dsp::CONTROL_MODE, double(n % 2));
        std::vector<float> y(x.size());
        const float* in[1] = {x.data()};
        float* out[1] = {y.data()};
        engine.process(in, out, static_cast<int64_t>(x.size()));
        const double step = std::exp2(1.0 - bits);
        const double limit = 2.0 * (1.0 * dsp::LevelStage::decibels(drive) + step);
        double peak = 0.0;
        for (float v : y) peak = std::max(peak, double(std::fabs(v)));
        EXPECT_LT(peak, 0.9 * limit) << "setting " << n;
    }
}

}  // namespace
}  // namespace grindlet::test

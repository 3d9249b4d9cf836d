// The level stage around the crusher: untouched at its defaults, no dry NaN leaking into a wet
// output, ramps without jumps that end on their targets, and the bypass's crossfade.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "dsp/float_bits.h"
#include "dsp/level_stage.h"

namespace grindlet::test {
namespace {

using dsp::LevelSettings;
using dsp::LevelStage;

constexpr float SAMPLE_RATE = 48000.0f;
constexpr int32_t RAMP = 240;  // 5 ms at 48 kHz

LevelSettings settings(double drive, double mix, double gain, bool enabled = true) {
    LevelSettings s;
    s.driveDb = drive;
    s.mixPercent = mix;
    s.gainDb = gain;
    s.enabled = enabled;
    return s;
}

// Runs `frames` of dry samples through the stage with a stand-in crusher (y = 2 * driven), as
// a front end does: drive, crush, finish. Returns the output.
std::vector<float> run(LevelStage& stage, const std::vector<float>& dry) {
    std::vector<float> out(dry.size());
    float driven[LevelStage::CHUNK], crushed[LevelStage::CHUNK];
    for (size_t done = 0; done < dry.size();) {
        const auto frames =
            static_cast<int32_t>(std::min<size_t>(LevelStage::CHUNK, dry.size() - done));
        stage.advance(frames);
        const float* source = dry.data() + done;
        if (stage.drives()) {
            stage.driveInto(source, driven, frames);
            source = driven;
        }
        for (int32_t i = 0; i < frames; ++i) crushed[i] = 2.0f * source[i];
        if (stage.blends()) {
            stage.finish(dry.data() + done, crushed, out.data() + done, frames);
        } else {
            std::memcpy(out.data() + done, crushed, sizeof(float) * static_cast<size_t>(frames));
        }
        done += static_cast<size_t>(frames);
    }
    return out;
}

TEST(LevelStage, AtItsDefaultsDoesNothingAtAll) {
    LevelStage stage;
    stage.reset(SAMPLE_RATE, LevelSettings{});
    EXPECT_TRUE(stage.idle());
    stage.advance(LevelStage::CHUNK);
    EXPECT_FALSE(stage.drives());
    EXPECT_FALSE(stage.blends());
    // Setting the same values again starts no ramp.
    stage.set(LevelSettings{});
    EXPECT_TRUE(stage.idle());
}

TEST(LevelStage, NoSampleOfOnePathLeaksIntoTheOtherAtTheEnds) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> dry = {nan, inf, -inf, -0.0f, 0.25f, nan};
    struct Case {
        LevelSettings levels;
        std::vector<uint32_t> expected;  // bit patterns
    };
    const float gain = LevelStage::decibels(6.0);
    const Case cases[] = {
        // All wet, output gain on: the dry NaN and infinities come only through the crusher.
        {settings(0, 100, 6),
         {floatBits(2 * nan * gain), floatBits(inf), floatBits(-inf), floatBits(-0.0f * gain),
          floatBits(0.5f * gain), floatBits(2 * nan * gain)}},
        // All dry: the crushed signal is not added, not even as 0 * y.
        {settings(0, 0, 0),
         {floatBits(nan), floatBits(inf), floatBits(-inf), floatBits(-0.0f), floatBits(0.25f),
          floatBits(nan)}},
        // Bypassed: the dry samples exactly.
        {settings(12, 30, -6, false),
         {floatBits(nan), floatBits(inf), floatBits(-inf), floatBits(-0.0f), floatBits(0.25f),
          floatBits(nan)}},
    };
    for (const Case& c : cases) {
        LevelStage stage;
        stage.reset(SAMPLE_RATE, c.levels);
        const std::vector<float> out = run(stage, dry);
        for (size_t i = 0; i < dry.size(); ++i) {
            if (std::isnan(dry[i])) {
                EXPECT_TRUE(std::isnan(out[i])) << i;
            } else {
                EXPECT_EQ(floatBits(out[i]), c.expected[i])
                    << "mix " << c.levels.mixPercent << ", sample " << i;
            }
        }
    }
}

TEST(LevelStage, ARampThatEndsOnOneSideLeavesTheOtherOutFromItsLastFrame) {
    const float inf = std::numeric_limits<float>::infinity();
    for (const double mix : {100.0, 0.0}) {
        LevelStage stage;
        stage.reset(SAMPLE_RATE, settings(0, 50, 0));
        stage.set(settings(0, mix, 0));
        // The ramp's last frame and the rest of its chunk, where the blend still runs.
        std::vector<float> dry(RAMP - 1, 0.25f);
        dry.insert(dry.end(), {-inf, inf, -0.0f, 0.25f});
        const std::vector<float> out = run(stage, dry);
        const float wet = mix == 100.0 ? 2.0f : 1.0f;  // the stand-in crusher doubles
        EXPECT_EQ(floatBits(out[RAMP - 1]), floatBits(-inf)) << mix;
        EXPECT_EQ(floatBits(out[RAMP]), floatBits(inf)) << mix;
        EXPECT_EQ(floatBits(out[RAMP + 1]), floatBits(-0.0f)) << mix;
        EXPECT_EQ(out[RAMP + 2], 0.25f * wet) << mix;
    }
}

TEST(LevelStage, AChangeRampsWithoutJumpsAndEndsExactlyOnItsTarget) {
    struct Case {
        LevelSettings from, to;
    };
    const Case cases[] = {
        {settings(0, 100, 0), settings(24, 100, 0)},        // drive up
        {settings(0, 100, 0), settings(0, 100, -24)},       // output down
        {settings(0, 100, 0), settings(0, 0, 0)},           // to all dry
        {settings(0, 100, 0), settings(0, 100, 0, false)},  // bypass
        {settings(-24, 10, 24), settings(24, 90, -24)},     // everything at once
    };
    const std::vector<float> dc(4 * RAMP, 0.25f);
    for (const Case& c : cases) {
        LevelStage stage, settled;
        stage.reset(SAMPLE_RATE, c.from);
        settled.reset(SAMPLE_RATE, c.to);
        const float before = run(stage, std::vector<float>(LevelStage::CHUNK, 0.25f)).back();
        stage.set(c.to);
        const std::vector<float> out = run(stage, dc);
        const float after = run(settled, dc).back();
        // No step between neighbours is more than a few ramp frames' share of the whole swing
        // (a product of ramps curves; a jump would be the whole swing at once).
        float previous = before, largest = 0.0f, low = before, high = before;
        for (float v : out) {
            largest = std::max(largest, std::fabs(v - previous));
            low = std::min(low, v);
            high = std::max(high, v);
            previous = v;
        }
        EXPECT_LE(largest, (high - low) * 8.0f / RAMP + 1e-7f);
        // From the ramp's last frame on, exactly the settled output.
        for (size_t i = RAMP - 1; i < out.size(); ++i)
            ASSERT_EQ(floatBits(out[i]), floatBits(after)) << i;
        EXPECT_TRUE(stage.idle() || c.to.enabled == false || c.to.mixPercent != 100.0 ||
                    c.to.driveDb != 0.0 || c.to.gainDb != 0.0);
    }
}

TEST(LevelStage, ARampMayStartAgainHalfWayFromWhereItStands) {
    LevelStage stage;
    stage.reset(SAMPLE_RATE, settings(0, 100, 0));
    stage.set(settings(0, 100, -24));
    const std::vector<float> dc(RAMP / 2, 0.25f);
    const float halfWay = run(stage, dc).back();
    stage.set(settings(0, 100, 0));  // back up before arriving
    const std::vector<float> out = run(stage, std::vector<float>(2 * RAMP, 0.25f));
    EXPECT_LE(std::fabs(out.front() - halfWay), 0.5f / RAMP * 1.01f);
    EXPECT_EQ(out.back(), 0.5f);
    EXPECT_TRUE(stage.idle());
}

}  // namespace
}  // namespace grindlet::test

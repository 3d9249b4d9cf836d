// The quantizer's scale per "Bits" value, its three rounding modes, and the truncation.
#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <limits>

#include "dsp/quantizer.h"
#include "tests/float_bits.h"

namespace grindlet::test {
namespace {

using dsp::QuantizerState;

QuantizerState configured(float bits) {
    QuantizerState state{false, 0.0f, 0.0f, -1e8f};
    dsp::configureQuantizer(state, bits);
    return state;
}

struct ScaleCase {
    float bits;
    bool on;
    float scale;
    float inverse;
};
void PrintTo(const ScaleCase& c, std::ostream* os) { *os << "bits " << c.bits; }

class QuantizerScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(QuantizerScale, PerBitsValue) {
    const ScaleCase& c = GetParam();
    const QuantizerState state = configured(c.bits);
    EXPECT_EQ(state.quantizeOn, c.on) << c.bits;
    if (c.on) {
        EXPECT_TRUE(sameBits(state.quantScale, c.scale)) << c.bits;
        EXPECT_TRUE(sameBits(state.quantInverse, c.inverse)) << c.bits;
    }
    EXPECT_TRUE(sameBits(state.lastBits, c.bits));
}

INSTANTIATE_TEST_SUITE_P(
    Table, QuantizerScale,
    ::testing::Values(
        ScaleCase{1.6f, true, 32768.0f, 0.000030517578125f},
        ScaleCase{2.3f, true, 4194304.0f, 1.0f / 4194304.0f}, ScaleCase{2.35f, false, 0, 0},
        ScaleCase{2.4f, false, 0, 0}, ScaleCase{0.2f, true, 2.0f, 0.5f},
        ScaleCase{0.1f, true, 1.0f, 1.0f}, ScaleCase{0.05f, true, 1.0f, 1.0f},
        ScaleCase{0.0f, true, 0.0f, 0.0f}, ScaleCase{-0.1f, true, 0.0f, 0.0f},
        ScaleCase{-std::numeric_limits<float>::infinity(), true, 0.0f, 0.0f},
        ScaleCase{std::numeric_limits<float>::infinity(), false, 0, 0},
        // Fractions are not rounded: 16.5 bits give 2^15.5 steps.
        ScaleCase{1.65f, true, static_cast<float>(std::pow(2.0, 15.5)),
                  static_cast<float>(1.0 / double(static_cast<float>(std::pow(2.0, 15.5))))}));

TEST(Quantizer, UnchangedBitsLeavesTheScaleAlone) {
    QuantizerState state = configured(1.6f);
    state.quantScale = 123.0f;  // would be overwritten by a reconfiguration
    dsp::configureQuantizer(state, 1.6f);
    EXPECT_EQ(state.quantScale, 123.0f);
    EXPECT_TRUE(state.quantizeOn);
}

TEST(Quantizer, OffKeepsTheLastScale) {
    QuantizerState state = configured(0.2f);
    dsp::configureQuantizer(state, 2.4f);
    EXPECT_FALSE(state.quantizeOn);
    EXPECT_EQ(state.quantScale, 2.0f);
    EXPECT_EQ(state.quantInverse, 0.5f);
}

TEST(Quantizer, NotANumberChangesNothingAndIsNotRemembered) {
    QuantizerState state = configured(1.6f);
    dsp::configureQuantizer(state, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(state.quantScale, 32768.0f);
    EXPECT_EQ(state.lastBits, 1.6f);
    // The next real value takes effect at once and stays in effect while it holds steady.
    dsp::configureQuantizer(state, 0.2f);
    EXPECT_EQ(state.quantScale, 2.0f);
    dsp::configureQuantizer(state, 0.2f);
    EXPECT_EQ(state.quantScale, 2.0f);
    EXPECT_EQ(state.lastBits, 0.2f);
}

TEST(Quantizer, NotANumberOnTheFirstBlockLeavesQuantizationAsItWas) {
    QuantizerState state = configured(std::numeric_limits<float>::quiet_NaN());
    EXPECT_FALSE(state.quantizeOn);
    EXPECT_EQ(state.lastBits, -1e8f);
}

constexpr float NEG_ZERO = -0.0f;

struct TwoBitCase {
    float x;
    float floor, round, inside;
};
void PrintTo(const TwoBitCase& c, std::ostream* os) { *os << "x " << c.x; }

class TwoBitQuantization : public ::testing::TestWithParam<TwoBitCase> {};

TEST_P(TwoBitQuantization, AllThreeModes) {
    const TwoBitCase& c = GetParam();
    const QuantizerState state = configured(0.2f);
    EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_FLOOR, c.x), c.floor)) << c.x;
    EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_ROUND, c.x), c.round)) << c.x;
    EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_INSIDE, c.x), c.inside)) << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TwoBitQuantization,
    ::testing::Values(TwoBitCase{0.3f, 0.0f, 0.5f, 0.0f}, TwoBitCase{-0.3f, -0.5f, -0.5f, 0.0f},
                      TwoBitCase{0.25f, 0.0f, 0.5f, 0.0f}, TwoBitCase{-0.25f, -0.5f, -0.5f, 0.0f},
                      TwoBitCase{0.75f, 0.5f, 1.0f, 0.5f}, TwoBitCase{-0.75f, -1.0f, -1.0f, -0.5f},
                      TwoBitCase{-0.5f, -1.0f, -0.5f, -0.5f},
                      TwoBitCase{NEG_ZERO, -0.5f, 0.0f, 0.0f}, TwoBitCase{1.0f, 1.0f, 1.0f, 1.0f},
                      TwoBitCase{-1.0f, -1.5f, -1.0f, -1.0f}));

TEST(Quantizer, SixteenBits) {
    const QuantizerState state = configured(1.6f);
    EXPECT_TRUE(
        sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_ROUND, 0.3f), 0.29998779296875f));
    EXPECT_TRUE(
        sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_INSIDE, 0.3f), 0.29998779296875f));
    EXPECT_TRUE(
        sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_ROUND, -0.3f), -0.29998779296875f));
    EXPECT_TRUE(
        sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_INSIDE, -0.3f), -0.29998779296875f));
    EXPECT_TRUE(
        sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_FLOOR, -0.3f), -0.300018310546875f));
}

TEST(Quantizer, TwentyThreeBits) {
    const QuantizerState state = configured(2.3f);
    for (int16_t mode = 0; mode < 3; ++mode) {
        EXPECT_TRUE(sameBits(dsp::quantizeSample(state, mode, 4.0f), 4.0f)) << mode;
    }
    EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_INSIDE, -5.0f), -5.0f));
}

TEST(Quantizer, InfiniteAndNotANumberSamplesBecomePositiveZero) {
    const QuantizerState state = configured(1.6f);
    const float specials[] = {
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()};
    for (float x : specials) {
        for (int16_t mode = 0; mode < 3; ++mode) {
            EXPECT_TRUE(sameBits(dsp::quantizeSample(state, mode, x), 0.0f))
                << x << " mode " << mode;
        }
    }
}

TEST(Quantizer, ZeroBitsSilenceEveryModeButFloorKeepsTheSign) {
    const QuantizerState state = configured(0.0f);
    for (float x : {0.7f, -0.7f, NEG_ZERO, 0.0f, 1e30f}) {
        const bool negative = std::signbit(x);
        EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_FLOOR, x),
                             negative ? NEG_ZERO : 0.0f))
            << x;
        EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_ROUND, x), 0.0f)) << x;
        EXPECT_TRUE(sameBits(dsp::quantizeSample(state, dsp::QUANT_MODE_INSIDE, x), 0.0f)) << x;
    }
}

struct TruncateCase {
    float v;
    float expected;
};
void PrintTo(const TruncateCase& c, std::ostream* os) { *os << "v " << c.v; }

class Truncation : public ::testing::TestWithParam<TruncateCase> {};

TEST_P(Truncation, TowardZeroOnTheEncoding) {
    EXPECT_TRUE(sameBits(dsp::truncateTowardZero(GetParam().v), GetParam().expected))
        << GetParam().v;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Truncation,
    ::testing::Values(TruncateCase{0.5f, 0.0f}, TruncateCase{-0.5f, 0.0f},
                      TruncateCase{NEG_ZERO, 0.0f}, TruncateCase{1e-45f, 0.0f},
                      TruncateCase{-1e-45f, 0.0f}, TruncateCase{0.99999994f, 0.0f},
                      TruncateCase{1.0f, 1.0f}, TruncateCase{-1.0f, -1.0f},
                      TruncateCase{2.7f, 2.0f}, TruncateCase{-2.7f, -2.0f},
                      TruncateCase{8388607.5f, 8388607.0f}, TruncateCase{8388608.0f, 8388608.0f},
                      TruncateCase{16777216.0f, 16777216.0f}, TruncateCase{-3e38f, -3e38f},
                      TruncateCase{std::numeric_limits<float>::infinity(), 0.0f},
                      TruncateCase{-std::numeric_limits<float>::infinity(), 0.0f},
                      TruncateCase{std::numeric_limits<float>::quiet_NaN(), 0.0f}));

}  // namespace
}  // namespace grindlet::test

// Our own sine, powers and logarithms against the C library's (to their stated errors), and
// the exact stand-ins for floor and ldexp against the library's, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dsp/portable_math.h"
#include "dsp/stages.h"
#include "tests/float_bits.h"
#include "tests/special_floats.h"

namespace grindlet::test {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double PI = 3.14159265358979323846;

uint64_t bitsOf(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

TEST(PortableMath, WholeBelowIsFloorBitForBit) {
    const double edges[] = {0.0,
                            -0.0,
                            0.5,
                            -0.5,
                            1.0,
                            -1.0,
                            1.5,
                            -1.5,
                            1e-300,
                            -1e-300,
                            4503599627370495.5,
                            -4503599627370495.5,
                            4503599627370496.0,
                            -4503599627370497.0,
                            9.3e18,
                            -9.3e18,
                            1e300,
                            -1e300,
                            INF,
                            -INF};
    for (double x : edges) {
        EXPECT_EQ(bitsOf(wholeBelow(x)), bitsOf(std::floor(x))) << x;
    }
    EXPECT_TRUE(std::isnan(wholeBelow(std::nan(""))));
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> wide(-1e6, 1e6);
    for (int i = 0; i < 100000; ++i) {
        const double x = wide(random);
        ASSERT_EQ(bitsOf(wholeBelow(x)), bitsOf(std::floor(x))) << x;
    }
}

TEST(PortableMath, TheSeriesStayWithinTheirErrors) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 100000; ++i) {
        const double turns = (unit(random) - 0.5) * 2000.0;
        // The turn's fraction is exact; the library's sin of 2π·turns has its own rounding of
        // 2π·turns (up to 1e-13 here), so the sine is compared on the fraction alone.
        const double fraction = turns - std::floor(turns);
        ASSERT_NEAR(sineOfTurns(turns), std::sin(2.0 * PI * fraction), 5e-14) << turns;
        const double power = (unit(random) - 0.5) * 120.0;
        ASSERT_NEAR(powerOfTwo(power) / std::exp2(power), 1.0, 4e-16) << power;
        const double positive = std::exp2((unit(random) - 0.5) * 200.0);
        ASSERT_NEAR(binaryLogarithm(positive), std::log2(positive), 4e-15) << positive;
        const double sample = 1.0 + unit(random) * 1e6;
        ASSERT_NEAR(dsp::companding::logTwo(sample), std::log2(sample), 3e-11) << sample;
        const double exponent = unit(random) * 63.0;
        ASSERT_NEAR(dsp::companding::powerTwo(exponent) / std::exp2(exponent), 1.0, 1e-11)
            << exponent;
    }
    // Whole powers are exact, scaled directly or (beyond ±1000) by the library's ldexp.
    for (double whole : {-1074.0, -1022.0, -1000.0, -1.0, 0.0, 1.0, 999.0, 1000.0, 1023.0})
        EXPECT_EQ(powerOfTwo(whole), std::ldexp(1.0, static_cast<int>(whole))) << whole;
}

// Each law's expansion undoes its compression to within a float's step, over the whole range.
TEST(PortableMath, EachLawExpandsBackWhatItCompressed) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> level(-60.0f, 40.0f);
    for (int i = 0; i < 100000; ++i) {
        const float x = (i % 2 == 0 ? 1.0f : -1.0f) * std::pow(10.0f, level(random) / 20.0f);
        const float mu = dsp::companding::expandMu(dsp::companding::compressMu(x));
        const float a = dsp::companding::expandA(dsp::companding::compressA(x));
        ASSERT_NEAR(mu / x, 1.0f, 1e-4f) << x;
        ASSERT_NEAR(a / x, 1.0f, 1e-4f) << x;
    }
}

// The laws' compression of the taken samples, two at a time where the processor has vectors,
// against compressMu and compressA one sample at a time: every bit, for magnitudes from the
// smallest subnormal past 1e30, signed zeros, infinities and NaN, either law.
TEST(PortableMath, CompressionOfTakenSamplesIsEachSamplesBitForBit) {
    std::mt19937 random(29);
    std::uniform_real_distribution<float> decade(-46.0f, 32.0f);
    std::vector<float> samples(4099);
    for (size_t i = 0; i < samples.size(); ++i) {
        const float magnitude = std::pow(10.0f, decade(random));
        samples[i] = i % 9 == 0 ? SPECIAL_FLOATS[(i / 9) % std::size(SPECIAL_FLOATS)]
                                : (random() % 2 != 0 ? -magnitude : magnitude);
    }
    std::vector<int32_t> taken;
    for (int32_t i = 0; i < static_cast<int32_t>(samples.size()); i += 1 + int32_t(random() % 3))
        taken.push_back(i);
    for (const dsp::Law law : {dsp::Law::MuLaw, dsp::Law::ALaw}) {
        std::vector<float> got = samples;
        dsp::companding::compressTaken(law, got.data(), taken.data(),
                                       static_cast<int32_t>(taken.size()));
        std::vector<float> expected = samples;
        for (int32_t i : taken) {
            expected[size_t(i)] = law == dsp::Law::MuLaw
                                      ? dsp::companding::compressMu(samples[size_t(i)])
                                      : dsp::companding::compressA(samples[size_t(i)]);
        }
        EXPECT_TRUE(sameBits(got, expected)) << "law " << int(law);
    }
}

}  // namespace
}  // namespace grindlet::test

// The rate reducer's sample sequences, its copy and silence paths, and its state across blocks.
#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "dsp/rate_reducer.h"
#include "tests/float_bits.h"

namespace grindlet::test {
namespace {

constexpr float SAMPLE_RATE = 44100.0f;
constexpr float BITS_OFF = 2.4f;
constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();
constexpr float SENTINEL = 12345.678f;

enum class Routine { Step, Linear };
void PrintTo(Routine routine, std::ostream* os) {
    *os << (routine == Routine::Step ? "Step" : "Linear");
}

// One reducer after open, with helpers to run blocks of constant controls.
struct Reducer {
    dsp::RateReducerState state{};
    int16_t quantMode = dsp::QUANT_MODE_FLOOR;

    Reducer() { dsp::resetRateReducer(state, SAMPLE_RATE); }

    std::vector<float> run(Routine routine, const std::vector<float>& input, float rateValue,
                           float bits = BITS_OFF) {
        std::vector<float> output(input.size(), SENTINEL);
        runInto(routine, input, output, rateValue, bits, 0, static_cast<int32_t>(input.size()));
        return output;
    }

    void runInto(Routine routine, const std::vector<float>& input, std::vector<float>& output,
                 float rateValue, float bits, int32_t offset, int32_t count) {
        std::vector<float> bitsStream(input.size() + 1, NAN_F), rateStream(input.size() + 1, NAN_F);
        bitsStream[offset] = bits;  // only the block's first control sample may be read
        rateStream[offset] = rateValue;
        const dsp::ReducerStreams streams{input.data(), bitsStream.data(), rateStream.data(),
                                          output.data()};
        if (routine == Routine::Step) {
            dsp::processStep(state, streams, SAMPLE_RATE, quantMode, offset, count);
        } else {
            dsp::processLinear(state, streams, SAMPLE_RATE, quantMode, offset, count);
        }
    }
};

std::vector<float> ramp(int n, float start, float step) {
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) v[i] = static_cast<float>(i + 1) * step + (start - step);
    return v;
}

TEST(RateReducer, StepAtAQuarterOfTheSampleRate) {
    Reducer reducer;
    std::vector<float> input(12);
    for (int i = 0; i < 12; ++i) input[i] = static_cast<float>(i + 1) / 10.0f;
    const auto output = reducer.run(Routine::Step, input, 1102.5f);
    EXPECT_TRUE(sameBits(output, {0, 0, 0, 0, input[4], input[4], input[4], input[4], input[8],
                                  input[8], input[8], input[8]}));
    EXPECT_EQ(reducer.state.holdPhase, 4.0f);
}

TEST(RateReducer, StepWithAFractionalHoldTakesTwoAndThreeApart) {
    Reducer reducer;
    std::vector<float> input(12);
    for (int i = 0; i < 12; ++i) input[i] = static_cast<float>(i);
    const auto output = reducer.run(Routine::Step, input, 1764.0f);  // 44100 / 2.5 Hz
    EXPECT_TRUE(sameBits(output, {0, 0, 0, 3, 3, 5, 5, 5, 8, 8, 10, 10}));
}

TEST(RateReducer, LinearRampsOneHoldPeriodBehind) {
    Reducer reducer;
    const auto output = reducer.run(Routine::Linear, std::vector<float>(12, 1.0f), 1102.5f);
    EXPECT_TRUE(sameBits(output, {0, 0, 0, 0, 0, 0.25f, 0.5f, 0.75f, 1.0f, 1.0f, 1.0f, 1.0f}));
}

TEST(RateReducer, LinearRateRiseWithThePhasePastTheNewStepContinuesFromTheOutput) {
    Reducer reducer;
    EXPECT_TRUE(sameBits(reducer.run(Routine::Linear, std::vector<float>(6, 1.0f), 1102.5f),
                         {0, 0, 0, 0, 0, 0.25f}));
    EXPECT_EQ(reducer.state.holdPhase, 2.0f);
    EXPECT_EQ(reducer.state.rampValue, 0.5f);
    const auto output = reducer.run(Routine::Linear, std::vector<float>(6, 2.0f), 2205.0f);
    EXPECT_TRUE(sameBits(output, {0.5f, 1.25f, 2.0f, 2.0f, 2.0f, 2.0f}));
}

TEST(RateReducer, LinearRateFallReaimsTheRamp) {
    Reducer reducer;
    reducer.run(Routine::Linear, std::vector<float>(6, 1.0f), 1102.5f);
    const auto output = reducer.run(Routine::Linear, std::vector<float>(7, 1.0f), 551.25f);
    EXPECT_TRUE(sameBits(
        output, {0.5f, 0.58333331f, 0.66666663f, 0.74999994f, 0.83333325f, 0.91666657f, 1.0f}));
    EXPECT_TRUE(sameBits(reducer.state.rampStep, 0.0f)) << "the take re-aims at the held 1.0";
}

TEST(RateReducer, TwoBitRoundAtTheSampleRateInTwoCalls) {
    const std::vector<float> input = {0.3f, -0.3f, 0.8f, 0.6f};
    Reducer step;
    step.quantMode = dsp::QUANT_MODE_ROUND;
    EXPECT_TRUE(sameBits(step.run(Routine::Step, input, 4410.0f, 0.2f), {0.0f, -0.5f, 1.0f, 0.5f}));
    EXPECT_TRUE(sameBits(step.run(Routine::Step, input, 4410.0f, 0.2f), {0.5f, -0.5f, 1.0f, 0.5f}));
    Reducer linear;
    linear.quantMode = dsp::QUANT_MODE_ROUND;
    EXPECT_TRUE(
        sameBits(linear.run(Routine::Linear, input, 4410.0f, 0.2f), {0.0f, 0.0f, -0.5f, 1.0f}));
    EXPECT_TRUE(
        sameBits(linear.run(Routine::Linear, input, 4410.0f, 0.2f), {0.5f, 0.5f, -0.5f, 1.0f}));
}

class BothRoutines : public ::testing::TestWithParam<Routine> {};

TEST_P(BothRoutines, UnreducedUnquantizedBlockIsCopiedBitForBit) {
    Reducer reducer;
    reducer.run(GetParam(), std::vector<float>(5, 0.7f), 1102.5f);  // leave some state
    const dsp::RateReducerState before = reducer.state;
    const std::vector<float> input = {-0.0f, 1e-45f, NAN_F, -3.5f, 1e38f};
    const auto output = reducer.run(GetParam(), input, 4410.0f);
    EXPECT_TRUE(sameBits(output, input));
    EXPECT_EQ(std::memcmp(&before, &reducer.state, sizeof before), 0) << "no member changes";
}

TEST_P(BothRoutines, InPlaceCopyLeavesTheBufferIntact) {
    Reducer reducer;
    std::vector<float> buffer = {1, 2, 3, 4, 5, 6};
    const std::vector<float> original = buffer;
    reducer.runInto(GetParam(), buffer, buffer, 4410.0f, BITS_OFF, 1, 4);
    EXPECT_TRUE(sameBits(buffer, original));
}

TEST_P(BothRoutines, RateThatIsNotPositiveSilencesTheBlock) {
    for (float rate : {0.0f, -0.0f, -1.0f, NAN_F, -std::numeric_limits<float>::infinity()}) {
        Reducer reducer;
        reducer.run(GetParam(), std::vector<float>(5, 0.7f), 1102.5f);
        const dsp::RateReducerState before = reducer.state;
        const auto output = reducer.run(GetParam(), std::vector<float>(4, -0.7f), rate);
        EXPECT_TRUE(sameBits(output, {0.0f, 0.0f, 0.0f, 0.0f})) << rate;
        EXPECT_EQ(std::memcmp(&before, &reducer.state, sizeof before), 0) << rate;
    }
}

TEST_P(BothRoutines, UnknownQuantModeLeavesTheOutputUntouched) {
    Reducer reducer;
    reducer.quantMode = 3;
    const auto output = reducer.run(GetParam(), std::vector<float>(4, 0.5f), 1102.5f, 0.8f);
    EXPECT_TRUE(sameBits(output, std::vector<float>(4, SENTINEL)));
    EXPECT_EQ(reducer.state.quantizer.lastBits, 0.8f) << "the quantizer is still configured";
}

TEST_P(BothRoutines, OneCallEqualsTwoCallsWithTheSameControls) {
    for (int16_t mode = 0; mode < 3; ++mode) {
        std::vector<float> input(300);
        for (size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<float>(std::sin(0.05 * double(i)) * 0.9);
        }
        Reducer whole, split;
        whole.quantMode = split.quantMode = mode;
        std::vector<float> one(input.size(), SENTINEL), two(input.size(), SENTINEL);
        whole.runInto(GetParam(), input, one, 397.3f, 0.53f, 0, 300);
        split.runInto(GetParam(), input, two, 397.3f, 0.53f, 0, 137);
        split.runInto(GetParam(), input, two, 397.3f, 0.53f, 137, 163);
        EXPECT_TRUE(sameBits(one, two)) << "mode " << mode;
        EXPECT_EQ(std::memcmp(&whole.state, &split.state, sizeof whole.state), 0);
    }
}

TEST_P(BothRoutines, WritesOnlyInsideTheBlock) {
    Reducer reducer;
    const std::vector<float> input(16, 0.25f);
    std::vector<float> output(16, SENTINEL);
    reducer.runInto(GetParam(), input, output, 1000.0f, 0.4f, 5, 7);
    for (int i = 0; i < 16; ++i) {
        const bool inside = i >= 5 && i < 12;
        EXPECT_EQ(floatBits(output[i]) == floatBits(SENTINEL), !inside) << i;
    }
}

TEST_P(BothRoutines, ZeroCountAtTheBufferEndReadsAndChangesNothing) {
    // The host guarantees its buffers only for [offset, offset + count): with count 0 at the
    // end of a buffer, even the control sample at offset lies outside it.
    Reducer reducer;
    reducer.run(GetParam(), std::vector<float>(5, 0.7f), 1102.5f);
    const dsp::RateReducerState before = reducer.state;
    std::vector<float> buffer(4, 1.0f);
    const dsp::ReducerStreams streams{buffer.data(), buffer.data(), buffer.data(), buffer.data()};
    // ASan sees any read of buffer[4].
    if (GetParam() == Routine::Step) {
        dsp::processStep(reducer.state, streams, SAMPLE_RATE, 0, 4, 0);
    } else {
        dsp::processLinear(reducer.state, streams, SAMPLE_RATE, 0, 4, 0);
    }
    EXPECT_EQ(std::memcmp(&before, &reducer.state, sizeof before), 0);
}

INSTANTIATE_TEST_SUITE_P(Routines, BothRoutines, ::testing::Values(Routine::Step, Routine::Linear),
                         [](const auto& param) {
                             return param.param == Routine::Step ? "Step" : "Linear";
                         });

TEST(RateReducer, StepAndLinearShareThePhaseAndHeldSample) {
    Reducer reducer;
    reducer.run(Routine::Step, ramp(6, 1.0f, 1.0f), 1102.5f);
    EXPECT_EQ(reducer.state.heldValue, 5.0f);
    EXPECT_EQ(reducer.state.holdPhase, 2.0f);
    // Linear picks up the phase: its next take is two samples on.
    const auto output = reducer.run(Routine::Linear, std::vector<float>(4, 9.0f), 1102.5f);
    EXPECT_EQ(reducer.state.previousHeld, 5.0f);
    EXPECT_EQ(reducer.state.heldValue, 9.0f);
    EXPECT_TRUE(sameBits(output[2], 5.0f));
}

TEST(RateReducer, FirstLinearCallAfterResetReaimsToZero) {
    Reducer reducer;
    reducer.run(Routine::Linear, std::vector<float>(1, 0.5f), 1000.0f);
    EXPECT_TRUE(sameBits(reducer.state.rampStep, 0.0f));
    EXPECT_EQ(reducer.state.lastRate, 10000.0f);
}

TEST(RateReducer, PhaseStopsGrowingAtTwoToTheTwentyFour) {
    Reducer reducer;
    reducer.state.holdPhase = 16777216.0f;
    reducer.run(Routine::Step, std::vector<float>(3, 1.0f), 0.0001f);  // step far above 2^24
    EXPECT_EQ(reducer.state.holdPhase, 16777216.0f);
    EXPECT_EQ(reducer.state.heldValue, 0.0f);
}

}  // namespace
}  // namespace grindlet::test

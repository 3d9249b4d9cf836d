// The rate reducer's sample sequences, its copy and silence paths, and its state across blocks.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dsp/rate_reducer.h"
#include "host/sample_checks.h"
#include "tests/fast_vs_reference.h"
#include "tests/float_bits.h"
#include "tests/taken_range.h"

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

// Copied, the block leaves the reducer as one that took every sample: the last one held, taken
// a sample ago, the ramp at rest on it.
TEST_P(BothRoutines, UnreducedUnquantizedBlockIsCopiedBitForBit) {
    Reducer reducer;
    reducer.run(GetParam(), std::vector<float>(5, 0.7f), 1102.5f);  // leave some state
    dsp::RateReducerState expected = reducer.state;
    const std::vector<float> input = {-0.0f, 1e-45f, NAN_F, -3.5f, 1e38f};
    const auto output = reducer.run(GetParam(), input, 4410.0f);
    EXPECT_TRUE(sameBits(output, input));
    expected.holdPhase = 1.0f;
    expected.heldValue = expected.previousHeld = expected.rampValue = 1e38f;
    expected.rampStep = 0.0f;
    expected.quantizer.lastBits = BITS_OFF;
    EXPECT_EQ(test::firstDifference(expected, reducer.state), nullptr);
}

// Where the rate falls below the sample rate, the output goes on from the last sample heard:
// no stale held sample, no silence of a fresh start, in either routine.
TEST_P(BothRoutines, LeavingTheCopyHoldsTheLastSampleHeard) {
    for (const bool fresh : {true, false}) {
        Reducer reducer;
        if (!fresh) reducer.run(GetParam(), std::vector<float>(7, -0.9f), 1102.5f);
        reducer.run(GetParam(), ramp(12, 0.05f, 0.05f), 4410.0f);  // copied: ends at 0.6
        const auto output = reducer.run(GetParam(), std::vector<float>(12, 0.25f), 400.0f);
        for (int i = 0; i < 10; ++i)
            EXPECT_TRUE(sameBits(output[i], 0.6f)) << (fresh ? "fresh, " : "") << "frame " << i;
        EXPECT_TRUE(sameBits(output[11], GetParam() == Routine::Step ? 0.25f : 0.6f))
            << "the first take, eleven frames on";
    }
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
        EXPECT_EQ(test::firstDifference(whole.state, split.state), nullptr);
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

// Where the takes of a Step block are known beforehand, quantizing those alone gives the
// block's bits and state: random phases (up to 2^24), rates (up to and past the sample rate),
// bits, modes and blocks, with special values in the input.
TEST(RateReducer, KnownTakesGiveTheBitsAndStateOfAStepBlock) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float specials[] = {0.0f, -0.0f, NAN_F, INFINITY, -INFINITY, 1e-40f, -1.0f, 1.0f};
    int known = 0;
    for (int round = 0; round < 3000; ++round) {
        Reducer reducer;
        reducer.quantMode = static_cast<int16_t>(round % 3);
        dsp::RateReducerState& state = reducer.state;
        const float phases[] = {0.0f, unit(random) * 8.0f, unit(random) * 3000.0f, 16777216.0f};
        state.holdPhase = phases[round % 4];
        state.heldValue = unit(random) - 0.5f;
        // (441 and 630: whole steps of 10 and 7 frames, where the phase after a take repeats.)
        const float rates[] = {
            unit(random) * 4410.0f, 4409.99f, 4410.0f, 0.0001f, 800.0f, -5.0f, 441.0f, 630.0f};
        const float rateValue = rates[(round / 4) % 8];
        const float bits = (round % 5 == 0) ? BITS_OFF : unit(random) * 2.4f;
        const auto count = static_cast<int32_t>(random() % (dsp::MOST_KNOWN_TAKES_FRAMES + 1));
        std::vector<float> input(size_t(count) + 1);
        for (float& x : input)
            x = random() % 16 == 0 ? specials[random() % 8] : unit(random) * 2.0f - 1.0f;
        Reducer expected = reducer;
        std::vector<float> want(input.size(), SENTINEL), got(input.size(), SENTINEL);
        expected.runInto(Routine::Step, input, want, rateValue, bits, 0, count);

        int32_t takes[dsp::MOST_KNOWN_TAKES_FRAMES], holds[dsp::MOST_KNOWN_TAKES_FRAMES];
        dsp::KnownTakes found{};
        if (!dsp::findStepTakes(state, rateValue, SAMPLE_RATE, count, takes, holds, found)) {
            EXPECT_FALSE(rateValue * dsp::RATE_PER_STREAM_UNIT < SAMPLE_RATE && rateValue > 0.0f);
            continue;
        }
        // The takes and holds themselves, against the phase walked frame by frame.
        const float step = SAMPLE_RATE / (dsp::RATE_PER_STREAM_UNIT * rateValue);
        float phase = state.holdPhase;
        int32_t taken = 0;
        for (int32_t i = 0; i < count; ++i) {
            const bool take = phase >= step;
            phase = (take ? phase - step : phase) + 1.0f;
            if (take) {
                ASSERT_EQ(found.takes[taken++], i) << "round " << round;
            }
            ASSERT_EQ(found.holds[i], taken) << "round " << round << ", frame " << i;
        }
        ASSERT_EQ(found.takeCount, taken) << "round " << round;
        ASSERT_TRUE(sameBits(found.endPhase, phase)) << "round " << round;
        const dsp::ReducerStreams streams{input.data(), &bits, &rateValue, got.data()};
        ASSERT_TRUE(
            dsp::processStepTaken(state, streams, SAMPLE_RATE, reducer.quantMode, count, found));
        ++known;
        EXPECT_TRUE(sameBits(got, want)) << "round " << round;
        const dsp::RateReducerState& a = state;
        const dsp::RateReducerState& b = expected.state;
        EXPECT_TRUE(sameBits(a.holdPhase, b.holdPhase) && sameBits(a.heldValue, b.heldValue) &&
                    sameBits(a.rampValue, b.rampValue) && sameBits(a.rampStep, b.rampStep))
            << "round " << round;
    }
    EXPECT_GT(known, 1500);
}

// ---- the ramp never thrown beyond the signal ------------------------------------------------

float largestMagnitude(const std::vector<float>& v, size_t from = 0) {
    float largest = 0.0f;
    for (size_t i = from; i < v.size(); ++i) largest = std::max(largest, std::fabs(v[i]));
    return largest;
}

// Automation raises the rate just before a take and the call ends right after it: the re-aim
// divides by a tiny distance, and the next call used to start from a ramp value 25 units out.
TEST(RateReducer, LinearRateRiseJustBeforeATakeStaysWithinTheSignal) {
    const auto input = sineSignal(300, 0.9, 1000.0);
    std::vector<float> output(input.size(), SENTINEL);
    Reducer reducer;
    reducer.quantMode = dsp::QUANT_MODE_ROUND;
    constexpr float BITS_32 = 3.2f;  // quantization off
    reducer.runInto(Routine::Linear, input, output, 1628.0f, BITS_32, 0, 62);
    reducer.runInto(Routine::Linear, input, output, 1832.0f, BITS_32, 62, 1);
    EXPECT_TRUE(sameBits(reducer.state.rampValue, reducer.state.heldValue))
        << "the ramp stops at its target when the call ends";
    reducer.runInto(Routine::Linear, input, output, 27.9f, BITS_32, 63, 237);
    EXPECT_LE(largestMagnitude(output), largestMagnitude(input)) << "sample 63: " << output[63];
}

// "Step" replaces the output; "Linear" then resumes from where the output stands, not with the
// slope of a ramp whose samples "Step" has since replaced.
TEST(RateReducer, LinearAfterStepStartsWhereTheOutputStands) {
    Reducer reducer;
    reducer.run(Routine::Linear, std::vector<float>(6, 1.0f), 1102.5f);  // ramp 0.5, step 0.25
    EXPECT_TRUE(sameBits(reducer.run(Routine::Step, std::vector<float>(4, 5.0f), 1102.5f),
                         {1.0f, 1.0f, 5.0f, 5.0f}));
    EXPECT_TRUE(sameBits(reducer.state.rampValue, 5.0f));
    EXPECT_TRUE(sameBits(reducer.state.rampStep, 0.0f));
    EXPECT_TRUE(sameBits(reducer.run(Routine::Linear, std::vector<float>(4, 5.0f), 1102.5f),
                         {5.0f, 5.0f, 5.0f, 5.0f}));
}

TEST(RateReducer, StepWithoutATakeLeavesTheRampAlone) {
    Reducer reducer;
    reducer.run(Routine::Linear, std::vector<float>(6, 1.0f), 1102.5f);
    reducer.run(Routine::Step, std::vector<float>(1, 5.0f), 1102.5f);  // phase 2 -> 3: no take
    EXPECT_TRUE(sameBits(reducer.state.rampValue, 0.5f));
    EXPECT_TRUE(sameBits(reducer.state.rampStep, 0.25f));
}

// The stop at the target, at every sample, is for ramps that ran past it: one still on its way,
// one heading away from heldValue after a rate rise, NaN states and blocks without a loop are
// left alone.
TEST(RateReducer, RampStopsOnlyWhenItRanPastItsTarget) {
    struct Case {
        const char* what;
        float rampValue, rampStep, heldValue;
        int16_t quantMode;
        float rateValue;
        float expectedRamp;
    };
    const Case cases[] = {
        {"rising, past", 2.0f, 0.5f, 1.0f, 0, 1000.0f, 1.0f},
        {"falling, past", -2.0f, -0.5f, -1.0f, 0, 1000.0f, -1.0f},
        {"rising, short of it", 0.25f, 0.125f, 1.0f, 0, 1000.0f, 0.25f},
        {"falling, short of it", 0.5f, -0.125f, -1.0f, 0, 1000.0f, 0.5f},
        {"flat", 2.0f, 0.0f, 1.0f, 0, 1000.0f, 2.0f},
        {"not a number", NAN_F, 1.0f, 1.0f, 0, 1000.0f, NAN_F},
        {"unknown Q.Mode", 2.0f, 0.5f, 1.0f, 3, 1000.0f, 2.0f},
        {"silent block", 2.0f, 0.5f, 1.0f, 0, 0.0f, 2.0f},
    };
    for (const auto& c : cases) {
        Reducer reducer;
        reducer.quantMode = c.quantMode;
        reducer.state.lastRate = c.rateValue * 10.0f;  // no re-aim
        reducer.state.holdPhase = 1.0f;                // no take in the one sample
        reducer.state.rampValue = c.rampValue - c.rampStep;
        reducer.state.rampStep = c.rampStep;
        reducer.state.heldValue = c.heldValue;
        reducer.run(Routine::Linear, {0.0f}, c.rateValue);
        if (c.quantMode == 3 || c.rateValue == 0.0f) reducer.state.rampValue += c.rampStep;
        EXPECT_TRUE(sameBits(reducer.state.rampValue, c.expectedRamp)) << c.what;
    }
}

// With steady controls a stream's bits do not depend on how a host cuts it into calls: the ramp
// stops at its target sample by sample, not where a call ends (a slow rate, fine bits and
// noise once gave a different frame 52,275 in one-frame calls than in 512-frame ones).
TEST(RateReducer, AnySplitIntoCallsGivesTheSameBits) {
    constexpr float RATE = 96000.0f;
    constexpr int32_t LENGTH = 60000;
    std::mt19937 random(5);
    std::vector<float> input(LENGTH);
    for (auto& x : input) x = 0.5f * (float(random()) / 2147483648.0f - 1.0f);
    struct Case {
        Routine routine;
        int16_t quantMode;
        float bits, rateValue;
    };
    const Case cases[] = {
        {Routine::Linear, dsp::QUANT_MODE_FLOOR, 1.5589f, 2.571f},
        {Routine::Linear, dsp::QUANT_MODE_ROUND, 3.2f, 55.5f},
        {Routine::Linear, dsp::QUANT_MODE_INSIDE, 0.8f, 441.0f},
        {Routine::Step, dsp::QUANT_MODE_FLOOR, 1.5589f, 2.571f},
    };
    for (const auto& c : cases) {
        std::vector<float> whole;
        for (const int32_t calls : {512, 1, 2, 3, 7, 64, 1000}) {
            dsp::RateReducerState state{};
            dsp::resetRateReducer(state, RATE);
            std::vector<float> output(LENGTH, SENTINEL);
            for (int32_t at = 0; at < LENGTH; at += calls) {
                const int32_t count = std::min(calls, LENGTH - at);
                const float controls[2] = {c.bits, c.rateValue};
                const dsp::ReducerStreams streams{input.data(), &controls[0] - at,
                                                  &controls[1] - at, output.data()};
                (c.routine == Routine::Linear ? dsp::processLinear : dsp::processStep)(
                    state, streams, RATE, c.quantMode, at, count);
            }
            if (whole.empty()) {
                whole = output;
                continue;
            }
            const auto firstDiffering =
                std::mismatch(whole.begin(), whole.end(), output.begin(),
                              [](float a, float b) { return floatBits(a) == floatBits(b); });
            EXPECT_EQ(firstDiffering.first, whole.end())
                << "calls of " << calls << " frames, bits " << c.bits << ": frame "
                << (firstDiffering.first - whole.begin());
        }
    }
}

// Random automation of every control and of the routine, as a hostile host would drive it:
// every output lies within the samples taken so far, after quantization.
TEST(RateReducer, AnyAutomationKeepsTheOutputWithinTheTakenSamples) {
    std::mt19937 random(19);
    const auto uniform = [&](double low, double high) {
        return low + (high - low) * (double(random()) / 4294967296.0);
    };
    const auto below = [&](uint32_t n) { return static_cast<uint32_t>(random()) % n; };
    constexpr int RUNS = 2000, LENGTH = 4000;
    std::vector<float> input(LENGTH), output(LENGTH);
    float worst = 0.0f;
    for (int run = 0; run < RUNS; ++run) {
        const float sampleRate = static_cast<float>(
            below(4) == 0 ? 44100.0 : std::exp(uniform(std::log(1000.0), std::log(192000.0))));
        dsp::RateReducerState state{};
        dsp::resetRateReducer(state, sampleRate);
        const double amplitude = below(8) == 0 ? uniform(0.0, 1000.0) : uniform(0.0, 1.0);
        const double hertz = uniform(20.0, 20000.0);
        for (int i = 0; i < LENGTH; ++i) {
            input[i] =
                static_cast<float>(below(3) == 0 ? amplitude * uniform(-1.0, 1.0)
                                                 : amplitude * sineOfTurns(hertz * i / sampleRate));
        }
        std::fill(output.begin(), output.end(), sentinel());
        TakenRange range;
        // Half the runs switch routines at a steady rate, where no re-aim hides a stale ramp.
        const bool steadyRate = below(2) == 0;
        const auto pickRate = [&] {
            return static_cast<float>(
                below(10) == 0 ? (below(2) ? 0.0 : sampleRate)
                               : std::exp(uniform(std::log(20.0), std::log(1.1 * sampleRate))));
        };
        const float runRate = pickRate();
        for (int at = 0; at < LENGTH;) {
            const int count = std::min<int>(LENGTH - at, static_cast<int>(below(301)));
            const float rateHz = steadyRate ? runRate : pickRate();
            const float rate = rateHz / 10.0f, bits = static_cast<float>(uniform(0.0, 3.2));
            const auto quantMode = static_cast<int16_t>(below(20) == 0 ? 3 : below(3));
            const bool linear = below(2) == 0;
            const float controls[2] = {bits, rate};
            const dsp::ReducerStreams streams{input.data(), &controls[0] - at, &controls[1] - at,
                                              output.data()};
            (linear ? dsp::processLinear : dsp::processStep)(state, streams, sampleRate, quantMode,
                                                             at, count);
            const float decimated = dsp::RATE_PER_STREAM_UNIT * rate;
            if (count > 0 && decimated > 0.0f) {
                if (decimated >= sampleRate && !state.quantizer.quantizeOn) {
                    range.addCopied(input.data() + at, count);  // whatever Q.Mode is
                } else if (quantMode != 3) {
                    range.addBlock(state.quantizer, quantMode, input.data() + at, count,
                                   decimated >= sampleRate ? 1.0f : sampleRate / decimated);
                }
            }
            for (int i = at; i < at + count; ++i) {
                if (floatBits(output[i]) == SENTINEL_BITS) continue;  // unknown Q.Mode
                ASSERT_TRUE(range.contains(output[i]))
                    << "run " << run << ", sample " << i << ": " << output[i] << " outside ["
                    << range.lowest() << ", " << range.highest() << "] by more than "
                    << range.allowance();
                const float beyond =
                    std::max(output[i] - range.highest(), range.lowest() - output[i]);
                if (range.highest() > range.lowest())
                    worst = std::max(worst, beyond / (range.highest() - range.lowest()));
            }
            at += count;
        }
    }
    RecordProperty("largest_overshoot_share_of_range", std::to_string(worst));
    std::printf("largest overshoot: %g of the range\n", worst);
}

}  // namespace
}  // namespace grindlet::test

// The fast sample loops against the plain reference loops: same output bits, same end state,
// for ramps on their own, for the hard cases by name, and for a million random blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dsp/fast_loops.h"
#include "dsp/quantize_block.h"
#include "dsp/rate_reducer.h"
#include "dsp/reference_loops.h"
#include "dsp/stages.h"
#include "host/sample_checks.h"
#include "tests/fast_vs_reference.h"
#include "tests/float_bits.h"
#include "tests/special_floats.h"

namespace grindlet::test {
namespace {

constexpr float SAMPLE_RATE = 44100.0f;
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();

// ---- rampRun against the sum it stands for -------------------------------------------------

struct RampCase {
    const char* what;
    float ramp;
    float rampStep;
    int32_t count;
    float target = NAN_F;  // where the ramp stops; NaN: nowhere
};

TEST(FastRamp, EqualsOneRoundedAdditionPerSampleStoppedAtItsTarget) {
    const RampCase cases[] = {
        {"constant-rising", 0.25f, 1e-4f, 300},
        {"crosses-binades-upward", 0.1f, 0.0123f, 400},
        {"crosses-binades-downward", 1.9f, -0.0071f, 400},
        {"negative-toward-zero", -1.0f, 0.0031f, 700},
        {"crosses-zero", -0.5f, 0.00390625f, 300},
        {"tie-every-addition", 1.0f, 5.9604645e-8f, 64},  // half a place of [1, 2)
        {"tie-odd-start", 1.0000001f, 5.9604645e-8f, 64},
        {"tie-below-one", 0.75f, -2.9802322e-8f, 64},
        {"step-below-a-place", 0.5f, 1e-12f, 64},
        {"zero-step", -0.3f, 0.0f, 40},
        {"negative-zero-step", 0.3f, -0.0f, 40},
        {"from-zero", 0.0f, 1e-3f, 40},
        {"from-negative-zero", -0.0f, -1e-3f, 40},
        {"subnormal", 1e-40f, 1e-41f, 40},
        {"to-infinity", 3e38f, 1e37f, 40},
        {"infinite", INF, 1.0f, 40},
        {"not-a-number-step", 0.5f, NAN_F, 40},
        {"huge-step", 0.5f, 1e30f, 40},
        {"tiny-count", 0.5f, 0.1f, 7},
        {"top-of-binade", 1.9999999f, 1.1920929e-7f, 40},
        {"power-of-two-start-down", 2.0f, -0.001f, 40},
        // Stopped where a rounding or a steep slope would carry it past its target.
        {"stops-rising-mid-stretch", 0.25f, 1e-4f, 300, 0.26f},
        {"stops-falling-mid-stretch", 1.9f, -0.0071f, 400, 1.0f},
        {"stops-across-zero", -0.5f, 0.00390625f, 300, 0.1f},
        {"stops-at-negative-zero", 0.3f, -0.01f, 64, -0.0f},
        {"stops-at-once", 0.5f, 1e30f, 40, 0.75f},
        {"target-behind-it", 0.5f, 0.001f, 40, 0.25f},
        {"target-at-its-start", 0.5f, -0.001f, 40, 0.5f},
    };
    for (const auto& c : cases) {
        std::vector<float> expected(c.count), actual(c.count + 1, sentinel());
        float ramp = c.ramp;
        for (int32_t i = 0; i < c.count; ++i) {
            expected[i] = ramp;
            const float next = dsp::addInOrder(ramp, c.rampStep);
            const bool past =
                (c.rampStep > 0.0f && next > c.target) || (c.rampStep < 0.0f && next < c.target);
            ramp = past ? c.target : next;
        }
        const float end = dsp::fast::rampRun(actual.data(), c.count, c.ramp, c.rampStep, c.target);
        EXPECT_TRUE(sameBits(end, ramp)) << c.what;
        EXPECT_EQ(floatBits(actual[c.count]), SENTINEL_BITS) << c.what;
        actual.pop_back();
        EXPECT_TRUE(sameBits(actual, expected)) << c.what;
    }
}

TEST(FastQuantizer, BlocksEqualTheSampleQuantizerOnRandomBitPatterns) {
    std::mt19937 random(7);
    std::vector<float> input(1027), expected(1027), actual(1027);
    for (float bits : {1.6f, 0.8f, 0.2f, 0.1f, 0.05f, 0.0f, -0.1f, 2.3f, 1.65f}) {
        dsp::QuantizerState q{};
        q.lastBits = dsp::LAST_BITS_AT_RESET;
        dsp::configureQuantizer(q, bits);
        for (int round = 0; round < 20; ++round) {
            for (auto& x : input) {
                const auto word = static_cast<uint32_t>(random());
                x = round % 2 ? floatFromBits(word)
                              : std::ldexp(float(word) / 4e9f - 0.5f, round % 7 - 3);
            }
            for (int16_t mode :
                 {dsp::QUANT_MODE_FLOOR, dsp::QUANT_MODE_ROUND, dsp::QUANT_MODE_INSIDE}) {
                for (size_t i = 0; i < input.size(); ++i)
                    expected[i] = dsp::quantizeSample(q, mode, input[i]);
                switch (mode) {
                    case dsp::QUANT_MODE_FLOOR:
                        dsp::quantizeBlock<dsp::QUANT_MODE_FLOOR>(q, input.data(), actual.data(),
                                                                  1027);
                        break;
                    case dsp::QUANT_MODE_ROUND:
                        dsp::quantizeBlock<dsp::QUANT_MODE_ROUND>(q, input.data(), actual.data(),
                                                                  1027);
                        break;
                    default:
                        dsp::quantizeBlock<dsp::QUANT_MODE_INSIDE>(q, input.data(), actual.data(),
                                                                   1027);
                        break;
                }
                ASSERT_TRUE(sameBits(actual, expected)) << "bits " << bits << ", mode " << mode;
            }
        }
    }
}

// ---- whole blocks: fast against reference ---------------------------------------------------

enum class Routine { Step, Linear };

// The shared harness's verdict on one block, as a test assertion.
struct Twin {
    TwinReducer reducer{SAMPLE_RATE};
    ::testing::AssertionResult run(Routine routine, int16_t mode, const std::vector<float>& input,
                                   float bits, float rate, int32_t offset, int32_t count,
                                   int32_t split, bool inPlace) {
        const TwinBlock block{
            routine == Routine::Linear, mode, bits, rate, offset, count, split, inPlace};
        if (const char* differs = reducer.run(block, input))
            return ::testing::AssertionFailure() << differs << " differs";
        return ::testing::AssertionSuccess();
    }
};

std::string describe(Routine routine, int16_t mode, float bits, float rate, int32_t count) {
    char text[160];
    std::snprintf(text, sizeof text, "%s mode %d bits %.9g rate %.9g count %d",
                  routine == Routine::Step ? "Step" : "Linear", mode, bits, rate, count);
    return text;
}

// Hold steps where the phase arithmetic is hardest: just under and at powers of two, fractional,
// one, barely above one, and beyond the largest step the phase still reaches.
TEST(FastLoops, HardHoldStepsAcrossManyBlocks) {
    const float rates[] = {4410.0f,    4409.99f, 1102.5f, 137.8125f, 137.81252f, 1764.0f, 400.0f,
                           501.13636f, 4409.5f,  2940.0f, 0.00001f,  1e-30f,     441.0f,  3.0f};
    for (Routine routine : {Routine::Step, Routine::Linear}) {
        for (int16_t mode :
             {dsp::QUANT_MODE_FLOOR, dsp::QUANT_MODE_ROUND, dsp::QUANT_MODE_INSIDE}) {
            for (float bits : {0.8f, 2.4f}) {
                for (float rate : rates) {
                    Twin twin;
                    std::vector<float> input(300);
                    for (size_t i = 0; i < input.size(); ++i)
                        input[i] = std::sin(0.05f * float(i)) * 0.9f;
                    for (int block = 0; block < 40; ++block) {
                        const auto count = static_cast<int32_t>(1 + (block * 37) % 299);
                        ASSERT_TRUE(twin.run(routine, mode, input, bits, rate, 0, count, count / 3,
                                             block % 5 == 0))
                            << describe(routine, mode, bits, rate, count) << ", block " << block;
                    }
                }
            }
        }
    }
}

// A host's small periods at whole holds: every block after the first two starts from what the
// last one remembered of its periodic tail. Blocks shorter than a hold (no take in them), the two
// routines taking turns on one phase, "Bits" changing under a remembered tail, a reopen at
// another sample rate, in place and not.
TEST(FastLoops, SmallBlocksContinueTheLastBlocksTail) {
    struct Stream {
        float sampleRate;
        float rate;     // whole holds: 4, 6, 8, 88 (longer than a block), and 32
        int32_t count;  // frames per call
    };
    const Stream streams[] = {{44100.0f, 1102.5f, 64},   {48000.0f, 800.0f, 64},
                              {48000.0f, 600.0f, 37},    {44100.0f, 50.113636f, 64},
                              {44100.0f, 137.8125f, 16}, {48000.0f, 800.0f, 1}};
    std::vector<float> input(400);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = std::sin(0.07f * float(i)) * 0.8f + (i % 13 == 0 ? 0.1f : 0.0f);
    for (const Stream& s : streams) {
        Twin twin;
        twin.reducer.reopen(s.sampleRate);
        for (int block = 0; block < 300; ++block) {
            const Routine routine = (block / 40) % 2 == 0 ? Routine::Step : Routine::Linear;
            const float bits = block >= 150 && block < 200 ? 1.2f : 0.8f;
            const int16_t mode = block % 97 < 60 ? dsp::QUANT_MODE_ROUND : dsp::QUANT_MODE_FLOOR;
            if (block == 250) twin.reducer.reopen(s.sampleRate * 2.0f);  // the same step bits later
            const float rate = block >= 250 ? s.rate * 2.0f : s.rate;
            ASSERT_TRUE(
                twin.run(routine, mode, input, bits, rate, block % 3, s.count, 0, block % 4 == 1))
                << describe(routine, mode, bits, rate, s.count) << ", block " << block
                << ", sample rate " << s.sampleRate;
        }
    }
}

// A new rate every block: the phase is left off the new step's grid again and again.
TEST(FastLoops, RateChangingEveryBlock) {
    std::mt19937 random(11);
    for (Routine routine : {Routine::Step, Routine::Linear}) {
        Twin twin;
        std::vector<float> input(256);
        for (auto& x : input) x = float(static_cast<uint32_t>(random())) / 2e9f - 1.0f;
        for (int block = 0; block < 4000; ++block) {
            const float rate =
                4410.0f / (1.0f + float(static_cast<uint32_t>(random()) % 100000) / 997.0f);
            ASSERT_TRUE(
                twin.run(routine, dsp::QUANT_MODE_ROUND, input, 0.6f, rate, 0, 256, 0, false))
                << describe(routine, 1, 0.6f, rate, 256) << ", block " << block;
        }
    }
}

// ---- a million random blocks ---------------------------------------------------------------

struct Generator {
    std::mt19937 random;
    explicit Generator(uint32_t seed) : random(seed) {}

    uint32_t word() { return static_cast<uint32_t>(random()); }
    uint32_t below(uint32_t n) { return word() % n; }
    float uniform(float low, float high) {
        return low + (high - low) * float(word()) / 4294967296.0f;
    }

    float special() {
        static constexpr float ORDINARY[] = {1.0f, -1.0f, 0.5f, -0.5f, -3e38f};
        static constexpr auto values = withSpecialFloats(ORDINARY);
        const uint32_t pick = below(static_cast<uint32_t>(values.size()) + 1);
        return pick < values.size() ? values[pick] : floatFromBits(word());
    }

    float bits() {
        switch (below(8)) {
            case 0:
                return special();
            case 1:
                return uniform(-0.5f, 3.0f);
            case 2:
                return 2.4f;
            default: {
                const float values[] = {1.6f, 0.8f, 0.2f,  0.1f, 0.05f,
                                        0.0f, 2.3f, 1.65f, 0.4f, 0.12f};
                return values[below(10)];
            }
        }
    }

    float rate() {
        switch (below(10)) {
            case 0:
                return special();
            case 1:
                return uniform(-10.0f, 5000.0f);
            case 2:
                return 4410.0f;
            case 3:
                return std::ldexp(uniform(1.0f, 2.0f), static_cast<int>(below(20)) - 8);
            default: {
                // Hold steps of every kind: whole, fractional, just under a power of two.
                const float steps[] = {1.0f,   1.0001f, 1.5f,       2.0f,  2.5f,
                                       4.0f,   11.025f, 31.999998f, 32.0f, 88.0f,
                                       100.3f, 1000.0f, 65536.5f};
                return SAMPLE_RATE / steps[below(13)] / 10.0f;
            }
        }
    }

    void signal(std::vector<float>& input) {
        const uint32_t kind = below(6);
        const float frequency = uniform(0.001f, 1.0f), gain = uniform(0.0f, 2.0f);
        for (size_t i = 0; i < input.size(); ++i) {
            switch (kind) {
                case 0:
                    input[i] = gain * std::sin(frequency * float(i));
                    break;
                case 1:
                    input[i] = floatFromBits(word());
                    break;
                case 2:
                    input[i] = below(4) == 0 ? special() : uniform(-1.0f, 1.0f);
                    break;
                case 3:
                    input[i] = uniform(-1e-38f, 1e-38f);
                    break;
                case 4:
                    input[i] = float(int(below(9)) - 4) * 0.125f;
                    break;
                default:
                    input[i] = uniform(-1.0f, 1.0f);
                    break;
            }
        }
    }
};

// The filters in the lanes of a vector against the plain passes: the anti-aliasing's two
// sections on one channel and on two, the tone on two, and the anti-aliasing of one block beside
// the tone of another. Every frame's bits and the states after every call, for cutoffs over the
// whole range, blocks from empty to a chunk, in place and not, and inputs with silence, the
// special floats and loud values in them, or falling silent (where a pass without the silence
// check must be undone).
TEST(FastFilters, SectionsInLanesEqualThePlainPasses) {
    std::mt19937 random(20261209);
    std::uniform_real_distribution<double> share(1e-4, 0.45);
    std::normal_distribution<float> sample(0.0f, 0.5f);
    using dsp::FilterSection;
    using dsp::SectionState;
    const auto signal = [&](int32_t frames, int call) {
        std::vector<float> v(static_cast<size_t>(frames));
        for (size_t i = 0; i < v.size(); ++i) {
            const uint32_t kind = random() % 16;
            const bool silent = call % 5 == 4 || (call % 5 == 3 && i >= v.size() / 3);
            v[i] = silent      ? 0.0f
                   : kind == 0 ? SPECIAL_FLOATS[random() % std::size(SPECIAL_FLOATS)]
                   : kind == 1 ? sample(random) * 1e-15f
                   : kind == 2 ? 0.0f
                   : kind == 3 ? sample(random) * 1e30f
                               : sample(random);
        }
        return v;
    };
    const auto sameStates = [](const SectionState* a, const SectionState* b, int count) {
        for (int k = 0; k < count; ++k) {
            if (!sameBits(a[k].s1, b[k].s1) || !sameBits(a[k].s2, b[k].s2)) return false;
        }
        return true;
    };
    // [0, 1]: one channel's sections; [2, 3] and [4, 5]: two channels'; [6, 7]: the tone's.
    SectionState plain[8] = {}, lanes[8] = {};
    for (int call = 0; call < 1000; ++call) {
        const double cutoff = share(random);
        FilterSection sections[2];
        dsp::antialiasSections(cutoff, sections);
        const FilterSection tone = dsp::toneSection(share(random));
        // Blocks that fall silent are long: long enough for most filters to decay to silence.
        const uint32_t most = call % 5 == 3 ? 257 : 70;
        const auto frames = static_cast<int32_t>(random() % most);
        const auto toneFrames = static_cast<int32_t>(random() % most);
        // The passes take clean samples: the plain ones sample by sample, the vector ones
        // cleaned a block at a time.
        const std::vector<float> rawA = signal(frames, call), rawB = signal(frames, call);
        const std::vector<float> rawTa = signal(toneFrames, call), rawTb = signal(toneFrames, call);
        const auto cleaned = [](const std::vector<float>& raw) {
            std::vector<float> v(raw.size());
            std::transform(raw.begin(), raw.end(), v.begin(), FilterSection::clean);
            return v;
        };
        const auto cleanedInBlocks = [](const std::vector<float>& raw) {
            std::vector<float> v(raw.size());
            FilterSection::cleanBlock(raw.data(), v.data(), static_cast<int32_t>(raw.size()));
            return v;
        };
        const std::vector<float> a = cleaned(rawA), b = cleaned(rawB), ta = cleaned(rawTa),
                                 tb = cleaned(rawTb);
        const std::vector<float> ca = cleanedInBlocks(rawA), cb = cleanedInBlocks(rawB),
                                 cta = cleanedInBlocks(rawTa), ctb = cleanedInBlocks(rawTb);
        const int32_t beside = std::min(frames, toneFrames);
        const bool stereo = call % 2 == 0;
        // The plain passes from a to pa; the vector passes from a to la, or in place in la.
        std::vector<float> pa(a.size()), pb(b.size()), la(a.size()), lb(b.size());
        std::vector<float> pta(ta.size()), ptb(tb.size()), lta(ta.size()), ltb(tb.size());
        const bool inPlace = random() % 4 == 0, toneInPlace = random() % 4 == 0;
        if (inPlace) {
            la = ca;
            lb = cb;
        }
        if (toneInPlace) {
            lta = cta;
            ltb = ctb;
        }
        const float* const laIn = inPlace ? la.data() : ca.data();
        const float* const lbIn = inPlace ? lb.data() : cb.data();
        const float* const ltaIn = toneInPlace ? lta.data() : cta.data();
        const float* const ltbIn = toneInPlace ? ltb.data() : ctb.data();
        // One pass of each kind, or (every third call) the anti-aliasing beside the tone.
        if (call % 3 == 0) {
            SectionState* const p[2] = {plain + (stereo ? 2 : 0), plain + 4};
            SectionState* const l[2] = {lanes + (stereo ? 2 : 0), lanes + 4};
            const float* const pIn[2] = {a.data(), b.data()};
            float* const pOut[2] = {pa.data(), pb.data()};
            const float* const lIn[2] = {laIn, lbIn};
            float* const lOut[2] = {la.data(), lb.data()};
            const dsp::ToneBeside lt{
                tone, {lanes + 6, lanes + 7}, {ltaIn, ltbIn}, {lta.data(), ltb.data()}};
            const int32_t count = stereo ? 2 : 1;
            for (int32_t c = 0; c < count; ++c)
                FilterSection::runPairPlain(sections, p[c], pIn[c], pOut[c], beside);
            if (stereo) {
                tone.runTwoPlain(plain[6], plain[7], ta.data(), tb.data(), pta.data(), ptb.data(),
                                 beside);
            } else {
                tone.run(plain[6], ta.data(), pta.data(), beside);
            }
            dsp::runPairsBeside(sections, l, lIn, lOut, count, lt, beside);
            // What a pass did not reach is compared as it was.
            std::copy(pa.begin() + beside, pa.end(), la.begin() + beside);
            std::copy(pb.begin() + beside, pb.end(), lb.begin() + beside);
            std::copy(pta.begin() + beside, pta.end(), lta.begin() + beside);
            std::copy(ptb.begin() + beside, ptb.end(), ltb.begin() + beside);
            if (!stereo) ltb = ptb;  // mono has one tone
        } else {
            if (stereo) {
                FilterSection::runPairTwoPlain(sections, plain + 2, plain + 4, a.data(), b.data(),
                                               pa.data(), pb.data(), frames);
                FilterSection::runPairTwo(sections, lanes + 2, lanes + 4, laIn, lbIn, la.data(),
                                          lb.data(), frames);
            } else {
                FilterSection::runPairPlain(sections, plain, a.data(), pa.data(), frames);
                FilterSection::runPair(sections, lanes, laIn, la.data(), frames);
            }
            tone.runTwoPlain(plain[6], plain[7], ta.data(), tb.data(), pta.data(), ptb.data(),
                             toneFrames);
            tone.runTwo(lanes[6], lanes[7], ltaIn, ltbIn, lta.data(), ltb.data(), toneFrames);
        }
        if (!stereo) lb = pb;  // mono leaves b alone
        ASSERT_TRUE(sameBits(la, pa) && sameBits(lb, pb)) << "call " << call;
        ASSERT_TRUE(sameBits(lta, pta) && sameBits(ltb, ptb)) << "call " << call;
        ASSERT_TRUE(sameStates(lanes, plain, 8)) << "call " << call;
    }
}

int32_t blocksToRun() {
    if (const char* text = std::getenv("GRINDLET_DIFFERENTIAL_BLOCKS")) return std::atoi(text);
    return GRINDLET_DIFFERENTIAL_BLOCKS;
}

TEST(FastLoops, EqualTheReferenceOnRandomBlocks) {
    Generator g(20261208);
    const int32_t blocks = blocksToRun();
    constexpr int32_t BUFFER = 320;
    std::vector<float> input(BUFFER);
    Twin twin;
    float bits = 0.8f, rate = 1102.5f;
    int16_t mode = dsp::QUANT_MODE_FLOOR;
    for (int32_t block = 0; block < blocks; ++block) {
        if (g.below(64) == 0) {  // a fresh open now and then, sometimes at another rate
            const float sampleRate = g.below(4) != 0 ? SAMPLE_RATE
                                     : g.below(2)    ? g.uniform(8000.0f, 192000.0f)
                                                     : g.special();
            twin.reducer.reopen(sampleRate);
        }
        if (g.below(8) == 0) bits = g.bits();
        if (g.below(6) == 0) rate = g.rate();
        if (g.below(16) == 0) mode = static_cast<int16_t>(int(g.below(5)) - 1);
        g.signal(input);
        const auto routine = g.below(3) == 0 ? Routine::Step : Routine::Linear;
        const auto offset = static_cast<int32_t>(g.below(32));
        const auto count = static_cast<int32_t>(g.below(BUFFER - 32 + 1));
        const auto split = static_cast<int32_t>(g.below(static_cast<uint32_t>(count) + 1));
        const auto result =
            twin.run(routine, mode, input, bits, rate, offset, count, split, g.below(4) == 0);
        ASSERT_TRUE(result) << describe(routine, mode, bits, rate, count) << ", block " << block;
    }
}

}  // namespace
}  // namespace grindlet::test

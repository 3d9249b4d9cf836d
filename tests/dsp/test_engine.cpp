// The engine every front end runs: the same bits as the reducers and the level stage composed
// by hand (as each front end composed them before), for any split into calls, in place, with
// values a float cannot hold, per-block automation and sweeps; and a plugged-in crusher sees
// the blocks a host would give it.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "dsp/engine.h"
#include "dsp/portable_math.h"
#include "tests/float_bits.h"

namespace dsp = grindlet::dsp;
using grindlet::test::sameBits;

namespace {

struct Settings {
    double sampleRate = 44100.0;
    int32_t channels = 1;
    int32_t block = 512;
    double bitsFrom = 8, bitsTo = 8, rateFrom = 8000, rateTo = 8000;
    int16_t quantize = 1, mode = 0;
    double drive = 0, mix = 100, gain = 0;
};

using Planar = std::vector<std::vector<float>>;

Planar noise(int32_t channels, int64_t frames, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> sample(-1.2f, 1.2f);
    Planar audio(static_cast<size_t>(channels), std::vector<float>(size_t(frames)));
    for (auto& channel : audio)
        for (float& x : channel) x = sample(random);
    return audio;
}

// The value a control has at a block's first frame, as a sweep across the whole signal.
double sweptAt(double from, double to, int64_t start, int64_t frames) {
    const double fraction = frames > 1 ? std::min(1.0, double(start) / double(frames - 1)) : 0.0;
    return from + (to - from) * fraction;
}

// What the front ends did by hand: per block, the streams from the typed values rounded to
// single precision; per channel a reducer; the levels' gains a chunk at a time.
Planar composedByHand(const Settings& s, const Planar& in) {
    const auto frames = static_cast<int64_t>(in[0].size());
    const auto rate = static_cast<float>(s.sampleRate);
    std::vector<dsp::RateReducerState> states(in.size());
    for (auto& state : states) dsp::resetRateReducer(state, rate);
    dsp::LevelSettings levelSettings;
    levelSettings.driveDb = s.drive;
    levelSettings.mixPercent = s.mix;
    levelSettings.gainDb = s.gain;
    dsp::LevelStage levels;
    levels.reset(rate, levelSettings);
    Planar out = in;
    std::vector<float> driven(dsp::LevelStage::CHUNK), crushed(dsp::LevelStage::CHUNK);
    for (int64_t start = 0; start < frames; start += s.block) {
        const float bits =
            dsp::bitsStreamOf(static_cast<float>(sweptAt(s.bitsFrom, s.bitsTo, start, frames)));
        const float hertz =
            dsp::rateStreamOf(static_cast<float>(sweptAt(s.rateFrom, s.rateTo, start, frames)));
        const int64_t end = std::min<int64_t>(frames, start + s.block);
        for (int64_t at = start; at < end; at += dsp::LevelStage::CHUNK) {
            const auto n =
                static_cast<int32_t>(std::min<int64_t>(dsp::LevelStage::CHUNK, end - at));
            levels.advance(n);
            for (size_t c = 0; c < in.size(); ++c) {
                const float* source = in[c].data() + at;
                if (levels.drives()) {
                    levels.driveInto(source, driven.data(), n);
                    source = driven.data();
                }
                const dsp::ReducerStreams streams{source, &bits, &hertz, crushed.data()};
                dsp::processBlock(states[c], streams, rate, s.quantize, s.mode != 0, 0, n);
                levels.finish(in[c].data() + at, crushed.data(), out[c].data() + at, n);
            }
        }
    }
    return out;
}

void enter(dsp::Engine& engine, const Settings& s, int64_t frames) {
    engine.setBlockFrames(s.block);
    engine.sweep(dsp::CONTROL_BITS, s.bitsFrom, s.bitsTo, frames);
    engine.sweep(dsp::CONTROL_RATE, s.rateFrom, s.rateTo, frames);
    engine.set(dsp::CONTROL_QUANTIZE, s.quantize);
    engine.set(dsp::CONTROL_MODE, s.mode);
    engine.set(dsp::CONTROL_DRIVE, s.drive);
    engine.set(dsp::CONTROL_MIX, s.mix);
    engine.set(dsp::CONTROL_GAIN, s.gain);
}

// `in` through the engine in calls of up to `longest` frames drawn by `split` (0: one call),
// in place or not.
Planar inCalls(dsp::Engine& engine, const Planar& in, uint32_t split, int64_t longest,
               bool inPlace) {
    const auto frames = static_cast<int64_t>(in[0].size());
    Planar out = inPlace ? in : Planar(in.size(), std::vector<float>(in[0].size(), 7.0f));
    std::mt19937 random(split);
    std::uniform_int_distribution<int64_t> size(1, longest);
    for (int64_t at = 0; at < frames;) {
        const int64_t n = split == 0 ? frames : std::min(frames - at, size(random));
        std::vector<const float*> from;
        std::vector<float*> to;
        for (size_t c = 0; c < in.size(); ++c) {
            from.push_back((inPlace ? out[c].data() : in[c].data()) + at);
            to.push_back(out[c].data() + at);
        }
        engine.process(from.data(), to.data(), n);
        at += n;
    }
    return out;
}

Planar throughEngine(const Settings& s, const Planar& in, uint32_t split, bool inPlace) {
    dsp::Engine engine(s.sampleRate, s.channels);
    enter(engine, s, static_cast<int64_t>(in[0].size()));
    return inCalls(engine, in, split, 3 * int64_t{s.block}, inPlace);
}

Settings randomSettings(std::mt19937& random) {
    const auto pick = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    const auto coin = [&] { return std::uniform_int_distribution<int>(0, 1)(random) == 1; };
    Settings s;
    s.sampleRate = coin() ? 44100.0 : 48000.0;
    s.channels = coin() ? 1 : 2;
    s.block = std::uniform_int_distribution<int32_t>(1, 700)(random);
    // Values with many digits: a float holds none of them exactly.
    s.bitsFrom = pick(1, 24);
    s.bitsTo = coin() ? s.bitsFrom : pick(1, 24);
    s.rateFrom = pick(300, 30000);
    s.rateTo = coin() ? s.rateFrom : pick(300, 60000);
    s.quantize = static_cast<int16_t>(std::uniform_int_distribution<int>(0, 2)(random));
    s.mode = coin() ? 1 : 0;
    if (coin()) {
        s.drive = pick(-24, 24);
        s.mix = pick(0, 100);
        s.gain = pick(-24, 24);
    }
    return s;
}

TEST(Engine, GivesTheBitsOfTheReducersAndLevelsComposedByHandForAnySplitAndInPlace) {
    std::mt19937 random(27);
    for (int round = 0; round < 40; ++round) {
        const Settings s = randomSettings(random);
        const Planar in = noise(s.channels, 9000, 100 + round);
        const Planar expected = composedByHand(s, in);
        SCOPED_TRACE("round " + std::to_string(round) + ", block " + std::to_string(s.block) +
                     ", rate " + std::to_string(s.rateFrom));
        for (uint32_t split : {0u, 1u + round}) {
            for (bool inPlace : {false, true}) {
                const Planar out = throughEngine(s, in, split, inPlace);
                for (size_t c = 0; c < in.size(); ++c) ASSERT_TRUE(sameBits(out[c], expected[c]));
            }
        }
    }
}

TEST(Engine, AValueEntersAsAHostsControlHoldsIt) {
    // 5535.95 Hz is 5535.9501953125 on a host's control: its tenth is that number's.
    EXPECT_TRUE(sameBits(dsp::rateStreamOf(static_cast<float>(5535.95)),
                         static_cast<float>(5535.9501953125 / 10.0)));
    EXPECT_FALSE(sameBits(dsp::rateStreamOf(static_cast<float>(5535.95)),
                          static_cast<float>(5535.95 / 10.0)));
    EXPECT_TRUE(sameBits(dsp::bitsStreamOf(16.0f), 1.6f));
    EXPECT_TRUE(sameBits(dsp::bitsStreamOf(23.0f), 2.3f));
    EXPECT_TRUE(sameBits(dsp::rateStreamOf(11025.0f), 1102.5f));
    dsp::Engine engine(44100.0, 1);
    engine.set(dsp::CONTROL_RATE, 5535.95);
    EXPECT_TRUE(sameBits(engine.value(dsp::CONTROL_RATE), 5535.9501953125f));
}

TEST(Engine, PerBlockAutomationTakesEffectAtTheNextCallsFirstFrame) {
    const Planar in = noise(1, 4096, 5);
    const double values[] = {4.0, 12.5, 7.25, 16.0};
    dsp::Engine engine(48000.0, 1);
    engine.set(dsp::CONTROL_RATE, 12000.0);
    Planar out = in, expected = in;
    for (int block = 0; block < 4; ++block) {
        engine.set(dsp::CONTROL_BITS, values[block]);
        const float* from = in[0].data() + block * 1024;
        float* to = out[0].data() + block * 1024;
        engine.process(&from, &to, 1024);
    }
    // By hand: each block's own value.
    dsp::RateReducerState state;
    dsp::resetRateReducer(state, 48000.0f);
    const float hertz = dsp::rateStreamOf(12000.0f);
    for (int block = 0; block < 4; ++block) {
        const float bits = dsp::bitsStreamOf(static_cast<float>(values[block]));
        const dsp::ReducerStreams streams{in[0].data() + block * 1024, &bits, &hertz,
                                          expected[0].data() + block * 1024};
        dsp::processStep(state, streams, 48000.0f, dsp::QUANT_MODE_ROUND, 0, 1024);
    }
    EXPECT_TRUE(sameBits(out[0], expected[0]));
}

TEST(Engine, SurvivesWhatAHostMaySend) {
    const Planar in = noise(2, 3000, 9);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float wild : {nan, inf, -inf, -1e30f, 1e30f, -0.0f}) {
        dsp::Engine engine(44100.0, 2);
        for (size_t c = 0; c < dsp::CONTROL_COUNT; ++c)
            engine.set(static_cast<dsp::ControlIndex>(c), wild);
        Planar out = in;
        const float* from[] = {in[0].data(), in[1].data()};
        float* to[] = {out[0].data(), out[1].data()};
        engine.process(from, to, 3000);
    }
    // A choice outside its list is its first entry; a level outside its range is clamped.
    Settings s;
    s.quantize = 0;
    s.drive = 24;
    s.mix = 100;
    const Planar expected = composedByHand(s, noise(1, 2000, 3));
    dsp::Engine engine(44100.0, 1);
    engine.setBlockFrames(512);
    engine.set(dsp::CONTROL_QUANTIZE, 7.0);
    engine.set(dsp::CONTROL_DRIVE, 99.0);
    engine.set(dsp::CONTROL_MIX, nan);
    const Planar in1 = noise(1, 2000, 3);
    Planar out(1, std::vector<float>(2000));
    const float* from = in1[0].data();
    float* to = out[0].data();
    engine.process(&from, &to, 2000);
    EXPECT_TRUE(sameBits(out[0], expected[0]));
}

// Records what the engine asks of a crusher plugged into it, and copies.
class RecordingCrusher final : public dsp::ChannelCrusher {
public:
    struct Call {
        int32_t channel, frames;
        float bits, rate;
    };
    int32_t mostFrames() const override { return 300; }
    void crush(int32_t channel, const float* in, float* out, int32_t frames,
               const dsp::CrushSettings& settings) override {
        calls.push_back({channel, frames, settings.bitsStream, settings.rateStream});
        std::copy(in, in + frames, out);
    }
    std::vector<Call> calls;
};

TEST(Engine, APluggedInCrusherGetsTheHostsBlocksWithTheirValues) {
    const Planar in = noise(2, 1000, 4);
    dsp::Engine engine(44100.0, 2);
    RecordingCrusher crusher;
    engine.plugIn(&crusher);
    engine.setBlockFrames(256);
    engine.sweep(dsp::CONTROL_BITS, 4.0, 16.0, 1000);
    Planar out(2, std::vector<float>(1000));
    const float* from[] = {in[0].data(), in[1].data()};
    float* to[] = {out[0].data(), out[1].data()};
    engine.process(from, to, 700);
    const float* fromRest[] = {in[0].data() + 700, in[1].data() + 700};
    float* toRest[] = {out[0].data() + 700, out[1].data() + 700};
    engine.process(fromRest, toRest, 300);
    // Blocks of 256 from the stream's start, cut again at the call's end; both channels each.
    const int32_t frames[] = {256, 256, 188, 68, 232};
    const int64_t starts[] = {0, 256, 512, 700, 768};
    ASSERT_EQ(crusher.calls.size(), 10u);
    for (size_t k = 0; k < 5; ++k) {
        for (int32_t channel = 0; channel < 2; ++channel) {
            const auto& call = crusher.calls[2 * k + size_t(channel)];
            EXPECT_EQ(call.channel, channel);
            EXPECT_EQ(call.frames, frames[k]);
            const int64_t blockStart = starts[k] / 256 * 256;
            EXPECT_TRUE(sameBits(call.bits, dsp::bitsStreamOf(static_cast<float>(
                                                sweptAt(4.0, 16.0, blockStart, 1000)))));
        }
    }
    for (size_t c = 0; c < 2; ++c) EXPECT_TRUE(sameBits(out[c], in[c]));
}

}  // namespace

namespace {

// Every stage on, with values a float cannot hold.
void allStages(dsp::Engine& engine, uint32_t seed) {
    engine.set(dsp::CONTROL_BITS, 7.3);
    engine.set(dsp::CONTROL_RATE, 9876.54);
    engine.set(dsp::CONTROL_ANTIALIAS, 73.3);
    engine.set(dsp::CONTROL_TONE, 3210.7);
    engine.set(dsp::CONTROL_LAW, 1);
    engine.set(dsp::CONTROL_LFO_RATE, 3.3);
    engine.set(dsp::CONTROL_LFO_DEPTH, 0.7);
    engine.set(dsp::CONTROL_LFO_SHAPE, seed % 3);
    engine.set(dsp::CONTROL_JITTER, 12.5);
    engine.set(dsp::CONTROL_DITHER, 1);
    engine.set(dsp::CONTROL_SEED, seed);
}

Planar staged(const Planar& in, uint32_t seed, uint32_t split, bool inPlace,
              dsp::ControlIndex law = dsp::CONTROL_LAW, double lawValue = 1) {
    dsp::Engine engine(48000.0, static_cast<int32_t>(in.size()));
    engine.setBlockFrames(300);
    allStages(engine, seed);
    engine.set(law, lawValue);
    engine.sweep(dsp::CONTROL_TONE, 500.0, 9000.0, static_cast<int64_t>(in[0].size()));
    return inCalls(engine, in, split, 700, inPlace);
}

TEST(EngineStages, GiveTheSameBitsForAnySplitInPlaceAndForTheSameSeed) {
    const Planar in = noise(2, 20000, 8);
    for (uint32_t seed : {0u, 1u, 2u, 16777215u}) {
        for (double law : {0.0, 1.0, 2.0}) {
            const Planar whole = staged(in, seed, 0, false, dsp::CONTROL_LAW, law);
            for (size_t c = 0; c < 2; ++c) {
                ASSERT_TRUE(sameBits(staged(in, seed, seed + 5, false, dsp::CONTROL_LAW, law)[c],
                                     whole[c]));
                ASSERT_TRUE(
                    sameBits(staged(in, seed, seed + 9, true, dsp::CONTROL_LAW, law)[c], whole[c]));
            }
        }
    }
    // Another seed, another sequence.
    EXPECT_FALSE(sameBits(staged(in, 1, 0, false)[0], staged(in, 2, 0, false)[0]));
}

// The engine's own reducers, plugged in as a crusher: the engine then works on every frame
// before them, as it does for a module.
class ReducersAsCrusher final : public dsp::ChannelCrusher {
public:
    explicit ReducersAsCrusher(float sampleRate) : rate(sampleRate) {
        for (auto& state : states) dsp::resetRateReducer(state, rate);
    }
    int32_t mostFrames() const override { return 4096; }
    void crush(int32_t channel, const float* in, float* out, int32_t frames,
               const dsp::CrushSettings& settings) override {
        const dsp::ReducerStreams streams{in, &settings.bitsStream, &settings.rateStream, out};
        dsp::processBlock(states[channel], streams, rate, settings.quantize, settings.linear, 0,
                          frames);
    }

private:
    float rate;
    dsp::RateReducerState states[2];
};

// A crusher plugged in sees every frame, and the engine runs each block's filters in turn; with
// its own reducers it compands and dithers only the frames they take, and runs a block's tone
// beside the next block's anti-aliasing (until a mix moving from 100 % blends after it).
TEST(EngineStages, CompandAndDitherOnlyWhatTheReducersTakeWithTheBitsOfEveryFrame) {
    const Planar in = noise(2, 12000, 21);
    struct Case {
        double mode, law, lfoDepth, jitter;
        double rateFrom, rateTo;  // swept across the stream
        double mixTo = 100.0;     // the mix, swept from 100 %
    };
    const Case cases[] = {
        {0, 1, 0.0, 0.0, 8000, 8000},        {1, 2, 0.0, 0.0, 3000, 11025},
        {0, 1, 2.0, 50.0, 2000, 40000},      {1, 1, 1.5, 30.0, 30000, 60000},
        {1, 0, 0.0, 0.0, 47999, 48001},      {0, 2, 0.0, 0.0, 0.0, 500},
        {0, 1, 1.0, 20.0, 8000, 8000, 40.0},
    };
    for (const Case& c : cases) {
        Planar expected, got;
        for (bool plugged : {true, false}) {
            dsp::Engine engine(48000.0, 2);
            ReducersAsCrusher crusher(48000.0f);
            if (plugged) engine.plugIn(&crusher);
            engine.setBlockFrames(100);
            allStages(engine, 77);
            engine.set(dsp::CONTROL_MODE, c.mode);
            engine.set(dsp::CONTROL_LAW, c.law);
            engine.set(dsp::CONTROL_LFO_DEPTH, c.lfoDepth);
            engine.set(dsp::CONTROL_JITTER, c.jitter);
            engine.sweep(dsp::CONTROL_RATE, c.rateFrom, c.rateTo, 12000);
            if (c.mixTo < 100.0) engine.sweep(dsp::CONTROL_MIX, 100.0, c.mixTo, 12000);
            (plugged ? expected : got) = inCalls(engine, in, 7, 700, false);
        }
        for (size_t channel = 0; channel < 2; ++channel) {
            EXPECT_TRUE(sameBits(got[channel], expected[channel]))
                << "mode " << c.mode << ", law " << c.law << ", rate " << c.rateFrom;
        }
    }
}

TEST(EngineStages, EachChannelOfAPairIsWhatAMonoEngineMakesOfIt) {
    // Without dither (its noise is the channel's own), channels share nothing but settings.
    const Planar in = noise(3, 5000, 31);
    const auto render = [](const Planar& audio) {
        dsp::Engine engine(48000.0, static_cast<int32_t>(audio.size()));
        allStages(engine, 3);
        engine.set(dsp::CONTROL_DITHER, 0);
        engine.set(dsp::CONTROL_DRIVE, 4.5);
        engine.sweep(dsp::CONTROL_TONE, 900.0, 12000.0, 5000);
        return inCalls(engine, audio, 11, 500, false);
    };
    const Planar together = render(in);
    for (size_t c = 0; c < in.size(); ++c)
        EXPECT_TRUE(sameBits(together[c], render(Planar{in[c]})[0])) << "channel " << c;
}

// At the sample rate and no other stage, a frame's output is its input's alone: after a switch
// of law the engine gives what one with that law from the start gives (3 bits: both laws
// meet the same few steps, and the expansions remembered for one law are not the other's).
TEST(EngineStages, ASwitchOfLawTakesEffectAtOnce) {
    const Planar in = noise(1, 800, 8);
    const auto render = [&in](int firstLaw) {
        dsp::Engine engine(48000.0, 1);
        engine.set(dsp::CONTROL_BITS, 3);
        engine.set(dsp::CONTROL_RATE, 48000);
        engine.set(dsp::CONTROL_LAW, firstLaw);
        std::vector<float> out(in[0].size());
        const float* from[] = {in[0].data()};
        float* to[] = {out.data()};
        engine.process(from, to, 400);
        engine.set(dsp::CONTROL_LAW, 2);
        from[0] += 400;
        to[0] += 400;
        engine.process(from, to, 400);
        return std::vector<float>(out.begin() + 400, out.end());
    };
    EXPECT_TRUE(sameBits(render(1), render(2)));
}

// The modulation's steps are worked out ahead; a control set between calls in the middle of a
// step still moves the rate from the next call's first frame.
TEST(EngineStages, AControlSetMidStepMovesTheModulatedRateAtTheNextCall) {
    const Planar in = noise(1, 64, 5);
    const auto lastRate = [&in](const std::vector<int64_t>& calls, double depthLater) {
        dsp::Engine engine(48000.0, 1);
        RecordingCrusher crusher;
        engine.plugIn(&crusher);
        engine.set(dsp::CONTROL_LFO_RATE, 40.0);
        engine.set(dsp::CONTROL_LFO_DEPTH, 1.0);
        engine.set(dsp::CONTROL_JITTER, 20.0);
        std::vector<float> out(in[0].size());
        int64_t done = 0;
        for (int64_t frames : calls) {
            const float* from[] = {in[0].data() + done};
            float* to[] = {out.data() + done};
            engine.process(from, to, frames);
            engine.set(dsp::CONTROL_LFO_DEPTH, depthLater);
            done += frames;
        }
        return crusher.calls.back().rate;
    };
    const float whole = lastRate({64}, 1.0);  // the step at frame 32, depth 1
    EXPECT_NE(lastRate({48, 16}, 2.0), whole);
    EXPECT_EQ(lastRate({48, 16}, 1.0), whole);
}

TEST(EngineStages, AreTheSameWhetherOrNotTheProcessorFlushesDenormals) {
    // Loud, then next to silence: subnormals among tiny normal samples.
    Planar in = noise(2, 6000, 12);
    for (size_t c = 0; c < 2; ++c) {
        for (size_t i = 3000; i < in[c].size(); ++i)
            in[c][i] = i % 3 == 0 ? (i % 2 ? 1e-40f : -3e-39f) : in[c][i] * 1e-37f;
    }
    // Every stage; and the anti-aliasing blended alone, unquantized, where nothing masks a
    // subnormal.
    const auto blendOnly = [](const Planar& input) {
        dsp::Engine engine(44100.0, 2);
        engine.set(dsp::CONTROL_BITS, 32.0);
        engine.set(dsp::CONTROL_RATE, 5000.0);
        engine.set(dsp::CONTROL_ANTIALIAS, 50.0);
        engine.set(dsp::CONTROL_LAW, 2.0);
        return inCalls(engine, input, 0, 1, false);
    };
    // And each law alone, unquantized and unreduced, on the smallest normals: an expansion that
    // lands just under the smallest normal float rounds up to it, where a processor that flushes
    // would judge it tiny first.
    Planar edge = in;
    for (auto& channel : edge) {
        for (size_t i = 3000; i < channel.size(); i += 2)
            channel[i] =
                (i % 4 == 0 ? 1.0f : -1.0f) * FLT_MIN * (1.0f + float(i % 7) * FLT_EPSILON);
    }
    const auto lawOnly = [&edge](double law) {
        dsp::Engine engine(44100.0, 2);
        engine.set(dsp::CONTROL_BITS, 32.0);
        engine.set(dsp::CONTROL_RATE, 1e6);
        engine.set(dsp::CONTROL_LAW, law);
        return inCalls(engine, edge, 0, 1, false);
    };
    const Planar plain = staged(in, 3, 0, false), plainBlend = blendOnly(in);
    const Planar plainMu = lawOnly(1.0), plainA = lawOnly(2.0);
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040u);  // flush to zero, denormals are zero
    const Planar flushed = staged(in, 3, 0, false), flushedBlend = blendOnly(in);
    const Planar flushedMu = lawOnly(1.0), flushedA = lawOnly(2.0);
    _mm_setcsr(saved);
    for (size_t c = 0; c < 2; ++c) {
        EXPECT_TRUE(sameBits(flushed[c], plain[c]));
        EXPECT_TRUE(sameBits(flushedBlend[c], plainBlend[c]));
        EXPECT_TRUE(sameBits(flushedMu[c], plainMu[c]));
        EXPECT_TRUE(sameBits(flushedA[c], plainA[c]));
    }
}

// With the anti-aliasing before them, and without it: unquantized (above 23 bits), a NaN reaches
// the tone through the reducers, and through a law's expansion in Step and Linear. The filters
// take such a sample as silence: not one frame of the output is anything but a number.
TEST(EngineStages, FiltersRecoverFromNaNAndInfinities) {
    struct Case {
        int32_t channels;
        double antialias, bits, law = 0.0, mode = 0.0;
    };
    for (const Case& c : {Case{1, 100.0, 12.0}, Case{1, 0.0, 24.0}, Case{2, 0.0, 24.0},
                          Case{2, 0.0, 24.0, 1.0}, Case{1, 0.0, 24.0, 2.0, 1.0}}) {
        Planar in = noise(size_t(c.channels), 8000, 13);
        for (auto& channel : in) {
            for (size_t i = 1000; i < 1100; ++i) channel[i] = i % 2 ? NAN : INFINITY;
        }
        dsp::Engine engine(44100.0, c.channels);
        engine.set(dsp::CONTROL_BITS, c.bits);
        engine.set(dsp::CONTROL_RATE, 11025.0);
        engine.set(dsp::CONTROL_ANTIALIAS, c.antialias);
        engine.set(dsp::CONTROL_TONE, 4000.0);
        engine.set(dsp::CONTROL_LAW, c.law);
        engine.set(dsp::CONTROL_MODE, c.mode);
        const Planar out = inCalls(engine, in, 0, 1, false);
        for (const auto& channel : out) {
            for (size_t i = 0; i < 8000; ++i)
                ASSERT_TRUE(std::isfinite(channel[i]))
                    << i << ", antialias " << c.antialias << ", law " << c.law;
        }
    }
}

TEST(EngineStages, AMovingToneCutoffMakesNoJump) {
    // No reduction and no quantization: what moves is the filter alone, on a 100 Hz sine.
    const int64_t frames = 44100;
    Planar in(1, std::vector<float>(frames));
    for (int64_t i = 0; i < frames; ++i)
        in[0][size_t(i)] =
            static_cast<float>(0.5 * grindlet::sineOfTurns(100.0 * double(i) / 44100.0));
    dsp::Engine engine(44100.0, 1);
    engine.setBlockFrames(64);
    engine.set(dsp::CONTROL_BITS, 32.0);
    engine.set(dsp::CONTROL_RATE, 1e6);
    engine.sweep(dsp::CONTROL_TONE, 150.0, 15000.0, frames);
    const Planar out = inCalls(engine, in, 0, 1, false);
    float largest = 0.0f;
    for (int64_t i = 1; i < frames; ++i)
        largest = std::max(largest, std::fabs(out[0][size_t(i)] - out[0][size_t(i - 1)]));
    EXPECT_LT(largest, 0.01f);  // a sample-to-sample step of the sine itself is at most 0.0072
}

TEST(EngineStages, MuLawKeepsQuietSignalsFinerThanEvenSteps) {
    const Planar in = [] {
        Planar quiet = noise(1, 4000, 14);
        for (float& x : quiet[0]) x *= 0.01f;
        return quiet;
    }();
    const auto error = [&](double law) {
        dsp::Engine engine(8000.0, 1);
        engine.set(dsp::CONTROL_BITS, 8.0);
        engine.set(dsp::CONTROL_RATE, 8000.0);
        engine.set(dsp::CONTROL_LAW, law);
        const Planar out = inCalls(engine, in, 0, 1, false);
        double sum = 0.0;
        for (size_t i = 0; i < 4000; ++i) {
            const double miss = double(out[0][i]) - double(in[0][i]);
            sum += miss * miss;
        }
        return sum;
    };
    EXPECT_LT(error(1.0), error(0.0) / 16.0);
    EXPECT_LT(error(2.0), error(0.0) / 4.0);
}

}  // namespace

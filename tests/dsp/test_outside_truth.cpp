// The stages held to truths from outside the code, through the engine every front end runs:
// the tone against the Butterworth magnitude formula, the anti-aliasing against the aliasing it
// removes and the passband it leaves, the laws against ITU-T G.711's decoding levels, the LFO's
// depth in octaves and its tempo-synced cycle measured on the hold lengths, Rate Ratio's holds
// of a whole number of frames, and TPDF dither against dither theory (an error of zero mean
// whatever the input, a quarter of a step squared in power).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "dsp/engine.h"
#include "dsp/portable_math.h"
#include "tests/lfo_cycle.h"

namespace grindlet::test {
namespace {

constexpr double RATE = 48000.0;
constexpr double PI = 3.14159265358979323846;

struct Setting {
    dsp::ControlIndex control;
    double value;
};

std::vector<float> through(const std::vector<float>& x, std::initializer_list<Setting> settings) {
    dsp::Engine engine(RATE, 1);
    for (const Setting& s : settings) engine.set(s.control, s.value);
    std::vector<float> y(x.size());
    const float* in[1] = {x.data()};
    float* out[1] = {y.data()};
    engine.process(in, out, static_cast<int64_t>(x.size()));
    return y;
}

std::vector<float> sine(double hertz, double amplitude, size_t frames) {
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i)
        x[i] = static_cast<float>(amplitude * sineOfTurns(hertz * double(i) / RATE));
    return x;
}

// The amplitude of the component at `hertz` over the second half (a whole number of cycles
// where the frequency divides the rate; the window is long enough either way).
double amplitudeAt(const std::vector<float>& y, double hertz) {
    const size_t from = y.size() / 2;
    double re = 0.0, im = 0.0;
    for (size_t i = from; i < y.size(); ++i) {
        const double phase = 2.0 * PI * hertz * double(i) / RATE;
        re += y[i] * std::cos(phase);
        im += y[i] * std::sin(phase);
    }
    return 2.0 * std::hypot(re, im) / double(y.size() - from);
}

double decibels(double ratio) { return 20.0 * std::log10(ratio); }

// Unquantized and unreduced: only the stage under test changes the signal.
constexpr Setting CLEAN_BITS{dsp::CONTROL_BITS, 32.0}, NO_REDUCTION{dsp::CONTROL_RATE, RATE};

// The tone is a second-order Butterworth low-pass by the bilinear transform: -3.01 dB at its
// cutoff, and |H|^2 = 1 / (1 + (tan(pi f / fs) / tan(pi fc / fs))^4) everywhere (about -12.3 dB
// an octave up).
TEST(OutsideTruth, ToneIsAButterworthLowPass) {
    for (const double cutoff : {200.0, 1000.0, 5000.0}) {
        for (const double hertz : {cutoff * 0.5, cutoff, cutoff * 2.0, cutoff * 4.0}) {
            const auto y = through(sine(hertz, 0.5, 48000),
                                   {CLEAN_BITS, NO_REDUCTION, {dsp::CONTROL_TONE, cutoff}});
            const double ratio = std::tan(PI * hertz / RATE) / std::tan(PI * cutoff / RATE);
            const double expected = -10.0 * std::log10(1.0 + std::pow(ratio, 4.0));
            EXPECT_NEAR(decibels(amplitudeAt(y, hertz) / 0.5), expected, 0.2)
                << hertz << " Hz through the tone at " << cutoff << " Hz";
        }
    }
}

// At Rate 8 kHz from 48 kHz, a tone at f above 4 kHz folds to |f - 8 kHz·n|, n the nearest
// whole number. The anti-aliasing at
// 100 % leaves the passband (up to 0.9 of the 4 kHz Nyquist frequency) within 0.1 dB and takes
// at least 33 dB off what folds from 1.5 times it on; between 0 and 100 % it removes more the
// further it turns and never cuts the passband.
TEST(OutsideTruth, AntiAliasingRemovesWhatFoldsAndKeepsThePassband) {
    const auto alias = [](double amount, double hertz) {
        const auto y =
            through(sine(hertz, 0.5, 48000),
                    {CLEAN_BITS, {dsp::CONTROL_RATE, 8000.0}, {dsp::CONTROL_ANTIALIAS, amount}});
        return amplitudeAt(y, std::fabs(hertz - 8000.0 * std::round(hertz / 8000.0)));
    };
    const auto passed = [](double amount, double hertz) {
        const auto y =
            through(sine(hertz, 0.5, 48000),
                    {CLEAN_BITS, {dsp::CONTROL_RATE, 8000.0}, {dsp::CONTROL_ANTIALIAS, amount}});
        return amplitudeAt(y, hertz);
    };
    for (const double hertz : {6000.0, 7000.0, 10000.0, 14000.0}) {
        const double unfiltered = alias(0.0, hertz);
        double before = unfiltered;
        // Deep in the stopband the elliptic's ripple moves with its cutoff: there it only
        // stays at least 33 dB down.
        const double floor = unfiltered * std::pow(10.0, -33.0 / 20.0);
        for (const double amount : {25.0, 50.0, 75.0, 100.0}) {
            const double now = alias(amount, hertz);
            EXPECT_LE(now, std::max(before * 1.0001, floor)) << hertz << " Hz, " << amount << " %";
            before = now;
        }
        EXPECT_LE(decibels(before / unfiltered), -33.0) << hertz << " Hz";
    }
    for (const double hertz : {300.0, 1000.0, 2500.0, 3200.0, 3600.0}) {
        const double unfiltered = passed(0.0, hertz);
        // The elliptic's ripple is 0.1 dB by design; a float's precision gives the rest.
        for (const double amount : {20.0, 50.0, 60.0, 80.0, 100.0})
            EXPECT_NEAR(decibels(passed(amount, hertz) / unfiltered), 0.0, 0.101)
                << hertz << " Hz, " << amount << " %";
    }
}

// ITU-T G.711's decoders, from the standard's segments: mu-law 8 segments of 16 steps, the step
// doubling from 2 (full scale 8159); A-law 8 segments, the first two of step 2 (full scale 4096).
double muLawDecoded(int code) {  // code: 0 to 127, the magnitude bits
    const int segment = code >> 4, step = code & 15;
    return (((2 * step + 33) << segment) - 33) / 8159.0;
}
double aLawDecoded(int code) {
    const int segment = code >> 4, step = code & 15;
    const int doubled = segment == 0 ? 2 * step + 1 : (2 * step + 33) << (segment - 1);
    return doubled / 4096.0;
}

// The levels a law at 8 bits gives (Round, unreduced): a full-scale ramp through it.
std::set<float> levelsOf(dsp::Law law) {
    std::vector<float> ramp(200000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(double(i) / 199999.0);
    const auto y = through(ramp, {{dsp::CONTROL_BITS, 8.0},
                                  NO_REDUCTION,
                                  {dsp::CONTROL_LAW, double(static_cast<int16_t>(law))}});
    return std::set<float>(y.begin(), y.end());
}

// Continuous laws against the standard's straight segments: every G.711 decoding level has one
// of ours within 0.25 dB above -40 dBFS; within 0.5 dB (mu-law) and 1.6 dB (A-law) above
// -60 dBFS, where the first segments are straightest. And none of ours is past full scale.
TEST(OutsideTruth, LawsAtEightBitsMeetG711sDecodingLevels) {
    struct Law {
        dsp::Law law;
        double (*decoded)(int);
        double within60;
    };
    for (const Law& l :
         {Law{dsp::Law::MuLaw, muLawDecoded, 0.5}, Law{dsp::Law::ALaw, aLawDecoded, 1.6}}) {
        const std::set<float> ours = levelsOf(l.law);
        EXPECT_LE(*ours.rbegin(), 1.0f);
        EXPECT_GE(ours.size(), 128u);
        for (int code = 1; code < 128; ++code) {
            const double level = l.decoded(code);
            double nearest = 1e9;
            for (float o : ours) {
                if (o > 0.0f) nearest = std::min(nearest, std::fabs(decibels(double(o) / level)));
            }
            const double dbfs = decibels(level);
            if (dbfs > -40.0) {
                EXPECT_LE(nearest, 0.25) << "code " << code << " at " << dbfs;
            }
            if (dbfs > -60.0) {
                EXPECT_LE(nearest, l.within60) << "code " << code << " at " << dbfs;
            }
        }
    }
}

// The LFO moves the rate `depth` octaves up and down: the longest hold over the shortest is
// 2^(2·depth) (measured on a ramp's output, where every take shows as a new value).
TEST(OutsideTruth, LfoDepthIsInOctaves) {
    std::vector<float> ramp(96000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
    for (const double depth : {0.5, 1.0, 2.0}) {
        const auto y = through(ramp, {CLEAN_BITS,
                                      {dsp::CONTROL_RATE, 1000.0},
                                      {dsp::CONTROL_LFO_DEPTH, depth},
                                      {dsp::CONTROL_LFO_RATE, 2.0}});
        size_t last = 0, shortest = 1u << 30, longest = 0;
        for (size_t i = 1; i < y.size(); ++i) {
            if (y[i] == y[i - 1]) continue;
            if (last > 0) {
                shortest = std::min(shortest, i - last);
                longest = std::max(longest, i - last);
            }
            last = i;
        }
        const double measured = std::log2(double(longest) / double(shortest)) / 2.0;
        // Holds are whole frames: at the short end a frame is 1/12 of a hold at 2 octaves.
        EXPECT_NEAR(measured, depth, 0.08) << depth << " octaves";
    }
}

// With LFO Sync the LFO's cycle is a note value at the tempo: 60 / bpm seconds a quarter note,
// a bar four of them, dotted 1.5 times and triplet 2/3 of the plain value (measured on the
// output's holds, as a listener hears the rate move).
TEST(OutsideTruth, LfoSyncCyclesOnceANoteValueAtTheTempo) {
    struct Case {
        dsp::LfoSync sync;
        double bpm, seconds;
    };
    for (const Case c :
         {Case{dsp::LfoSync::Quarter, 120.0, 0.5},
          Case{dsp::LfoSync::EighthTriplet, 120.0, 0.5 / 3.0},
          Case{dsp::LfoSync::QuarterDotted, 90.0, 1.0}, Case{dsp::LfoSync::OneBar, 150.0, 1.6},
          Case{dsp::LfoSync::Sixteenth, 140.0, 15.0 / 140.0}}) {
        const double frames = c.seconds * RATE;
        const auto y = through(frameRamp(static_cast<size_t>(5.5 * frames)),
                               {CLEAN_BITS,
                                {dsp::CONTROL_RATE, 1000.0},
                                {dsp::CONTROL_LFO_DEPTH, 2.0},
                                {dsp::CONTROL_LFO_RATE, 0.3},  // set aside by the sync
                                {dsp::CONTROL_LFO_SYNC, double(c.sync)},
                                {dsp::CONTROL_BPM, c.bpm}});
        // Within one 32-frame step of the modulation.
        EXPECT_NEAR(lfoCycleFrames(y), frames, 32.0)
            << dsp::SYNC_NAMES[size_t(c.sync)] << " at " << c.bpm << " BPM";
    }
}

// Rate Ratio: a share 1/N of the sample rate holds every taken sample for N frames, at any
// sample rate, and sets Rate aside; at 0 Rate takes over again.
TEST(OutsideTruth, RateRatioHoldsEachSampleForAWholeNumberOfFrames) {
    const auto holdsOf = [](double sampleRate, double ratio) {
        dsp::Engine engine(sampleRate, 1);
        engine.set(dsp::CONTROL_BITS, 32.0);
        engine.set(dsp::CONTROL_RATE, 7000.0);
        engine.set(dsp::CONTROL_RATE_RATIO, ratio);
        const std::vector<float> x = frameRamp(20000);
        std::vector<float> y(x.size());
        const float* in[1] = {x.data()};
        float* out[1] = {y.data()};
        engine.process(in, out, static_cast<int64_t>(x.size()));
        std::multiset<size_t> holds;  // every whole hold (the first and last may be cut)
        for (size_t i = 1, start = 0; i < y.size(); ++i) {
            if (y[i] == y[i - 1]) continue;
            if (start > 0) holds.insert(i - start);
            start = i;
        }
        return holds;
    };
    for (const double sampleRate : {44100.0, 48000.0, 96000.0}) {
        for (const size_t n : {2u, 3u, 4u, 5u, 8u, 12u, 64u}) {
            const std::multiset<size_t> holds = holdsOf(sampleRate, 1.0 / double(n));
            ASSERT_GT(holds.size(), 100u);
            EXPECT_EQ(holds.count(n), holds.size()) << "1/" << n << " at " << sampleRate << " Hz";
        }
        // At 0 Rate sets it: 7,000 Hz holds for sampleRate / 7000 frames on average.
        const std::multiset<size_t> rated = holdsOf(sampleRate, 0.0);
        double frames = 0.0;
        for (const size_t hold : rated) frames += double(hold);
        EXPECT_NEAR(frames / double(rated.size()), sampleRate / 7000.0, 0.01);
    }
}

// TPDF dither of one step makes the quantization error's mean zero and its power q^2/4 whatever
// the input (triangular noise of ±q before a rounding quantizer); without it the error follows
// the input (a constant offset).
TEST(OutsideTruth, TpdfDitherMakesTheErrorIndependentOfTheInput) {
    constexpr double BITS = 12.0;
    const double q = std::pow(2.0, 1.0 - BITS);
    for (const double offset : {0.0, 0.1, 0.3, 0.5, 0.7}) {
        const float x = static_cast<float>(0.25 + offset * q);
        const std::vector<float> input(200000, x);
        const auto y = through(input, {{dsp::CONTROL_BITS, BITS},
                                       NO_REDUCTION,
                                       {dsp::CONTROL_DITHER, 1.0},
                                       {dsp::CONTROL_SEED, 99.0}});
        // From the second frame: the first holds what a fresh reducer holds, silence.
        double sum = 0.0, squares = 0.0;
        for (size_t i = 1; i < y.size(); ++i) {
            const double e = (double(y[i]) - double(x)) / q;
            sum += e;
            squares += e * e;
        }
        const double mean = sum / double(y.size() - 1), power = squares / double(y.size() - 1);
        EXPECT_NEAR(mean, 0.0, 0.01) << "offset " << offset;
        EXPECT_NEAR(power, 0.25, 0.01) << "offset " << offset;
        const auto plain = through(input, {{dsp::CONTROL_BITS, BITS}, NO_REDUCTION});
        const double error = (double(plain[1]) - double(x)) / q;
        EXPECT_NEAR(error, offset < 0.5 ? -offset : 1.0 - offset, 1e-4) << "offset " << offset;
    }
}

}  // namespace
}  // namespace grindlet::test

// grindlet-check: the output against QZ-Grindlet's reference, at every rate, block size and input.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "checks.h"

namespace grindlet::check {

using namespace grindlet::host;

namespace {

Scenario referenceScenario(int16_t rateMode, int16_t quantMode) {
    Scenario s;
    s.input = testSignal(8192);
    s.rateMode = rateMode;
    s.quantMode = quantMode;
    s.blockCounts = {512};
    s.bits = [](int32_t position) { return 0.4f + 0.1f * static_cast<float>(position / 2048); };
    s.rate = [](int32_t position) { return 300.0f + 150.0f * static_cast<float>(position / 1024); };
    return s;
}

// Output hashes of the reference scenarios, fixed from the linux build when the effect was
// written; every build must reproduce them.
constexpr uint32_t REFERENCE_HASHES[2][3] = {{0xb384eac3u, 0xb04b822cu, 0x9f11402cu},
                                             {0x072e3e87u, 0x540a34f7u, 0x95c757b5u}};

// Two bits, Round, at the full rate: every sample known by heart.
Outcome twoBitsByHeart(CheckContext& c) {
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        Scenario s;
        s.input = {0.3f, -0.3f, 0.8f, 0.6f, 0.3f, -0.3f, 0.8f, 0.6f};
        s.blockCounts = {4};
        s.quantMode = 1;
        s.rateMode = rateMode;
        s.bits = [](int32_t) { return 0.2f; };
        ScenarioResult r;
        Outcome o = c.scenario(std::string("two-bit-") + ROUTINE_NAMES[rateMode], s, &r);
        if (!o.ok) return o;
        const std::vector<float> expected =
            rateMode == 0 ? std::vector<float>{0.0f, -0.5f, 1.0f, 0.5f, 0.5f, -0.5f, 1.0f, 0.5f}
                          : std::vector<float>{0.0f, 0.0f, -0.5f, 1.0f, 0.5f, 0.5f, -0.5f, 1.0f};
        for (size_t i = 0; i < expected.size(); ++i) {
            if (floatBits(r.output[i]) != floatBits(expected[i]))
                return failWith(std::string(ROUTINE_NAMES[rateMode]) + " sample " +
                                std::to_string(i));
        }
    }
    return pass();
}

Outcome referenceOutput(CheckContext& c, int16_t rateMode, int16_t quantMode) {
    ScenarioResult r;
    Outcome o = c.scenario(
        std::string("reference-") + ROUTINE_NAMES[rateMode] + "-" + MODE_NAMES[quantMode],
        referenceScenario(rateMode, quantMode), &r);
    if (!o.ok) return o;
    const uint32_t hash = hashSamples(r.output);
    if (hash != REFERENCE_HASHES[rateMode][quantMode])
        return failWith("output hash " + hex32(hash));
    return pass();
}

Outcome atSampleRate(CheckContext& c, const std::string& name, float sampleRate) {
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        Scenario s = referenceScenario(rateMode, 1);
        s.sampleRate = sampleRate;
        Outcome o = c.scenario(std::string("rate-") + name + ROUTINE_NAMES[rateMode], s);
        if (!o.ok) return o;
    }
    return pass();
}

// block < 0: random block counts, 0 among them.
Outcome inBlocks(CheckContext& c, const std::string& name, int32_t block) {
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        Scenario s = referenceScenario(rateMode, 2);
        s.input.resize(block == 4096 ? 8192 : 4500);
        s.blockSize = block < 0 ? 1024 : block;
        if (block < 0) {
            XorShift32 random{99};
            for (int i = 0; i < 200; ++i) {
                s.blockCounts.push_back(
                    random.next() % 4 == 0 ? 0 : static_cast<int32_t>(random.next() % 300));
            }
        } else {
            s.blockCounts = {block};
        }
        Outcome o = c.scenario(name + ROUTINE_NAMES[rateMode], s);
        if (!o.ok) return o;
    }
    return pass();
}

// Automation that raises the rate just before a take, in blocks a host may well use: the ramp
// must stay within the signal (it once reached -24.96 from a 0.9 sine at sample 63).
Outcome linearUnderRateAutomation(CheckContext& c) {
    constexpr float BITS_OFF = 3.2f;  // 32 bits: unquantized, so the bound is the input's
    struct Run {
        const char* name;
        std::vector<int32_t> blocks;
        std::function<float(int32_t)> rate;
    };
    std::vector<float> rates(4000);
    XorShift32 random{19};
    constexpr double OCTAVES = 11.106562940444883;  // log2(2205)
    for (float& r : rates)                          // 20 Hz to 44.1 kHz, log-uniform
        r = static_cast<float>(2.0 * powerOfTwo(OCTAVES * (random.uniform() + 1.0f) / 2.0));
    const Run runs[] = {
        {"linear-rate-rise-before-take",
         {62, 1, 5, 232},
         [](int32_t at) { return at < 62   ? 1628.0f
                                 : at < 63 ? 1832.0f
                                           : 27.9f; }},
        {"linear-random-rate-automation",
         {7, 1, 64, 13, 2, 33, 1, 50, 9},
         [rates](int32_t at) { return rates[static_cast<size_t>(at) % rates.size()]; }},
    };
    for (const Run& run : runs) {
        Scenario s;
        s.input = sineSignal(4000, 0.9, 1000.0);
        s.rateMode = 1;
        s.quantMode = 1;
        s.blockCounts = run.blocks;
        s.bits = [](int32_t) { return BITS_OFF; };
        s.rate = run.rate;
        ScenarioResult r;
        Outcome o = c.scenario(run.name, s, &r);
        if (!o.ok) return o;
        for (size_t i = 0; i < r.output.size(); ++i) {
            if (!(std::fabs(r.output[i]) <= 0.9f)) {
                return failWith(std::string(run.name) + ": sample " + std::to_string(i) + " is " +
                                std::to_string(r.output[i]));
            }
        }
    }
    return pass();
}

Outcome inPlaceEqualsSeparate(CheckContext& c) {
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        for (float rate : {300.0f, 4410.0f}) {  // reduced, and the copy path
            Scenario s = referenceScenario(rateMode, 0);
            s.rate = [rate](int32_t) { return rate; };
            s.bits = [](int32_t) { return 2.4f; };
            const ScenarioResult separate = runScenario(c.library, s);
            s.inPlace = true;
            const ScenarioResult inPlace = runScenario(c.library, s);
            if (hashSamples(separate.output) != hashSamples(inPlace.output))
                return failWith(std::string(ROUTINE_NAMES[rateMode]) + " at " +
                                std::to_string(rate));
        }
    }
    return pass();
}

Outcome specialValues(CheckContext& c) {
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              1e-45f,
                              -1e-40f,
                              3e38f,
                              -3e38f,
                              0.0f,
                              -0.0f,
                              1e-30f,
                              1e30f};
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        for (int16_t quantMode = -1; quantMode < 4; ++quantMode) {
            Scenario s;
            s.input.resize(1200);
            for (size_t i = 0; i < s.input.size(); ++i) s.input[i] = specials[i % 12];
            s.blockCounts = {37};
            s.rateMode = rateMode;
            s.quantMode = quantMode;
            s.bits = [&specials](int32_t position) { return specials[(position / 37) % 12]; };
            s.rate = [&specials](int32_t position) { return specials[(position / 37 + 5) % 12]; };
            const ScenarioResult r = runScenario(c.library, s);
            const bool modeWrites = quantMode >= 0 && quantMode <= 2;
            if (modeWrites && !r.fault.empty()) return failWith(r.fault);
        }
    }
    return pass();
}

}  // namespace

void registerSignalChecks(CheckRegistry& registry) {
    registry.add("reference: 2 bits, Round, full rate, Step and Linear", twoBitsByHeart);
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        for (int16_t quantMode = 0; quantMode < 3; ++quantMode) {
            registry.add(std::string("reference output: ") + ROUTINE_NAMES[rateMode] + ", " +
                             MODE_NAMES[quantMode],
                         [=](CheckContext& c) { return referenceOutput(c, rateMode, quantMode); });
        }
    }
    // Robustness, the way plugin validators test it.
    for (float sampleRate :
         {8000.0f, 22050.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f, 12345.678f}) {
        char name[64];
        std::snprintf(name, sizeof name, "sample rate %g, both routines", double(sampleRate));
        registry.add(name, [name = std::string(name), sampleRate](CheckContext& c) {
            return atSampleRate(c, name, sampleRate);
        });
    }
    for (int32_t block : {1, 17, 64, 512, 1024, 2027, 4096, -1}) {
        const std::string name =
            block < 0 ? "random block counts including 0" : "block size " + std::to_string(block);
        registry.add(name + ": every sample inside the block written, none outside",
                     [=](CheckContext& c) { return inBlocks(c, name, block); });
    }
    registry.add("Linear under rate automation stays within the signal", linearUnderRateAutomation);
    registry.add("in-place buffers give the same output as separate ones", inPlaceEqualsSeparate);
    registry.add("NaN, infinite, denormal and huge inputs and controls", specialValues);
}

}  // namespace grindlet::check

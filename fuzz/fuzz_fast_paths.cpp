// libFuzzer target: the input is a script of blocks (controls, modes, routine, offset, count,
// split point, in place or not, input samples) run on two reducer states, one through the fast
// loops and one through the plain reference loops. What must always hold: the same output bits,
// the same end state, nothing written outside [offset, offset + count).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dsp/rate_reducer.h"
#include "fuzz/fuzz_script.h"
#include "host/sample_checks.h"
#include "tests/fast_vs_reference.h"
#include "tests/special_floats.h"
#include "tests/taken_range.h"

using namespace grindlet;

namespace {

constexpr int32_t BUFFER = 1024;
constexpr float SAMPLE_RATE = 44100.0f;

using fuzz::Script;

// Mostly values that matter, sometimes any bit pattern.
float pick(Script& script, const float* table, size_t count) {
    return script.pick(table, count, 224);
}

const float BITS_VALUES[] = {0.8f,  1.6f,  0.2f,  0.1f,
                             0.05f, 0.0f,  -0.1f, 2.3f,
                             2.4f,  1.65f, 0.12f, std::numeric_limits<float>::quiet_NaN()};
const float RATE_VALUES[] = {4410.0f,
                             1102.5f,
                             1764.0f,
                             137.8125f,
                             137.81252f,
                             400.0f,
                             501.13636f,
                             4409.99f,
                             3.0f,
                             0.0f,
                             -1.0f,
                             1e-30f,
                             441.0f,
                             2940.0f,
                             1378.125f,
                             std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
constexpr float ORDINARY_SAMPLES[] = {0.5f, -0.5f, 1.0f, -1.0f, 0.3f, -0.7f, 0.25f, 8388608.5f};
constexpr auto SAMPLE_VALUES = test::withSpecialFloats(ORDINARY_SAMPLES);

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fast and reference loops differ: %s\n", what);
    std::abort();
}

// Inputs and sample rates under which every taken value and every difference of two stays
// finite: there no output may leave the samples taken so far.
bool keepsRange(float sampleRate) { return sampleRate >= 1.0f && sampleRate <= 1e7f; }

// A block's input as the reducer may take it, before the block runs (in place, it is then
// overwritten): copied as it is, or quantized as the block's quantizer will quantize it.
// Returns whether the block writes its output (an unknown mode leaves it as it was).
bool addToRange(test::TakenRange& range, dsp::QuantizerState quantizer, float bits, float rate,
                float sampleRate, int16_t mode, const float* in, int32_t count) {
    dsp::configureQuantizer(quantizer, bits);
    const float hertz = dsp::RATE_PER_STREAM_UNIT * rate;
    if (count <= 0) return false;
    if (!(hertz > 0.0f)) return true;  // silence
    if (hertz >= sampleRate && !quantizer.quantizeOn) {
        range.addCopied(in, count);  // whatever the mode
        return true;
    }
    if (mode < dsp::QUANT_MODE_FLOOR || mode > dsp::QUANT_MODE_INSIDE) return false;
    range.addBlock(quantizer, mode, in, count, hertz >= sampleRate ? 1.0f : sampleRate / hertz);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script{data, size};
    const float sampleRate = script.byte() < 240 ? SAMPLE_RATE : script.raw();
    static test::TwinReducer twin;
    twin.reopen(sampleRate);
    static std::vector<float> input(BUFFER);
    test::TakenRange range;
    int blocks = 0;
    while (!script.done() && blocks++ < 64) {
        test::TwinBlock block;
        block.bits = pick(script, BITS_VALUES, sizeof BITS_VALUES / sizeof BITS_VALUES[0]);
        block.rate = pick(script, RATE_VALUES, sizeof RATE_VALUES / sizeof RATE_VALUES[0]);
        const uint8_t flags = script.byte();
        block.mode = static_cast<int16_t>(int(flags % 5) - 1);
        block.linear = (flags & 8) != 0;
        block.inPlace = (flags & 16) != 0;
        block.offset = script.byte() % 64;
        block.count = static_cast<int32_t>(script.word() % (BUFFER - block.offset + 1));
        block.split = block.count > 0 ? static_cast<int32_t>(script.word() % (block.count + 1)) : 0;
        // Input: a short pattern from the script, repeated (so long blocks stay cheap to write).
        const int32_t patternLength = 1 + script.byte() % 16;
        float pattern[16];
        for (int32_t i = 0; i < patternLength; ++i) {
            pattern[i] = pick(script, SAMPLE_VALUES.data(), SAMPLE_VALUES.size());
        }
        for (int32_t i = 0; i < BUFFER; ++i) input[size_t(i)] = pattern[i % patternLength];
        const bool writes =
            addToRange(range, twin.reference.quantizer, block.bits, block.rate, sampleRate,
                       block.mode, input.data() + block.offset, block.count);
        const char* differs = twin.run(block, input);
        if (differs != nullptr) std::fprintf(stderr, "what differs: %s\n", differs);
        check(differs == nullptr, "output, writes or end state");
        const float* out = twin.referenceOutput();
        for (int32_t i = block.offset;
             writes && keepsRange(sampleRate) && i < block.offset + block.count; ++i) {
            if (range.contains(out[i])) continue;
            std::fprintf(stderr,
                         "block %d (%s, mode %d, bits %a, rate %a, sample rate %a, offset %d, "
                         "count %d, split %d): output %d is %a, the range [%a, %a] +- %a\n",
                         blocks, block.linear ? "Linear" : "Step", block.mode, block.bits,
                         block.rate, sampleRate, block.offset, block.count, block.split,
                         i - block.offset, out[i], range.lowest(), range.highest(),
                         range.allowance());
            check(false, "an output beyond the samples taken so far");
        }
    }
    return 0;
}

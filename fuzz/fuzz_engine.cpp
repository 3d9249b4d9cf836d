// libFuzzer target: the input is read as the random choices of a script (tests/engine_script.h)
// of settings, automation, blocks and calls, played through the fast engine and the plain chain
// that defines it. What must always hold: the same output bits; and for an input within ±1 (the
// first byte's low bit says whether the script may hold NaN, infinities and values outside the
// controls' ranges), every output sample a number within the stated bound.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dsp/engine.h"
#include "dsp/reference_engine.h"
#include "fuzz/fuzz_script.h"
#include "tests/engine_script.h"

using namespace grindlet;

namespace {

// The script's choices from the fuzz input; past its end, zeros.
struct FuzzRandom {
    fuzz::Script& script;
    uint32_t below(uint32_t n) { return n == 0 ? 0 : script.word() % n; }
    double unit() { return double(script.word()) / 4294967296.0; }
};

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "engine: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Script script{data, size};
    const bool hostile = (script.byte() & 1) != 0;
    FuzzRandom random{script};
    test::ScriptOptions options;
    options.hostile = hostile;
    options.mostFrames = 3000;
    const test::EngineScript s = test::ScriptMaker<FuzzRandom>(random, options).make();
    dsp::Engine fast(s.sampleRate, s.channels);
    dsp::ReferenceEngine plain(s.sampleRate, s.channels);
    const test::Planar a = test::play(s, fast), b = test::play(s, plain);
    const double bound = test::statedBound(s) * (1.0 + 1e-6);
    for (size_t c = 0; c < a.size(); ++c) {
        for (size_t i = 0; i < a[c].size(); ++i) {
            check(floatBits(a[c][i]) == floatBits(b[c][i]),
                  "the fast engine and the plain chain differ");
            if (!hostile) {
                check(std::isfinite(a[c][i]), "an output sample is not a number");
                check(std::fabs(a[c][i]) <= bound, "an output sample is past the stated bound");
            }
        }
    }
    return 0;
}

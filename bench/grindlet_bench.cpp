// Cost per sample of every path of the effect, beside memcpy and memset of the same block and a
// naive decimator doing the same work, all in one run; a table of ratios follows the run.
// Run: build/<preset>/bench/grindlet_bench (see bench/README.md).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dsp/rate_reducer.h"
#ifdef GRINDLET_BENCH_MODULE
#include "effect/reducer_module.h"
#include "host/hosted_module.h"
#endif

using namespace grindlet;

namespace {

constexpr int32_t BLOCK = 1024;
constexpr float SAMPLE_RATE = 44100.0f;
constexpr float EIGHT_BITS = 0.8f;  // "Bits" carries tenths of a bit
constexpr float BITS_OFF = 2.4f;
constexpr float UNREDUCED_RATE = SAMPLE_RATE / 10.0f;  // "S.R." carries tenths of a hertz

enum InputClass { NORMAL, SUBNORMAL, NOT_A_NUMBER, INFINITE, CLASS_COUNT };
const char* const CLASS_NAMES[] = {"normal", "subnormal", "NaN", "infinite"};

float fillValue(int inputClass) {
    switch (inputClass) {
        case SUBNORMAL:
            return 1e-40f;
        case NOT_A_NUMBER:
            return std::numeric_limits<float>::quiet_NaN();
        case INFINITE:
            return std::numeric_limits<float>::infinity();
        default:
            return 0.0f;
    }
}

struct Signal {
    std::vector<float> input = std::vector<float>(BLOCK);
    std::vector<float> output = std::vector<float>(BLOCK);
    std::vector<float> bits = std::vector<float>(BLOCK, EIGHT_BITS);
    std::vector<float> rate = std::vector<float>(BLOCK, UNREDUCED_RATE);
    explicit Signal(int inputClass = NORMAL) {
        for (int32_t i = 0; i < BLOCK; ++i) {
            // Normal audio, or every other sample of the class (a whole block of one value
            // would let the branch predictor off lightly).
            const float audio = static_cast<float>(0.8 * std::sin(0.013 * i));
            input[i] = inputClass != NORMAL && i % 2 == 0 ? fillValue(inputClass) : audio;
        }
    }
    void controls(float bitsValue, float rateValue) {
        std::fill(bits.begin(), bits.end(), bitsValue);
        std::fill(rate.begin(), rate.end(), rateValue);
    }
    dsp::ReducerStreams streams() {
        return {input.data(), bits.data(), rate.data(), output.data()};
    }
};

void perSample(benchmark::State& state) { state.SetItemsProcessed(state.iterations() * BLOCK); }

float rateForHold(double hold) { return static_cast<float>(SAMPLE_RATE / hold / 10.0); }

// ---- the yardsticks ----------------------------------------------------------------------

// The yardsticks take the block's size at run time, as a host's block size is: a compile-time
// size would let the compiler inline its own fill, which no host call gets.
size_t blockBytes() {
    static volatile size_t bytes = BLOCK * sizeof(float);
    return bytes;
}

void BM_Memcpy(benchmark::State& state) {
    Signal s;
    for (auto _ : state) {
        std::memcpy(s.output.data(), s.input.data(), blockBytes());
        benchmark::ClobberMemory();
    }
    perSample(state);
}
BENCHMARK(BM_Memcpy);

void BM_Memset(benchmark::State& state) {
    Signal s;
    for (auto _ : state) {
        std::memset(s.output.data(), 0, blockBytes());
        benchmark::ClobberMemory();
    }
    perSample(state);
}
BENCHMARK(BM_Memset);

// What people write first: an integer hold counter, and a crusher that casts x * scale to int
// and back. Not exact in our sense, but the speed a user compares against.
struct NaiveDecimator {
    int hold;
    bool linear;
    float scale = 128.0f, inverse = 1.0f / 128.0f;
    int counter = 0;
    float held = 0.0f, ramp = 0.0f, rampStep = 0.0f;

    void process(const float* in, float* out, int32_t count) {
        for (int32_t i = 0; i < count; ++i) {
            if (++counter >= hold) {
                counter = 0;
                const float taken = static_cast<float>(static_cast<int>(in[i] * scale)) * inverse;
                if (linear) {
                    ramp = held;
                    rampStep = (taken - held) / static_cast<float>(hold);
                }
                held = taken;
            }
            if (linear) {
                out[i] = ramp;
                ramp += rampStep;
            } else {
                out[i] = held;
            }
        }
    }
};

// Arguments: linear (0/1), hold step x1000 (1000: every sample, "bits only"), input class.
void BM_Naive(benchmark::State& state) {
    Signal s(static_cast<int>(state.range(2)));
    NaiveDecimator naive{static_cast<int>(state.range(1) / 1000), state.range(0) != 0};
    for (auto _ : state) {
        naive.process(s.input.data(), s.output.data(), BLOCK);
        benchmark::ClobberMemory();
    }
    perSample(state);
}

// ---- the effect --------------------------------------------------------------------------

using Process = void (*)(dsp::RateReducerState&, const dsp::ReducerStreams&, float, int16_t,
                         int32_t, int32_t);

// Arguments: loops (0 fast, 1 reference), linear (0/1), quant mode, hold x1000, input class.
void BM_Effect(benchmark::State& state) {
    const bool reference = state.range(0) != 0, linear = state.range(1) != 0;
    const auto mode = static_cast<int16_t>(state.range(2));
    const double hold = static_cast<double>(state.range(3)) / 1000.0;
    Signal s(static_cast<int>(state.range(4)));
    s.controls(EIGHT_BITS, hold == 1.0 ? UNREDUCED_RATE : rateForHold(hold));
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const Process process = linear ? (reference ? dsp::processLinearReference : dsp::processLinear)
                                   : (reference ? dsp::processStepReference : dsp::processStep);
    const auto io = s.streams();
    for (auto _ : state) {
        process(r, io, SAMPLE_RATE, mode, 0, BLOCK);
        benchmark::ClobberMemory();
    }
    perSample(state);
}

// The copy path (unreduced, unquantized) and the silence path (rate 0).
void BM_BlockPath(benchmark::State& state) {
    Signal s;
    s.controls(BITS_OFF, state.range(0) != 0 ? UNREDUCED_RATE : 0.0f);
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const auto io = s.streams();
    for (auto _ : state) {
        dsp::processStep(r, io, SAMPLE_RATE, 0, 0, BLOCK);
        benchmark::ClobberMemory();
    }
    perSample(state);
}
BENCHMARK(BM_BlockPath)->ArgNames({"copy"})->Arg(1)->Arg(0);

// What a call costs beside its samples: the same 1024 samples in calls of `frames` (a host's
// period), Round, 8 bits, 8,000 Hz (holds of 5.5125), 11,025 Hz (holds of 4) and 7,350 Hz
// (holds of 6, as 8,000 Hz at 48 kHz).
void BM_CallSize(benchmark::State& state) {
    const bool linear = state.range(0) != 0;
    const auto frames = static_cast<int32_t>(state.range(1));
    Signal s;
    s.controls(EIGHT_BITS, rateForHold(static_cast<double>(state.range(2)) / 1000.0));
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const Process process = linear ? dsp::processLinear : dsp::processStep;
    const auto io = s.streams();
    for (auto _ : state) {
        for (int32_t offset = 0; offset < BLOCK; offset += frames)
            process(r, io, SAMPLE_RATE, 1, offset, frames);
        benchmark::ClobberMemory();
    }
    perSample(state);
}
BENCHMARK(BM_CallSize)
    ->ArgNames({"linear", "frames", "hold_x1000"})
    ->ArgsProduct({{0, 1}, {16, 64, 1024}, {4000, 5513, 6000}});

// 5.513: 8,000 Hz at 44,100, the front ends' default, whose takes fall between samples.
constexpr int64_t HOLDS[] = {1000, 4000, 5513, 32000, 88000};

void registerEffectBenchmarks() {
    for (int64_t linear : {0, 1}) {
        for (int64_t hold : HOLDS) {
            if (hold == 1000 && linear == 1) continue;  // "bits only" is one row per mode
            for (int64_t reference : {0, 1}) {
                for (int64_t mode : {0, 1, 2}) {
                    if (hold != 1000 && mode != 1) continue;  // reduced rows: "Round"
                    benchmark::RegisterBenchmark("BM_Effect", BM_Effect)
                        ->ArgNames({"reference", "linear", "mode", "hold_x1000", "class"})
                        ->Args({reference, linear, mode, hold, NORMAL});
                }
            }
            benchmark::RegisterBenchmark("BM_Naive", BM_Naive)
                ->ArgNames({"linear", "hold_x1000", "class"})
                ->Args({linear, hold, NORMAL});
        }
    }
    // Special input classes, "bits only", every mode, fast and reference.
    for (int64_t inputClass : {SUBNORMAL, NOT_A_NUMBER, INFINITE}) {
        for (int64_t reference : {0, 1}) {
            for (int64_t mode : {0, 1, 2}) {
                benchmark::RegisterBenchmark("BM_Effect", BM_Effect)
                    ->ArgNames({"reference", "linear", "mode", "hold_x1000", "class"})
                    ->Args({reference, 0, mode, 1000, inputClass});
            }
        }
        benchmark::RegisterBenchmark("BM_Naive", BM_Naive)
            ->ArgNames({"linear", "hold_x1000", "class"})
            ->Args({0, 1000, inputClass});
    }
}

#ifdef GRINDLET_BENCH_MODULE
// Blocks through the process entry of a real object: the per-call overhead.
struct OpenObject {
    Signal signal;
    host::HostedModule host;
    ModuleBlock* block;
    OpenObject() {
        host.setReportedPinCount(ReducerModule::PIN_COUNT);
        block = (new ReducerModule(host::HostedModule::callback(), host.handle()))->getBlock();
        block->dispatcher(block, OP_OPEN, 0, 0, nullptr, 0.0f);
        float* streams[4] = {signal.input.data(), signal.bits.data(), signal.rate.data(),
                             signal.output.data()};
        for (int32_t pin = 0; pin < 4; ++pin) {
            PinInfo info{};
            block->dispatcher(block, OP_GET_PIN_INFO, pin, 0, &info, 0.0f);
            std::memcpy(info.variable, &streams[pin], sizeof(float*));
        }
        signal.controls(EIGHT_BITS, 1000.0f);
        ModuleEvent streaming{0, EVENT_PIN_STATUS, STATUS_STREAMING, 0, 0, 0};
        block->event(block->object, &streaming);
    }
    ~OpenObject() { block->dispatcher(block, OP_CLOSE, 0, 0, nullptr, 0.0f); }
};

void BM_ProcessEntry(benchmark::State& state) {
    OpenObject object;
    const auto count = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        for (int32_t offset = 0; offset + count <= BLOCK; offset += count) {
            object.block->process(object.block->object, offset, count);
        }
        benchmark::ClobberMemory();
    }
    perSample(state);
}
BENCHMARK(BM_ProcessEntry)->Arg(1)->Arg(16)->Arg(64)->Arg(1024);

// 1,000 live objects, each called with a 64-sample block in turn.
void BM_ThousandObjects(benchmark::State& state) {
    std::vector<std::unique_ptr<OpenObject>> objects;
    for (int i = 0; i < 1000; ++i) objects.push_back(std::make_unique<OpenObject>());
    for (auto _ : state) {
        for (auto& object : objects) object->block->process(object->block->object, 0, 64);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 1000 * 64);
}
BENCHMARK(BM_ThousandObjects);
#endif

// "Bits" changing on every 64-sample block (pow each call) against held steady.
void BM_BitsChanging(benchmark::State& state) {
    const bool changing = state.range(0) != 0;
    Signal s;
    s.controls(EIGHT_BITS, 1000.0f);
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const auto io = s.streams();
    constexpr int32_t SMALL = 64;
    int flip = 0;
    for (auto _ : state) {
        for (int32_t offset = 0; offset < BLOCK; offset += SMALL) {
            if (changing) s.bits[offset] = (++flip & 1) ? 0.8f : 0.81f;
            dsp::processStep(r, io, SAMPLE_RATE, 1, offset, SMALL);
        }
        benchmark::ClobberMemory();
    }
    perSample(state);
}
BENCHMARK(BM_BitsChanging)->ArgNames({"changing"})->Arg(0)->Arg(1);

// ---- the table of ratios -------------------------------------------------------------------

// Keeps nanoseconds per sample of every run by name, and prints them as they come.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nsPerSample;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end() && items->second.value > 0.0) {
                nsPerSample[run.benchmark_name()] = 1e9 / items->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double at(const std::string& name) const {
        const auto found = nsPerSample.find(name);
        return found == nsPerSample.end() ? std::nan("") : found->second;
    }
};

std::string effectName(int reference, int linear, int mode, int64_t hold, int inputClass) {
    return "BM_Effect/reference:" + std::to_string(reference) +
           "/linear:" + std::to_string(linear) + "/mode:" + std::to_string(mode) +
           "/hold_x1000:" + std::to_string(hold) + "/class:" + std::to_string(inputClass);
}

std::string naiveName(int linear, int64_t hold, int inputClass) {
    return "BM_Naive/linear:" + std::to_string(linear) + "/hold_x1000:" + std::to_string(hold) +
           "/class:" + std::to_string(inputClass);
}

void printTable(const RatioReporter& r) {
    const double memsetNs = r.at("BM_Memset"), memcpyNs = r.at("BM_Memcpy");
    const char* const modes[] = {"Floor", "Round", "Inside"};
    std::printf("\n%-34s %9s %12s %11s %11s\n", "1024-sample blocks, 8 bits", "ns/sample",
                "vs memset", "vs naive", "vs plain");
    const auto row = [&](const std::string& what, int linear, int mode, int64_t hold,
                         int inputClass) {
        const double fast = r.at(effectName(0, linear, mode, hold, inputClass));
        const double plain = r.at(effectName(1, linear, mode, hold, inputClass));
        const double naive = r.at(naiveName(linear, hold, inputClass));
        std::printf("%-34s %9.3f %11.1fx %10.2fx %10.2fx\n", what.c_str(), fast, fast / memsetNs,
                    naive / fast, plain / fast);
    };
    for (int mode = 0; mode < 3; ++mode)
        row(std::string("bits only, ") + modes[mode], 0, mode, 1000, NORMAL);
    for (int inputClass = SUBNORMAL; inputClass < CLASS_COUNT; ++inputClass) {
        for (int mode = 0; mode < 3; ++mode) {
            row(std::string("bits only, ") + modes[mode] + ", " + CLASS_NAMES[inputClass], 0, mode,
                1000, inputClass);
        }
    }
    for (int linear = 0; linear < 2; ++linear) {
        for (int64_t hold : HOLDS) {
            if (hold == 1000) continue;
            char label[48];
            std::snprintf(label, sizeof label, "%s, Round, hold %g", linear ? "Linear" : "Step",
                          static_cast<double>(hold) / 1000.0);
            row(label, linear, 1, hold, NORMAL);
        }
    }
    std::printf("%-34s %9.3f %11.2fx of memcpy's speed\n", "copy path", r.at("BM_BlockPath/copy:1"),
                memcpyNs / r.at("BM_BlockPath/copy:1"));
    std::printf("%-34s %9.3f %11.2fx of memset's speed\n", "silence path",
                r.at("BM_BlockPath/copy:0"), memsetNs / r.at("BM_BlockPath/copy:0"));
    std::printf(
        "(vs memset: times slower; vs naive and vs plain: times faster than the naive "
        "decimator and than the plain per-sample loops)\n");
    std::printf("\nInput classes, \"bits only\" (slowdown against normal audio):\n");
    for (int mode = 0; mode < 3; ++mode) {
        const double normal = r.at(effectName(0, 0, mode, 1000, NORMAL));
        std::printf("  %-7s", modes[mode]);
        for (int inputClass = SUBNORMAL; inputClass < CLASS_COUNT; ++inputClass) {
            std::printf("  %s %.2f", CLASS_NAMES[inputClass],
                        r.at(effectName(0, 0, mode, 1000, inputClass)) / normal);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerEffectBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable(reporter);
    benchmark::Shutdown();
    return 0;
}

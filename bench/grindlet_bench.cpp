// Cost per sample of every path of the effect, beside memcpy and memset of the same block,
// measured in the same run. Run: build/linux/bench/grindlet_bench (see bench/README.md).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "dsp/rate_reducer.h"
#include "effect/reducer_module.h"

using namespace grindlet;

namespace {

constexpr int32_t BLOCK = 1024;
constexpr float SAMPLE_RATE = 44100.0f;

struct Signal {
    std::vector<float> input = std::vector<float>(BLOCK);
    std::vector<float> output = std::vector<float>(BLOCK);
    std::vector<float> bits = std::vector<float>(BLOCK, 1.6f);
    std::vector<float> rate = std::vector<float>(BLOCK, 4410.0f);
    explicit Signal(float fill = 0.0f) {
        for (int32_t i = 0; i < BLOCK; ++i) {
            input[i] = fill != 0.0f ? fill : static_cast<float>(0.8 * std::sin(0.013 * i));
        }
    }
    dsp::ReducerStreams streams() { return {input.data(), bits.data(), rate.data(), output.data()}; }
};

void perSample(benchmark::State& state, int64_t samplesPerIteration) {
    state.SetItemsProcessed(state.iterations() * samplesPerIteration);
    state.counters["ns/sample"] = benchmark::Counter(
        static_cast<double>(samplesPerIteration) * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                              benchmark::Counter::kInvert);
}

void BM_Memcpy(benchmark::State& state) {
    Signal s;
    for (auto _ : state) {
        std::memcpy(s.output.data(), s.input.data(), BLOCK * sizeof(float));
        benchmark::ClobberMemory();
    }
    perSample(state, BLOCK);
}
BENCHMARK(BM_Memcpy);

void BM_Memset(benchmark::State& state) {
    Signal s;
    for (auto _ : state) {
        std::memset(s.output.data(), 0, BLOCK * sizeof(float));
        benchmark::ClobberMemory();
    }
    perSample(state, BLOCK);
}
BENCHMARK(BM_Memset);

// The copy path (unreduced, unquantized: bits 24, rate at the sample rate) and the silence
// path (rate 0).
void runBlockPath(benchmark::State& state, float bits, float rateValue) {
    Signal s;
    std::fill(s.bits.begin(), s.bits.end(), bits);
    std::fill(s.rate.begin(), s.rate.end(), rateValue);
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const auto io = s.streams();
    for (auto _ : state) {
        dsp::processStep(r, io, SAMPLE_RATE, 0, 0, BLOCK);
        benchmark::ClobberMemory();
    }
    perSample(state, BLOCK);
}
void BM_CopyPath(benchmark::State& state) { runBlockPath(state, 2.4f, 4410.0f); }
void BM_SilencePath(benchmark::State& state) { runBlockPath(state, 2.4f, 0.0f); }
BENCHMARK(BM_CopyPath);
BENCHMARK(BM_SilencePath);

// The sample loops: routine (0 Step, 1 Linear), mode, quantization on/off, hold step x1000.
void BM_Loop(benchmark::State& state) {
    const bool linear = state.range(0) != 0;
    const auto mode = static_cast<int16_t>(state.range(1));
    const bool quantize = state.range(2) != 0;
    const float holdStep = static_cast<float>(state.range(3)) / 1000.0f;
    Signal s;
    std::fill(s.bits.begin(), s.bits.end(), quantize ? 0.8f : 2.4f);
    std::fill(s.rate.begin(), s.rate.end(), SAMPLE_RATE / holdStep / 10.0f);
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const auto io = s.streams();
    for (auto _ : state) {
        if (linear) {
            dsp::processLinear(r, io, SAMPLE_RATE, mode, 0, BLOCK);
        } else {
            dsp::processStep(r, io, SAMPLE_RATE, mode, 0, BLOCK);
        }
        benchmark::ClobberMemory();
    }
    perSample(state, BLOCK);
}
BENCHMARK(BM_Loop)
    ->ArgNames({"linear", "mode", "quant", "step_x1000"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}, {0, 1}, {1000, 2500, 4000, 11025, 100000}});

// Blocks through the process entry of a real object: the per-call overhead.
struct OpenObject {
    Signal signal;
    ModuleBlock* block;
    static intptr_t GRINDLET_CDECL host(ModuleBlock*, int32_t opcode, int32_t, int32_t, void*, float) {
        return opcode == HOST_GET_PIN_COUNT ? 6 : 0;
    }
    OpenObject() {
        block = (new ReducerModule(&host, nullptr))->getBlock();
        block->dispatcher(block, OP_OPEN, 0, 0, nullptr, 0.0f);
        float* streams[4] = {signal.input.data(), signal.bits.data(), signal.rate.data(), signal.output.data()};
        for (int32_t pin = 0; pin < 4; ++pin) {
            PinInfo info{};
            block->dispatcher(block, OP_GET_PIN_INFO, pin, 0, &info, 0.0f);
            std::memcpy(info.variable, &streams[pin], sizeof(float*));
        }
        std::fill(signal.bits.begin(), signal.bits.end(), 0.8f);
        std::fill(signal.rate.begin(), signal.rate.end(), 1000.0f);
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
    perSample(state, BLOCK / count * count);
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
    perSample(state, 1000 * 64);
}
BENCHMARK(BM_ThousandObjects);

// "Bits" changing on every block (pow each call) against held steady.
void BM_BitsChanging(benchmark::State& state) {
    const bool changing = state.range(0) != 0;
    Signal s;
    std::fill(s.rate.begin(), s.rate.end(), 1000.0f);
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
    perSample(state, BLOCK);
}
BENCHMARK(BM_BitsChanging)->ArgNames({"changing"})->Arg(0)->Arg(1);

// Input classes: 0 normal, 1 denormal, 2 NaN, 3 infinite; Step at hold 1 (every sample taken).
void BM_InputClass(benchmark::State& state) {
    const float fills[] = {0.0f, 1e-40f, std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity()};
    const auto kind = state.range(0);
    Signal s(fills[kind]);
    std::fill(s.bits.begin(), s.bits.end(), 1.6f);
    std::fill(s.rate.begin(), s.rate.end(), 4410.0f);
    dsp::RateReducerState r{};
    dsp::resetRateReducer(r, SAMPLE_RATE);
    const auto io = s.streams();
    for (auto _ : state) {
        dsp::processLinear(r, io, SAMPLE_RATE, static_cast<int16_t>(state.range(1)), 0, BLOCK);
        benchmark::ClobberMemory();
    }
    perSample(state, BLOCK);
}
BENCHMARK(BM_InputClass)->ArgNames({"class", "mode"})->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2}});

}  // namespace

BENCHMARK_MAIN();

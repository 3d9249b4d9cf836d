#include "render_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace grindlet::render {

namespace {
constexpr double PI = 3.14159265358979323846;
}  // namespace

bool ChannelRenderer::start(const host::ModuleLibrary& library, const RenderOptions& renderOptions,
                            int32_t sampleRate, int32_t channelCount, std::string& error) {
    options = &renderOptions;
    channels = channelCount;
    for (int32_t channel = 0; channel < channels; ++channel) {
        auto module = std::make_unique<host::HostedModule>(library);
        if (!module->make(error)) return false;
        module->setSampleRate(static_cast<float>(sampleRate));
        module->setBlockSize(options->block);
        module->describePins();
        pins.push_back(host::findEffectPins(*module));
        if (!pins.back().complete()) {
            error = "the module does not describe the effect's six pins";
            return false;
        }
        module->allocateBuffers(options->block);
        module->open();
        module->setListValue(pins.back().quantMode, options->quant);
        module->setListValue(pins.back().rateMode, options->mode);
        module->sendPinStatus(pins.back().input, STATUS_STREAMING);
        modules.push_back(std::move(module));
    }
    levels.reset(static_cast<float>(sampleRate), options->levels);
    dry.assign(static_cast<size_t>(options->block), 0.0f);
    return true;
}

void ChannelRenderer::process(const float* in, float* out, int64_t frames, int64_t position,
                              int64_t totalFrames) {
    for (int64_t done = 0; done < frames; done += options->block) {
        const auto count = static_cast<int32_t>(std::min<int64_t>(options->block, frames - done));
        const int64_t start = position + done;
        const double fraction =
            totalFrames > 1
                ? std::min(1.0, static_cast<double>(start) / static_cast<double>(totalFrames - 1))
                : 0.0;
        const float bits = bitsStreamValue(options->bits.at(fraction));
        const float rate = rateStreamValue(options->rate.at(fraction));
        // The levels at rest (their defaults): the module's output is the output.
        const bool idle = levels.idle();
        dsp::LevelStage blockEnd;
        for (int32_t channel = 0; channel < channels; ++channel) {
            host::HostedModule& module = *modules[static_cast<size_t>(channel)];
            const host::EffectPins& p = pins[static_cast<size_t>(channel)];
            float* input = module.buffer(p.input);
            module.buffer(p.bits)[0] = bits;
            module.buffer(p.rate)[0] = rate;
            if (idle) {
                for (int32_t i = 0; i < count; ++i) input[i] = in[(done + i) * channels + channel];
                module.process(0, count);
                const float* output = module.buffer(p.output);
                for (int32_t i = 0; i < count; ++i)
                    out[(done + i) * channels + channel] = output[i];
                continue;
            }
            for (int32_t i = 0; i < count; ++i) dry[i] = in[(done + i) * channels + channel];
            // Every channel starts the block from the same gains.
            dsp::LevelStage stage = levels;
            for (int32_t at = 0; at < count; at += dsp::LevelStage::CHUNK) {
                const int32_t n = std::min(dsp::LevelStage::CHUNK, count - at);
                stage.advance(n);
                if (stage.drives()) {
                    stage.driveInto(dry.data() + at, input + at, n);
                } else {
                    std::memcpy(input + at, dry.data() + at, sizeof(float) * size_t(n));
                }
            }
            module.process(0, count);
            const float* output = module.buffer(p.output);
            float* wet = module.buffer(p.input);  // free again: the module has read it
            stage = levels;
            for (int32_t at = 0; at < count; at += dsp::LevelStage::CHUNK) {
                const int32_t n = std::min(dsp::LevelStage::CHUNK, count - at);
                stage.advance(n);
                if (stage.blends()) {
                    stage.finish(dry.data() + at, output + at, wet + at, n);
                } else {
                    std::memcpy(wet + at, output + at, sizeof(float) * size_t(n));
                }
            }
            for (int32_t i = 0; i < count; ++i) out[(done + i) * channels + channel] = wet[i];
            blockEnd = stage;
        }
        if (!idle) levels = blockEnd;
    }
}

int64_t DemoSignal::read(float* samples, int64_t frames) {
    const int64_t sweepFrames = 2 * SAMPLE_RATE;
    const int64_t n = std::min(frames, FRAMES - position);
    for (int64_t k = 0; k < n; ++k, ++position) {
        const double t = static_cast<double>(position % sweepFrames) / SAMPLE_RATE;
        if (position < sweepFrames) {
            // Exponential sweep 80 Hz -> 5 kHz: the aliasing moves against it as it rises.
            const double f0 = 80.0, f1 = 5000.0, seconds = 2.0;
            const double rise = std::log(f1 / f0) / seconds;
            samples[k] =
                static_cast<float>(0.7 * std::sin(2 * PI * f0 * (std::exp(rise * t) - 1) / rise));
        } else {
            // A minor chord with a slow decay: the quantization noise grows as it fades.
            double v = 0;
            for (double f : {220.0, 261.63, 329.63, 440.0}) v += std::sin(2 * PI * f * t);
            samples[k] = static_cast<float>(0.2 * v * std::exp(-1.2 * t));
        }
    }
    return n;
}

}  // namespace grindlet::render

#include "render_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/portable_math.h"

namespace grindlet::render {

namespace {

// Interleaved frames into one block per channel and back: mono and stereo get loops of their
// own, which the compiler keeps in registers (most files are one or the other).
void deinterleave(const float* in, int32_t channels, int32_t count, float* const* blocks) {
    if (channels == 1) {
        std::memcpy(blocks[0], in, sizeof(float) * size_t(count));
    } else if (channels == 2) {
        float* __restrict left = blocks[0];
        float* __restrict right = blocks[1];
        for (int32_t i = 0; i < count; ++i) {
            left[i] = in[2 * i];
            right[i] = in[2 * i + 1];
        }
    } else {
        for (int32_t channel = 0; channel < channels; ++channel) {
            float* __restrict block = blocks[channel];
            for (int32_t i = 0; i < count; ++i) block[i] = in[i * channels + channel];
        }
    }
}

void interleave(const float* const* blocks, int32_t channels, int32_t count, float* out) {
    if (channels == 1) {
        std::memcpy(out, blocks[0], sizeof(float) * size_t(count));
    } else if (channels == 2) {
        const float* __restrict left = blocks[0];
        const float* __restrict right = blocks[1];
        for (int32_t i = 0; i < count; ++i) {
            out[2 * i] = left[i];
            out[2 * i + 1] = right[i];
        }
    } else {
        for (int32_t channel = 0; channel < channels; ++channel) {
            const float* __restrict block = blocks[channel];
            for (int32_t i = 0; i < count; ++i) out[i * channels + channel] = block[i];
        }
    }
}
}  // namespace

bool ChannelRenderer::start(const EffectMaker& make, const RenderOptions& renderOptions,
                            int32_t sampleRate, int32_t channelCount, std::string& error) {
    options = &renderOptions;
    channels = channelCount;
    const EffectSetup setup{static_cast<float>(sampleRate), options->block, options->quant,
                            options->mode};
    for (int32_t channel = 0; channel < channels; ++channel) {
        auto crusher = make(setup, error);
        if (!crusher) return false;
        crushers.push_back(std::move(crusher));
    }
    inputs.resize(static_cast<size_t>(channels));
    outputs.resize(static_cast<size_t>(channels));
    levels.reset(static_cast<float>(sampleRate), options->levels);
    dry.assign(static_cast<size_t>(options->block), 0.0f);
    wet.assign(static_cast<size_t>(options->block), 0.0f);
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
        const float* blockIn = in + done * channels;
        float* blockOut = out + done * channels;
        // The levels at rest (their defaults): the crushers' output is the output.
        if (levels.idle()) {
            for (int32_t channel = 0; channel < channels; ++channel)
                inputs[size_t(channel)] = crushers[size_t(channel)]->input();
            deinterleave(blockIn, channels, count, inputs.data());
            for (int32_t channel = 0; channel < channels; ++channel)
                outputs[size_t(channel)] = crushers[size_t(channel)]->process(bits, rate, count);
            interleave(outputs.data(), channels, count, blockOut);
            continue;
        }
        dsp::LevelStage blockEnd;
        for (int32_t channel = 0; channel < channels; ++channel) {
            ChannelEffect& crusher = *crushers[static_cast<size_t>(channel)];
            float* input = crusher.input();
            for (int32_t i = 0; i < count; ++i) dry[i] = blockIn[i * channels + channel];
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
            const float* output = crusher.process(bits, rate, count);
            stage = levels;
            for (int32_t at = 0; at < count; at += dsp::LevelStage::CHUNK) {
                const int32_t n = std::min(dsp::LevelStage::CHUNK, count - at);
                stage.advance(n);
                if (stage.blends()) {
                    stage.finish(dry.data() + at, output + at, wet.data() + at, n);
                } else {
                    std::memcpy(wet.data() + at, output + at, sizeof(float) * size_t(n));
                }
            }
            for (int32_t i = 0; i < count; ++i) blockOut[i * channels + channel] = wet[i];
            blockEnd = stage;
        }
        levels = blockEnd;
    }
}

int64_t DemoSignal::read(float* samples, int64_t frames) {
    const int64_t sweepFrames = 2 * SAMPLE_RATE;
    const int64_t n = std::min(frames, FRAMES - position);
    for (int64_t k = 0; k < n; ++k, ++position) {
        const double t = static_cast<double>(position % sweepFrames) / SAMPLE_RATE;
        if (position < sweepFrames) {
            // Exponential sweep of six octaves, 80 Hz -> 5120 Hz: the aliasing moves against it
            // as it rises. Its phase, in turns, integrates 80 * 2^(3t).
            constexpr double F0 = 80.0, OCTAVES_PER_SECOND = 3.0;
            constexpr double LN2 = 0.69314718055994530942;
            const double turns =
                F0 * (powerOfTwo(OCTAVES_PER_SECOND * t) - 1.0) / (OCTAVES_PER_SECOND * LN2);
            samples[k] = static_cast<float>(0.7 * sineOfTurns(turns));
        } else {
            // A minor chord with a slow decay (e^(-1.2 t)): the quantization noise grows as it
            // fades.
            constexpr double LOG2E = 1.4426950408889634074;
            double v = 0;
            for (double f : {220.0, 261.63, 329.63, 440.0}) v += sineOfTurns(f * t);
            samples[k] = static_cast<float>(0.2 * v * powerOfTwo(-1.2 * LOG2E * t));
        }
    }
    return n;
}

}  // namespace grindlet::render

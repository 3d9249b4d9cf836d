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

void interleave(float* const* blocks, int32_t channels, int32_t count, float* out) {
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

void ChannelRenderer::start(dsp::ChannelCrusher* crusher, const RenderOptions& options,
                            int32_t sampleRate, int32_t channelCount, int64_t totalFrames) {
    channels = channelCount;
    block = options.block;
    engine = std::make_unique<dsp::Engine>(sampleRate, channels);
    engine->plugIn(crusher);
    engine->setBlockFrames(block);
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
        const auto control = static_cast<dsp::ControlIndex>(i);
        const Sweep& sweep = options.controls[i];
        if (sweep.constant()) {
            engine->set(control, sweep.from);
        } else {
            engine->sweep(control, sweep.from, sweep.to, totalFrames);
        }
    }
    // Input and output apart: the Step loop's fastest path needs the output clear of the input.
    const size_t blockSamples = static_cast<size_t>(block);
    planar.assign(2 * static_cast<size_t>(channels) * blockSamples, 0.0f);
    inputBlocks.resize(static_cast<size_t>(channels));
    inputs.resize(static_cast<size_t>(channels));
    outputs.resize(static_cast<size_t>(channels));
    for (size_t channel = 0; channel < static_cast<size_t>(channels); ++channel) {
        inputBlocks[channel] = planar.data() + 2 * channel * blockSamples;
        inputs[channel] = inputBlocks[channel];
        outputs[channel] = inputBlocks[channel] + blockSamples;
    }
}

void ChannelRenderer::process(const float* in, float* out, int64_t frames) {
    for (int64_t done = 0; done < frames; done += block) {
        const auto count = static_cast<int32_t>(std::min<int64_t>(block, frames - done));
        deinterleave(in + done * channels, channels, count, inputBlocks.data());
        engine->process(inputs.data(), outputs.data(), count);
        interleave(outputs.data(), channels, count, out + done * channels);
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

// Rendering a stream of audio a chunk at a time: interleaved frames through the engine (its
// own reducers, or a module file's objects plugged into it), and the built-in demo signal.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/engine.h"
#include "render_options.h"

namespace grindlet::render {

class ChannelRenderer {
public:
    // The options' controls over a stream of `totalFrames` frames (the sweeps' length; -1 where
    // unknown: a sweep then stays at its start). crusher: a module's objects, or null for the
    // engine's own reducers; it must outlive the renderer.
    void start(dsp::ChannelCrusher* crusher, const RenderOptions& options, int32_t sampleRate,
               int32_t channels, int64_t totalFrames);
    // Renders the stream's next `frames` interleaved frames; in and out may be the same buffer.
    void process(const float* in, float* out, int64_t frames);

private:
    std::unique_ptr<dsp::Engine> engine;
    int32_t channels = 0;
    int32_t block = 0;
    std::vector<float> planar;  // a block of each channel, in and out
    std::vector<float*> inputBlocks;
    std::vector<const float*> inputs;
    std::vector<float*> outputs;
};

// A few seconds that make the effect obvious: a rising sine sweep, then a chord. Mono.
class DemoSignal {
public:
    static constexpr int32_t SAMPLE_RATE = 44100;
    static constexpr int64_t FRAMES = 4 * SAMPLE_RATE;
    // Fills up to `frames` samples from the current position; returns how many (0 at the end).
    int64_t read(float* samples, int64_t frames);

private:
    int64_t position = 0;
};

}  // namespace grindlet::render

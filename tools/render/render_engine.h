// Rendering a stream of audio a chunk at a time: one crusher per channel (the signal code or a
// module file's object) and the levels around it, and the built-in demo signal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "channel_effect.h"
#include "dsp/level_stage.h"
#include "render_options.h"

namespace grindlet::render {

// One crusher per channel, the file's sample rate given to each, fed block by block.
class ChannelRenderer {
public:
    bool start(const EffectMaker& make, const RenderOptions& options, int32_t sampleRate,
               int32_t channels, std::string& error);
    // Renders `frames` interleaved frames starting at frame `position` of a stream of
    // `totalFrames` (the sweeps' length). in and out may be the same buffer.
    void process(const float* in, float* out, int64_t frames, int64_t position,
                 int64_t totalFrames);

private:
    const RenderOptions* options = nullptr;
    int32_t channels = 0;
    std::vector<std::unique_ptr<ChannelEffect>> crushers;
    std::vector<float*> inputs;         // each crusher's input block
    std::vector<const float*> outputs;  // and its output, once run
    dsp::LevelStage levels;             // drive, mix and output gain around every channel's crusher
    std::vector<float> dry;             // one channel's block as read, before the drive
    std::vector<float> wet;             // one channel's block after the output gain and the mix
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

// Rendering a stream of audio through the module a chunk at a time: one module object per
// channel (and the levels around it), and the built-in demo signal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dsp/level_stage.h"
#include "host/hosted_module.h"
#include "host/module_library.h"
#include "render_options.h"
#include "tools/scenario.h"

namespace grindlet::render {

// One module object per channel, the file's sample rate given to each, fed block by block.
class ChannelRenderer {
public:
    bool start(const host::ModuleLibrary& library, const RenderOptions& options, int32_t sampleRate,
               int32_t channels, std::string& error);
    // Renders `frames` interleaved frames starting at frame `position` of a stream of
    // `totalFrames` (the sweeps' length). in and out may be the same buffer.
    void process(const float* in, float* out, int64_t frames, int64_t position,
                 int64_t totalFrames);

private:
    const RenderOptions* options = nullptr;
    int32_t channels = 0;
    std::vector<std::unique_ptr<host::HostedModule>> modules;
    std::vector<host::EffectPins> pins;
    dsp::LevelStage levels;  // drive, mix and output gain around every channel's module
    std::vector<float> dry;  // one channel's block as read, before the drive
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

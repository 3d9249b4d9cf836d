// Rendering a stream of audio through the module a chunk at a time: one module object per
// channel, the built-in demo signal, and the window of the first channel that the plot shows.
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

// Axis ticks at round values (multiples of 1, 2, 2.5 or 5 times a power of ten) between low
// and high, at most `most` steps apart in all, and the decimals their labels need.
struct RoundTicks {
    std::vector<double> values;
    int decimals = 0;
};
RoundTicks roundTicks(double low, double high, int most);

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

// The first channel's input and output over [first, first + length), kept as they stream by.
class PlotWindow {
public:
    // The most samples a plot draws: a picture of more shows nothing more, and they are held
    // in memory (two floats each) until the plot is written.
    static constexpr int64_t MOST_FRAMES = 1 << 20;
    PlotWindow(int64_t firstFrame, int64_t frames) : first(firstFrame), length(frames) {}
    void capture(const float* in, const float* out, int64_t frames, int64_t position,
                 int32_t channels);
    // Whether the stream reached the window's start.
    bool reached() const { return !input.empty(); }
    // Writes the SVG.
    bool write(std::FILE* file, const RenderOptions& options, int32_t sampleRate,
               int64_t totalFrames) const;

private:
    int64_t first;
    int64_t length;
    std::vector<float> input;
    std::vector<float> output;
};

}  // namespace grindlet::render

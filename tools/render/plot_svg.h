// The plot: the first channel's input and output over a short window, kept as they stream by,
// drawn as an SVG with axes at round values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "render_options.h"

namespace grindlet::render {

// Axis ticks at round values (multiples of 1, 2, 2.5 or 5 times a power of ten) between low
// and high, at most `most` steps apart in all, and the decimals their labels need.
struct RoundTicks {
    std::vector<double> values;
    int decimals = 0;
};
RoundTicks roundTicks(double low, double high, int most);

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

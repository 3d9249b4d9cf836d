#include "plot_svg.h"

#include <algorithm>
#include <cmath>

#include "spectrum_svg.h"

namespace grindlet::render {

RoundTicks roundTicks(double low, double high, int most) {
    RoundTicks ticks;
    if (!(high > low) || most < 1) return ticks;
    // The smallest of 1, 2, 2.5 and 5 times a power of ten that needs at most `most` ticks.
    const double rough = (high - low) / most;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10.0 * power;
    for (double mantissa : {1.0, 2.0, 2.5, 5.0}) {
        if (mantissa * power >= rough) {
            step = mantissa * power;
            break;
        }
    }
    // Ticks on the step's own multiples, counted in whole steps so that none drifts.
    const double first = std::ceil(low / step - 1e-9), last = std::floor(high / step + 1e-9);
    for (double k = first; k <= last; ++k) ticks.values.push_back(k * step == 0.0 ? 0.0 : k * step);
    // As many decimals as the step has: 0.25 needs two, 5 none.
    while (ticks.decimals < 9) {
        const double scaled = step * std::pow(10.0, ticks.decimals);
        if (std::fabs(scaled - std::round(scaled)) < 1e-6 * scaled) break;
        ++ticks.decimals;
    }
    return ticks;
}

void PlotWindow::capture(const float* in, const float* out, int64_t frames, int64_t position,
                         int32_t channels) {
    const int64_t from = std::max(first, position);
    const int64_t to = std::min(first + length, position + frames);
    for (int64_t frame = from; frame < to; ++frame) {
        input.push_back(in[(frame - position) * channels]);
        output.push_back(out[(frame - position) * channels]);
    }
}

bool PlotWindow::write(std::FILE* file, const RenderOptions& options, int32_t sampleRate,
                       int64_t totalFrames) const {
    const auto count = static_cast<int64_t>(input.size());
    if (count == 0) return false;
    if (options.spectrum) {
        char title[160];
        std::snprintf(title, sizeof title,
                      "QZ-Grindlet: spectra of input and output, %.3f s to %.3f s", options.at,
                      double(first + count) / sampleRate);
        return writeSpectra(file, input, output, sampleRate, title);
    }
    const int64_t last = first + count;
    auto inAt = [&](int64_t frame) { return input[static_cast<size_t>(frame - first)]; };
    auto outAt = [&](int64_t frame) { return output[static_cast<size_t>(frame - first)]; };
    float peak = 0.0f;
    for (int64_t i = first; i < last; ++i)
        peak = std::max({peak, std::fabs(inAt(i)), std::fabs(outAt(i))});
    const double range = peak > 0 && std::isfinite(peak) ? std::ceil(peak * 10.0) / 10.0 : 1.0;
    constexpr double width = 1000, height = 520, left = 70, right = 40, top = 50, bottom = 60;
    const double plotW = width - left - right, plotH = height - top - bottom;
    const double ms0 = 1000.0 * static_cast<double>(first) / sampleRate;
    const double ms1 = 1000.0 * static_cast<double>(last) / sampleRate;
    auto x = [&](double ms) { return left + (ms - ms0) / (ms1 - ms0) * plotW; };
    auto y = [&](double v) {
        return top + (range - std::clamp(v, -range, range)) / (2 * range) * plotH;
    };
    auto msOf = [&](int64_t i) { return 1000.0 * static_cast<double>(i) / sampleRate; };
    const double fraction =
        totalFrames > 1
            ? std::min(1.0, static_cast<double>(first) / static_cast<double>(totalFrames - 1))
            : 0.0;
    const double bits = options.control(dsp::CONTROL_BITS).at(fraction);
    const double hertz = options.control(dsp::CONTROL_RATE).at(fraction);
    std::fprintf(file,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                 "font-family=\"sans-serif\" font-size=\"13\">\n<rect width=\"100%%\" "
                 "height=\"100%%\" fill=\"white\"/>\n",
                 width, height);
    std::fprintf(file,
                 "<text x=\"%g\" y=\"28\" font-size=\"16\">QZ-Grindlet: %.3g bits (%s), %.6g Hz "
                 "(%s), at %.3f s</text>\n",
                 left, bits, dsp::QUANTIZE_NAMES[options.choice(dsp::CONTROL_QUANTIZE)], hertz,
                 dsp::MODE_NAMES[options.choice(dsp::CONTROL_MODE)], options.at);
    // The quantization steps, where there are few enough to see.
    if (bits > 1.0 && bits <= 23.0) {
        const double stepSize = std::pow(2.0, -(bits - 1.0));
        if (range / stepSize <= 64) {
            for (double level = -std::floor(range / stepSize) * stepSize; level <= range;
                 level += stepSize) {
                std::fprintf(
                    file,
                    "<line x1=\"%g\" x2=\"%g\" y1=\"%.2f\" y2=\"%.2f\" stroke=\"#c9b3ee\"/>\n",
                    left, left + plotW, y(level), y(level));
            }
        }
    }
    // Axes, ticks and labels.
    std::fprintf(
        file,
        "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"#444\"/>\n",
        left, top, plotW, plotH);
    const RoundTicks times = roundTicks(ms0, ms1, 10);
    for (double ms : times.values) {
        std::fprintf(file,
                     "<line x1=\"%.2f\" x2=\"%.2f\" y1=\"%g\" y2=\"%g\" stroke=\"#444\"/><text "
                     "x=\"%.2f\" y=\"%g\" text-anchor=\"middle\">%.*f</text>\n",
                     x(ms), x(ms), top + plotH, top + plotH + 5, x(ms), top + plotH + 20,
                     times.decimals, ms);
    }
    const RoundTicks levels = roundTicks(-range, range, 8);
    for (double v : levels.values) {
        std::fprintf(file,
                     "<line x1=\"%g\" x2=\"%g\" y1=\"%.2f\" y2=\"%.2f\" stroke=\"#444\"/><text "
                     "x=\"%g\" y=\"%.2f\" text-anchor=\"end\">%.*f</text>\n",
                     left - 5, left, y(v), y(v), left - 8, y(v) + 4, levels.decimals, v);
    }
    std::fprintf(file, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">time (ms)</text>\n",
                 left + plotW / 2, height - 15);
    std::fprintf(file,
                 "<text transform=\"translate(18 %g) rotate(-90)\" "
                 "text-anchor=\"middle\">amplitude</text>\n",
                 top + plotH / 2);
    // Input as a line through its samples, output as the staircase the module holds.
    std::fprintf(file, "<polyline fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"1.5\" points=\"");
    for (int64_t i = first; i < last; ++i) std::fprintf(file, "%.2f,%.2f ", x(msOf(i)), y(inAt(i)));
    std::fprintf(file, "\"/>\n<path fill=\"none\" stroke=\"#d62728\" stroke-width=\"1.5\" d=\"");
    for (int64_t i = first; i < last; ++i) {
        const double v = y(outAt(i));
        if (i == first) {
            std::fprintf(file, "M%.2f,%.2f ", x(msOf(i)), v);
        } else {
            std::fprintf(file, "V%.2f ", v);
        }
        std::fprintf(file, "H%.2f ", x(msOf(std::min(i + 1, last - 1))));
    }
    std::fprintf(file, "\"/>\n");
    std::fprintf(file,
                 "<line x1=\"%g\" x2=\"%g\" y1=\"40\" y2=\"40\" stroke=\"#1f77b4\" "
                 "stroke-width=\"3\"/><text x=\"%g\" y=\"44\">input</text>\n",
                 width - 250, width - 225, width - 220);
    std::fprintf(file,
                 "<line x1=\"%g\" x2=\"%g\" y1=\"40\" y2=\"40\" stroke=\"#d62728\" "
                 "stroke-width=\"3\"/><text x=\"%g\" y=\"44\">output</text>\n",
                 width - 150, width - 125, width - 120);
    std::fprintf(file, "</svg>\n");
    return std::ferror(file) == 0;
}

}  // namespace grindlet::render

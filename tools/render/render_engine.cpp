#include "render_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
    const double bits = options.bits.at(fraction), hertz = options.rate.at(fraction);
    std::fprintf(file,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                 "font-family=\"sans-serif\" font-size=\"13\">\n<rect width=\"100%%\" "
                 "height=\"100%%\" fill=\"white\"/>\n",
                 width, height);
    static const char* quantNames[] = {"Floor", "Round", "Inside"};
    static const char* modeNames[] = {"Step", "Linear"};
    std::fprintf(file,
                 "<text x=\"%g\" y=\"28\" font-size=\"16\">QZ-Grindlet: %.3g bits (%s), %.6g Hz "
                 "(%s), at %.3f s</text>\n",
                 left, bits, quantNames[options.quant], hertz, modeNames[options.mode], options.at);
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

#include "render_engine.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "host/scenario.h"

namespace grindlet::render {

namespace {
constexpr double PI = 3.14159265358979323846;

int subtypeFor(const std::string& format, int fallback) {
    if (format == "pcm16") return SF_FORMAT_PCM_16;
    if (format == "pcm24") return SF_FORMAT_PCM_24;
    if (format == "pcm32") return SF_FORMAT_PCM_32;
    if (format == "float") return SF_FORMAT_FLOAT;
    if (format == "double") return SF_FORMAT_DOUBLE;
    return fallback;
}
}  // namespace

bool readAudio(const std::string& path, Audio& audio, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    audio.sampleRate = info.samplerate;
    audio.channels = info.channels;
    audio.subtype = info.format & SF_FORMAT_SUBMASK;
    audio.samples.assign(static_cast<size_t>(info.frames) * info.channels, 0.0f);
    const sf_count_t read = sf_readf_float(file, audio.samples.data(), info.frames);
    sf_close(file);
    audio.samples.resize(static_cast<size_t>(read) * info.channels);
    if (info.channels < 1) {
        error = path + " has no channels";
        return false;
    }
    return true;
}

bool writeAudio(const std::string& path, const Audio& audio, const std::string& format,
                std::string& error) {
    SF_INFO info{};
    info.samplerate = audio.sampleRate;
    info.channels = audio.channels;
    info.format = SF_FORMAT_WAV | subtypeFor(format, audio.subtype);
    if (!sf_format_check(&info)) info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;  // e.g. from Vorbis
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    // Integer formats clip rather than wrap out-of-range samples.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const sf_count_t written = sf_writef_float(file, audio.samples.data(), audio.frames());
    sf_close(file);
    if (written != audio.frames()) {
        error = "could not write all of " + path;
        return false;
    }
    return true;
}

Audio demoSignal(int32_t sampleRate) {
    Audio audio;
    audio.sampleRate = sampleRate;
    audio.channels = 1;
    audio.subtype = SF_FORMAT_PCM_16;
    const int32_t sweepFrames = 2 * sampleRate, chordFrames = 2 * sampleRate;
    audio.samples.resize(static_cast<size_t>(sweepFrames + chordFrames));
    // Exponential sweep 80 Hz -> 5 kHz: the aliasing moves against it as it rises.
    const double f0 = 80.0, f1 = 5000.0, seconds = 2.0;
    for (int32_t i = 0; i < sweepFrames; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        const double k = std::log(f1 / f0) / seconds;
        audio.samples[i] = static_cast<float>(0.7 * std::sin(2 * PI * f0 * (std::exp(k * t) - 1) / k));
    }
    // A minor chord with a slow decay: the quantization noise grows as it fades.
    const double notes[] = {220.0, 261.63, 329.63, 440.0};
    for (int32_t i = 0; i < chordFrames; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        double v = 0;
        for (double f : notes) v += std::sin(2 * PI * f * t);
        audio.samples[sweepFrames + i] = static_cast<float>(0.2 * v * std::exp(-1.2 * t));
    }
    return audio;
}

bool renderAudio(const host::ModuleLibrary& library, const RenderOptions& options, const Audio& in,
                 Audio& out, std::string& error, const std::function<void(double)>& progress) {
    out = in;
    const int64_t frames = in.frames();
    const int32_t block = options.block;
    std::vector<std::unique_ptr<host::HostedModule>> modules;
    std::vector<host::EffectPins> pins;
    for (int32_t channel = 0; channel < in.channels; ++channel) {
        auto module = std::make_unique<host::HostedModule>(library);
        if (!module->make(error)) return false;
        module->setSampleRate(static_cast<float>(in.sampleRate));
        module->setBlockSize(block);
        module->describePins();
        pins.push_back(host::findEffectPins(*module));
        if (!pins.back().complete()) {
            error = "the module does not describe the effect's six pins";
            return false;
        }
        module->allocateBuffers(block);
        module->open();
        module->setListValue(pins.back().quantMode, options.quant);
        module->setListValue(pins.back().rateMode, options.mode);
        module->sendPinStatus(pins.back().input, STATUS_STREAMING);
        modules.push_back(std::move(module));
    }
    for (int64_t start = 0; start < frames; start += block) {
        const auto count = static_cast<int32_t>(std::min<int64_t>(block, frames - start));
        const double fraction = frames > 1 ? static_cast<double>(start) / static_cast<double>(frames - 1) : 0.0;
        const float bits = bitsStreamValue(options.bits.at(fraction));
        const float rate = rateStreamValue(options.rate.at(fraction));
        for (int32_t channel = 0; channel < in.channels; ++channel) {
            host::HostedModule& module = *modules[channel];
            const host::EffectPins& p = pins[channel];
            float* input = module.buffer(p.input);
            for (int32_t i = 0; i < count; ++i) input[i] = in.at(start + i, channel);
            module.buffer(p.bits)[0] = bits;
            module.buffer(p.rate)[0] = rate;
            module.process(0, count);
            const float* output = module.buffer(p.output);
            for (int32_t i = 0; i < count; ++i) out.at(start + i, channel) = output[i];
        }
        if (progress) progress(static_cast<double>(start + count) / static_cast<double>(frames));
    }
    return true;
}

bool writePlot(const std::string& path, const RenderOptions& options, const Audio& in,
               const Audio& out, std::string& error) {
    const int64_t first = static_cast<int64_t>(options.at * in.sampleRate);
    const int64_t count = std::max<int64_t>(2, static_cast<int64_t>(options.window * in.sampleRate));
    if (first >= in.frames()) {
        error = "--at is past the end of the audio";
        return false;
    }
    const int64_t last = std::min(in.frames(), first + count);
    float peak = 0.0f;
    for (int64_t i = first; i < last; ++i) {
        peak = std::max({peak, std::fabs(in.at(i, 0)), std::fabs(out.at(i, 0))});
    }
    const double range = peak > 0 && std::isfinite(peak) ? std::ceil(peak * 10.0) / 10.0 : 1.0;
    constexpr double width = 1000, height = 520, left = 70, right = 20, top = 50, bottom = 60;
    const double plotW = width - left - right, plotH = height - top - bottom;
    const double ms0 = 1000.0 * static_cast<double>(first) / in.sampleRate;
    const double ms1 = 1000.0 * static_cast<double>(last) / in.sampleRate;
    auto x = [&](double ms) { return left + (ms - ms0) / (ms1 - ms0) * plotW; };
    auto y = [&](double v) { return top + (range - std::clamp(v, -range, range)) / (2 * range) * plotH; };
    auto msOf = [&](int64_t i) { return 1000.0 * static_cast<double>(i) / in.sampleRate; };
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    const double fraction = in.frames() > 1 ? static_cast<double>(first) / static_cast<double>(in.frames() - 1) : 0.0;
    const double bits = options.bits.at(fraction), hertz = options.rate.at(fraction);
    std::fprintf(file, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                 "font-family=\"sans-serif\" font-size=\"13\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 width, height);
    static const char* quantNames[] = {"Floor", "Round", "Inside"};
    static const char* modeNames[] = {"Step", "Linear"};
    std::fprintf(file, "<text x=\"%g\" y=\"28\" font-size=\"16\">QZ-Grindlet: %.3g bits (%s), %.6g Hz (%s), at %.3f s</text>\n",
                 left, bits, quantNames[options.quant], hertz, modeNames[options.mode], options.at);
    // The quantization steps, where there are few enough to see.
    if (bits > 1.0 && bits <= 23.0) {
        const double stepSize = std::pow(2.0, -(bits - 1.0));
        if (range / stepSize <= 64) {
            for (double level = -std::floor(range / stepSize) * stepSize; level <= range; level += stepSize) {
                std::fprintf(file, "<line x1=\"%g\" x2=\"%g\" y1=\"%.2f\" y2=\"%.2f\" stroke=\"#c9b3ee\"/>\n",
                             left, left + plotW, y(level), y(level));
            }
        }
    }
    // Axes, ticks and labels.
    std::fprintf(file, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"#444\"/>\n", left, top, plotW, plotH);
    for (int tick = 0; tick <= 10; ++tick) {
        const double ms = ms0 + (ms1 - ms0) * tick / 10.0;
        std::fprintf(file, "<line x1=\"%.2f\" x2=\"%.2f\" y1=\"%g\" y2=\"%g\" stroke=\"#444\"/><text x=\"%.2f\" y=\"%g\" text-anchor=\"middle\">%.2f</text>\n",
                     x(ms), x(ms), top + plotH, top + plotH + 5, x(ms), top + plotH + 20, ms);
    }
    for (int tick = -4; tick <= 4; ++tick) {
        const double v = range * tick / 4.0;
        std::fprintf(file, "<line x1=\"%g\" x2=\"%g\" y1=\"%.2f\" y2=\"%.2f\" stroke=\"#444\"/><text x=\"%g\" y=\"%.2f\" text-anchor=\"end\">%.2f</text>\n",
                     left - 5, left, y(v), y(v), left - 8, y(v) + 4, v);
    }
    std::fprintf(file, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">time (ms)</text>\n", left + plotW / 2, height - 15);
    std::fprintf(file, "<text transform=\"translate(18 %g) rotate(-90)\" text-anchor=\"middle\">amplitude</text>\n", top + plotH / 2);
    // Input as a line through its samples, output as the staircase the module holds.
    std::fprintf(file, "<polyline fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"1.5\" points=\"");
    for (int64_t i = first; i < last; ++i) std::fprintf(file, "%.2f,%.2f ", x(msOf(i)), y(in.at(i, 0)));
    std::fprintf(file, "\"/>\n<path fill=\"none\" stroke=\"#d62728\" stroke-width=\"1.5\" d=\"");
    for (int64_t i = first; i < last; ++i) {
        const double v = y(out.at(i, 0));
        if (i == first) {
            std::fprintf(file, "M%.2f,%.2f ", x(msOf(i)), v);
        } else {
            std::fprintf(file, "V%.2f ", v);
        }
        std::fprintf(file, "H%.2f ", x(msOf(std::min(i + 1, last - 1))));
    }
    std::fprintf(file, "\"/>\n");
    std::fprintf(file, "<line x1=\"%g\" x2=\"%g\" y1=\"40\" y2=\"40\" stroke=\"#1f77b4\" stroke-width=\"3\"/><text x=\"%g\" y=\"44\">input</text>\n",
                 width - 250, width - 225, width - 220);
    std::fprintf(file, "<line x1=\"%g\" x2=\"%g\" y1=\"40\" y2=\"40\" stroke=\"#d62728\" stroke-width=\"3\"/><text x=\"%g\" y=\"44\">output</text>\n",
                 width - 150, width - 125, width - 120);
    std::fprintf(file, "</svg>\n");
    std::fclose(file);
    return true;
}

}  // namespace grindlet::render

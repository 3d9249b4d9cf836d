#include "spectrum_svg.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "dsp/portable_math.h"
#include "plot_svg.h"

namespace grindlet::render {

namespace {

constexpr size_t FFT_SIZE = 4096;
constexpr double FLOOR_DB = -140.0;

// In place, radix 2, size a power of two; twiddles from our own sine, so every build draws the
// same picture.
void fourierTransform(std::vector<std::complex<double>>& data) {
    const size_t n = data.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        for (size_t start = 0; start < n; start += length) {
            for (size_t k = 0; k < length / 2; ++k) {
                const double turns = -double(k) / double(length);
                const std::complex<double> w(sineOfTurns(turns + 0.25), sineOfTurns(turns));
                const std::complex<double> odd = w * data[start + k + length / 2];
                data[start + k + length / 2] = data[start + k] - odd;
                data[start + k] += odd;
            }
        }
    }
}

double decibels(double power) {
    constexpr double DB_PER_OCTAVE_OF_POWER = 3.0102999566398120;  // 10·log10(2)
    return power > 0.0 ? std::max(FLOOR_DB, DB_PER_OCTAVE_OF_POWER * binaryLogarithm(power))
                       : FLOOR_DB;
}

}  // namespace

std::vector<double> averageSpectrum(const std::vector<float>& samples, size_t size) {
    std::vector<double> window(size), power(size / 2 + 1, 0.0);
    double windowSum = 0.0;
    for (size_t i = 0; i < size; ++i) {
        window[i] = 0.5 - 0.5 * sineOfTurns(double(i) / double(size) + 0.25);
        windowSum += window[i];
    }
    size_t pieces = 0;
    std::vector<std::complex<double>> piece(size);
    for (size_t start = 0; pieces == 0 || start + size <= samples.size(); start += size / 2) {
        for (size_t i = 0; i < size; ++i) {
            const float x = start + i < samples.size() ? samples[start + i] : 0.0f;
            piece[i] = std::isfinite(x) ? double(x) * window[i] : 0.0;
        }
        fourierTransform(piece);
        for (size_t k = 0; k < power.size(); ++k) power[k] += std::norm(piece[k]);
        ++pieces;
    }
    // A full-scale sine's bin holds (amplitude · window sum / 2)²: that is 0 dB.
    const double fullScale = (windowSum / 2.0) * (windowSum / 2.0);
    std::vector<double> spectrum(power.size());
    for (size_t k = 0; k < power.size(); ++k)
        spectrum[k] = decibels(power[k] / double(pieces) / fullScale);
    return spectrum;
}

bool writeSpectra(std::FILE* file, const std::vector<float>& input,
                  const std::vector<float>& output, int32_t sampleRate, const char* title) {
    size_t size = 256;
    while (size < FFT_SIZE && size < input.size()) size <<= 1;
    const std::vector<double> in = averageSpectrum(input, size),
                              out = averageSpectrum(output, size);
    constexpr double width = 1000, height = 520, left = 70, right = 40, top = 50, bottom = 60;
    const double plotW = width - left - right, plotH = height - top - bottom;
    const double lowest = std::max(20.0, double(sampleRate) / double(size));
    const double highest = double(sampleRate) / 2.0;
    const double octaves = binaryLogarithm(highest / lowest);
    auto x = [&](double hz) { return left + binaryLogarithm(hz / lowest) / octaves * plotW; };
    double peak = FLOOR_DB;
    for (const auto* s : {&in, &out})
        for (double v : *s) peak = std::max(peak, v);
    const double dbTop = std::ceil(peak / 10.0) * 10.0, dbBottom = dbTop - 120.0;
    auto y = [&](double db) {
        return top + (dbTop - std::clamp(db, dbBottom, dbTop)) / (dbTop - dbBottom) * plotH;
    };
    std::fprintf(file,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                 "font-family=\"sans-serif\" font-size=\"13\">\n<rect width=\"100%%\" "
                 "height=\"100%%\" fill=\"white\"/>\n<text x=\"%g\" y=\"28\" "
                 "font-size=\"16\">%s</text>\n<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" "
                 "fill=\"none\" stroke=\"#444\"/>\n",
                 width, height, left, title, left, top, plotW, plotH);
    // Frequencies at 1, 2 and 5 times powers of ten; levels every 20 dB.
    for (double decade = 10.0; decade <= highest; decade *= 10.0) {
        for (double m : {1.0, 2.0, 5.0}) {
            const double hz = m * decade;
            if (hz < lowest || hz > highest) continue;
            std::fprintf(file,
                         "<line x1=\"%.2f\" x2=\"%.2f\" y1=\"%g\" y2=\"%g\" stroke=\"#ddd\"/><text "
                         "x=\"%.2f\" y=\"%g\" text-anchor=\"middle\">%g%s</text>\n",
                         x(hz), x(hz), top, top + plotH, x(hz), top + plotH + 20,
                         hz >= 1000.0 ? hz / 1000.0 : hz, hz >= 1000.0 ? "k" : "");
        }
    }
    for (const double db : roundTicks(dbBottom, dbTop, 6).values) {
        std::fprintf(file,
                     "<line x1=\"%g\" x2=\"%g\" y1=\"%.2f\" y2=\"%.2f\" stroke=\"#ddd\"/><text "
                     "x=\"%g\" y=\"%.2f\" text-anchor=\"end\">%.0f</text>\n",
                     left, left + plotW, y(db), y(db), left - 8, y(db) + 4, db);
    }
    std::fprintf(file, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">frequency (Hz)</text>\n",
                 left + plotW / 2, height - 15);
    std::fprintf(file,
                 "<text transform=\"translate(18 %g) rotate(-90)\" "
                 "text-anchor=\"middle\">level (dB)</text>\n",
                 top + plotH / 2);
    const struct {
        const std::vector<double>* spectrum;
        const char* colour;
        const char* name;
    } curves[] = {{&in, "#1f77b4", "input"}, {&out, "#d62728", "output"}};
    double legend = width - 250;
    for (const auto& curve : curves) {
        std::fprintf(file, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.2\" points=\"",
                     curve.colour);
        for (size_t k = 1; k < curve.spectrum->size(); ++k) {
            const double hz = double(k) * double(sampleRate) / double(size);
            if (hz < lowest) continue;
            std::fprintf(file, "%.2f,%.2f ", x(hz), y((*curve.spectrum)[k]));
        }
        std::fprintf(file,
                     "\"/>\n<line x1=\"%g\" x2=\"%g\" y1=\"40\" y2=\"40\" stroke=\"%s\" "
                     "stroke-width=\"3\"/><text x=\"%g\" y=\"44\">%s</text>\n",
                     legend, legend + 25, curve.colour, legend + 30, curve.name);
        legend += 100;
    }
    std::fprintf(file, "</svg>\n");
    return std::ferror(file) == 0;
}

}  // namespace grindlet::render

// The plot's other picture: the magnitude spectra of the window's input and output on one
// chart (dB against frequency, on a log scale), where aliasing and the filters show at a glance.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace grindlet::render {

// Power spectrum in dB (0 dB: a full-scale sine) of the samples, averaged over Hann-windowed
// pieces of `size` samples (a power of two) overlapping by half; a shorter signal is one
// zero-padded piece. size / 2 + 1 bins from 0 Hz to half the sample rate.
std::vector<double> averageSpectrum(const std::vector<float>& samples, size_t size);

// Draws both spectra; false where a write failed.
bool writeSpectra(std::FILE* file, const std::vector<float>& input,
                  const std::vector<float>& output, int32_t sampleRate, const char* title);

}  // namespace grindlet::render

// Audio in and out through libsndfile, the demo signal, rendering through the module, plots.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/module_library.h"
#include "render_options.h"

namespace grindlet::render {

struct Audio {
    int32_t sampleRate = 44100;
    int32_t channels = 1;
    int32_t subtype = 0;        // libsndfile sample format of the file it came from
    std::vector<float> samples; // interleaved
    int64_t frames() const { return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0; }
    float& at(int64_t frame, int32_t channel) { return samples[static_cast<size_t>(frame * channels + channel)]; }
    float at(int64_t frame, int32_t channel) const { return samples[static_cast<size_t>(frame * channels + channel)]; }
};

bool readAudio(const std::string& path, Audio& audio, std::string& error);
// Writes WAV; format names a sample format (render_options.h) or is empty for audio.subtype.
bool writeAudio(const std::string& path, const Audio& audio, const std::string& format,
                std::string& error);

// A few seconds that make the effect obvious: a rising sine sweep, then a chord.
Audio demoSignal(int32_t sampleRate = 44100);

// One module object per channel, the file's sample rate given to each.
bool renderAudio(const host::ModuleLibrary& library, const RenderOptions& options, const Audio& in,
                 Audio& out, std::string& error,
                 const std::function<void(double)>& progress = nullptr);

// Input and output of the first channel over options.at ... at + window, as SVG.
bool writePlot(const std::string& path, const RenderOptions& options, const Audio& in,
               const Audio& out, std::string& error);

}  // namespace grindlet::render

// QZ-Grindlet as an LV2 plugin: the module's exact effect, mono and stereo, with controls in
// musicians' units. A thin adapter: run() reads the ports once and hands the engine every
// front end shares what changed (the controls take effect at the run's first frame, as the
// module reads its control streams at a block's first sample).
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "dsp/controls.h"
#include "dsp/engine.h"
#include "dsp/portable_math.h"

namespace {

namespace dsp = grindlet::dsp;

constexpr const char* MONO_URI = "urn:qz-grindlet:mono";
constexpr const char* STEREO_URI = "urn:qz-grindlet:stereo";
constexpr int MAX_CHANNELS = 2;

// The control ports follow the audio ports in the order of the table of controls, then the
// host's bypass switch.
constexpr uint32_t ENABLED_PORT = static_cast<uint32_t>(dsp::CONTROL_COUNT);
// What run() reads from the ports: every control, then the bypass switch.
constexpr uint32_t PORTS_READ = ENABLED_PORT + 1;
// After them, the meters a host shows: the input's and the output's peak in each run, in dB.
constexpr uint32_t INPUT_METER_PORT = PORTS_READ, OUTPUT_METER_PORT = PORTS_READ + 1;
// What a meter shows for silence (a host's meter needs a number).
constexpr float METER_FLOOR_DB = -90.0f;

// The loudest sample of the channels' first `frames` samples, in dB; NaN and infinities are
// left out.
float peakDecibels(const float* const* channels, int count, int64_t frames) {
    float peak = 0.0f;
    for (int c = 0; c < count; ++c) {
        const float* samples = channels[c];
        if (samples == nullptr) continue;
        for (int64_t i = 0; i < frames; ++i) {
            const float magnitude = std::fabs(samples[i]);
            peak = magnitude > peak && magnitude <= FLT_MAX ? magnitude : peak;
        }
    }
    constexpr double DB_PER_OCTAVE = 6.0205999132796239;  // 20·log10(2)
    return peak > 0.0f
               ? std::fmax(METER_FLOOR_DB,
                           static_cast<float>(DB_PER_OCTAVE * grindlet::binaryLogarithm(peak)))
               : METER_FLOOR_DB;
}
// Frames run at a time through a stand-in buffer where a host left an audio port unconnected.
constexpr int64_t STAND_IN_FRAMES = 256;

struct Grindlet {
    Grindlet(double rate, int channelCount) : channels(channelCount), engine(rate, channelCount) {}

    int channels;
    const float* input[MAX_CHANNELS] = {};
    float* output[MAX_CHANNELS] = {};
    const float* controls[dsp::CONTROL_COUNT] = {};
    const float* enabled = nullptr;
    float* meters[2] = {};  // input, output
    // The ports' values at the last run, bit for bit: a run whose ports are unchanged (almost
    // every run) hands the engine nothing. Forgotten when a control port is connected or the
    // plugin activated.
    float portsSeen[PORTS_READ] = {};
    bool portsKnown = false;
    float standInInput[STAND_IN_FRAMES] = {};
    float standInOutput[STAND_IN_FRAMES] = {};
    dsp::Engine engine;

    // Reads each port once (a host may write them from another thread) and hands the engine
    // what changed; an unconnected control reads as its default, the bypass switch as on.
    void readPorts() {
        float now[PORTS_READ];
        for (uint32_t i = 0; i < dsp::CONTROL_COUNT; ++i)
            now[i] = controls[i] != nullptr ? *controls[i]
                                            : static_cast<float>(dsp::CONTROLS[i].defaultValue);
        now[ENABLED_PORT] = enabled != nullptr ? *enabled : 1.0f;
        if (portsKnown && std::memcmp(now, portsSeen, sizeof now) == 0) return;
        for (uint32_t i = 0; i < dsp::CONTROL_COUNT; ++i)
            engine.set(static_cast<dsp::ControlIndex>(i), now[i]);
        engine.setEnabled(!(now[ENABLED_PORT] < 0.5f));
        std::memcpy(portsSeen, now, sizeof now);
        portsKnown = true;
    }

    // A host may leave an audio port unconnected: its channel reads silence and writes nowhere.
    void runWithStandIns(int64_t frames) {
        const float* in[MAX_CHANNELS];
        float* out[MAX_CHANNELS];
        for (int64_t done = 0; done < frames; done += STAND_IN_FRAMES) {
            const int64_t n = std::min(STAND_IN_FRAMES, frames - done);
            for (int c = 0; c < channels; ++c) {
                const bool whole = input[c] != nullptr && output[c] != nullptr;
                in[c] = whole ? input[c] + done : standInInput;
                out[c] = whole ? output[c] + done : standInOutput;
            }
            engine.process(in, out, n);
        }
    }
};

// Ports: the inputs, the outputs, then the controls (the Turtle is generated from the same table).
LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const*) {
    const int channels = std::strcmp(descriptor->URI, STEREO_URI) == 0 ? 2 : 1;
    return new (std::nothrow) Grindlet(rate, channels);
}

void connectPort(LV2_Handle instance, uint32_t port, void* data) {
    auto* plugin = static_cast<Grindlet*>(instance);
    const auto channels = static_cast<uint32_t>(plugin->channels);
    if (port < channels) {
        plugin->input[port] = static_cast<const float*>(data);
    } else if (port < 2 * channels) {
        plugin->output[port - channels] = static_cast<float*>(data);
    } else if (port - 2 * channels < dsp::CONTROL_COUNT) {
        plugin->controls[port - 2 * channels] = static_cast<const float*>(data);
        plugin->portsKnown = false;
    } else if (port - 2 * channels == ENABLED_PORT) {
        plugin->enabled = static_cast<const float*>(data);
        plugin->portsKnown = false;
    } else if (port - 2 * channels == INPUT_METER_PORT ||
               port - 2 * channels == OUTPUT_METER_PORT) {
        plugin->meters[port - 2 * channels - INPUT_METER_PORT] = static_cast<float*>(data);
    }
}

// As the module's open: a fresh phase, ramp and quantizer; the levels start at the ports'
// values.
void activate(LV2_Handle instance) {
    auto* plugin = static_cast<Grindlet*>(instance);
    plugin->engine.reset();
    plugin->portsKnown = false;
}

void run(LV2_Handle instance, uint32_t sampleCount) {
    auto* plugin = static_cast<Grindlet*>(instance);
    plugin->readPorts();
    for (int c = 0; c < plugin->channels; ++c) {
        if (plugin->input[c] == nullptr || plugin->output[c] == nullptr) {
            plugin->runWithStandIns(sampleCount);
            return;
        }
    }
    // The input is read before the engine runs: it may write the output over it.
    if (plugin->meters[0] != nullptr)
        *plugin->meters[0] = peakDecibels(plugin->input, plugin->channels, sampleCount);
    plugin->engine.process(plugin->input, plugin->output, sampleCount);
    if (plugin->meters[1] != nullptr)
        *plugin->meters[1] = peakDecibels(plugin->output, plugin->channels, sampleCount);
}

void cleanup(LV2_Handle instance) { delete static_cast<Grindlet*>(instance); }

const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor DESCRIPTORS[] = {
    {MONO_URI, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
    {STEREO_URI, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < sizeof DESCRIPTORS / sizeof DESCRIPTORS[0] ? &DESCRIPTORS[index] : nullptr;
}

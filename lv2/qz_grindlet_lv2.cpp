// QZ-Grindlet as an LV2 plugin: the module's exact effect, mono and stereo, with controls in
// musicians' units. The controls are read once per run() call, as the module reads its control
// streams at a block's first sample, and converted exactly as the render tool converts them.
#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "dsp/controls.h"
#include "dsp/level_stage.h"
#include "dsp/rate_reducer.h"

namespace {

using grindlet::dsp::LevelSettings;
using grindlet::dsp::LevelStage;
using grindlet::dsp::RateReducerState;
using grindlet::dsp::ReducerStreams;

constexpr const char* MONO_URI = "urn:qz-grindlet:mono";
constexpr const char* STEREO_URI = "urn:qz-grindlet:stereo";
constexpr int MAX_CHANNELS = 2;

// The control ports, in the order of the table of controls (after the audio ports), then the
// host's bypass switch.
enum class Control : uint32_t { Bits, Rate, Quantize, Mode, Drive, Mix, Gain, Count };
static_assert(static_cast<size_t>(Control::Count) == grindlet::dsp::CONTROL_COUNT);
constexpr uint32_t ENABLED_PORT = static_cast<uint32_t>(Control::Count);

// The enumerations arrive as floats: the nearest entry, and the first for anything unusable.
int16_t quantizeMode(float value) {
    if (!(value >= 0.0f && value <= 2.0f)) return grindlet::dsp::QUANT_MODE_FLOOR;
    return static_cast<int16_t>(std::lround(value));
}

// What run() reads from the ports: every control, then the bypass switch.
constexpr uint32_t PORTS_READ = ENABLED_PORT + 1;

struct Grindlet {
    int channels = 1;
    float sampleRate = 44100.0f;
    const float* input[MAX_CHANNELS] = {};
    float* output[MAX_CHANNELS] = {};
    const float* controls[static_cast<uint32_t>(Control::Count)] = {};
    const float* enabled = nullptr;
    RateReducerState state[MAX_CHANNELS] = {};
    LevelStage levels;
    bool levelsStarted = false;  // the first run after activation starts at the ports' values
    LevelSettings levelsWanted;  // the ports' values at the last run
    float driven[LevelStage::CHUNK] = {};
    float crushed[LevelStage::CHUNK] = {};
    // The ports' values at the last run, bit for bit, and the settings made of them: a run whose
    // ports are unchanged (almost every run) converts nothing. Forgotten when a control port is
    // connected (hosts connect the audio ports before many runs) or the plugin activated.
    float portsSeen[PORTS_READ] = {};
    bool portsKnown = false;
    float bitsStream = 0.0f;  // the crusher's "Bits" and "S.R." stream values
    float rateStream = 0.0f;
    int16_t quantize = grindlet::dsp::QUANT_MODE_FLOOR;
    bool linear = false;

    // A control as this run read it (0 when its port is unconnected).
    float control(Control which) const { return portsSeen[static_cast<uint32_t>(which)]; }
    // A level control's value within its range; its default when the port is unconnected or
    // the value not a number.
    double level(Control which, grindlet::dsp::ControlIndex row) const {
        const grindlet::dsp::ControlFacts& facts = grindlet::dsp::CONTROLS[row];
        const float value = control(which);
        if (controls[static_cast<uint32_t>(which)] == nullptr || std::isnan(value))
            return facts.defaultValue;
        return std::fmin(std::fmax(double(value), facts.minimum), facts.maximum);
    }

    // Makes the crusher's settings and the levels' targets from the values this run read (each
    // port is read once: a host may write them from another thread).
    void takeSettings() {
        using grindlet::dsp::CONTROLS;
        bitsStream = grindlet::dsp::streamValue(CONTROLS[grindlet::dsp::CONTROL_BITS],
                                                control(Control::Bits));
        rateStream = grindlet::dsp::streamValue(CONTROLS[grindlet::dsp::CONTROL_RATE],
                                                control(Control::Rate));
        quantize = quantizeMode(control(Control::Quantize));
        linear = control(Control::Mode) >= 0.5f;
        LevelSettings wanted;
        wanted.driveDb = level(Control::Drive, grindlet::dsp::CONTROL_DRIVE);
        wanted.mixPercent = level(Control::Mix, grindlet::dsp::CONTROL_MIX);
        wanted.gainDb = level(Control::Gain, grindlet::dsp::CONTROL_GAIN);
        wanted.enabled = !(portsSeen[ENABLED_PORT] < 0.5f);  // 1 when unconnected
        // Decibels cost a pow() each: only a changed setting is converted.
        const bool changed = wanted.driveDb != levelsWanted.driveDb ||
                             wanted.mixPercent != levelsWanted.mixPercent ||
                             wanted.gainDb != levelsWanted.gainDb ||
                             wanted.enabled != levelsWanted.enabled;
        if (!levelsStarted) {
            levels.reset(sampleRate, wanted);
            levelsStarted = true;
        } else if (changed) {
            levels.set(wanted);
        }
        levelsWanted = wanted;
    }

    // Whether a port's value changed since the last run (or nothing is known yet).
    bool portsChanged() {
        float now[PORTS_READ];
        for (uint32_t i = 0; i < static_cast<uint32_t>(Control::Count); ++i)
            now[i] = controls[i] != nullptr ? *controls[i] : 0.0f;
        now[ENABLED_PORT] = enabled != nullptr ? *enabled : 1.0f;
        if (portsKnown && std::memcmp(now, portsSeen, sizeof now) == 0) return false;
        std::memcpy(portsSeen, now, sizeof now);
        portsKnown = true;
        return true;
    }
};

// Ports: the inputs, the outputs, then the controls (the Turtle is generated from the same table).
LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const*) {
    auto* plugin = new (std::nothrow) Grindlet;
    if (plugin == nullptr) return nullptr;
    plugin->channels = std::strcmp(descriptor->URI, STEREO_URI) == 0 ? 2 : 1;
    plugin->sampleRate = static_cast<float>(rate);
    for (auto& state : plugin->state) grindlet::dsp::resetRateReducer(state, plugin->sampleRate);
    return plugin;
}

void connectPort(LV2_Handle instance, uint32_t port, void* data) {
    auto* plugin = static_cast<Grindlet*>(instance);
    const auto channels = static_cast<uint32_t>(plugin->channels);
    if (port < channels) {
        plugin->input[port] = static_cast<const float*>(data);
    } else if (port < 2 * channels) {
        plugin->output[port - channels] = static_cast<float*>(data);
    } else if (port - 2 * channels < static_cast<uint32_t>(Control::Count)) {
        plugin->controls[port - 2 * channels] = static_cast<const float*>(data);
        plugin->portsKnown = false;  // an unconnected level reads as its default, not as 0
    } else if (port - 2 * channels == ENABLED_PORT) {
        plugin->enabled = static_cast<const float*>(data);
        plugin->portsKnown = false;
    }
}

// As the module's open: a fresh phase, ramp and quantizer.
void activate(LV2_Handle instance) {
    auto* plugin = static_cast<Grindlet*>(instance);
    for (auto& state : plugin->state) grindlet::dsp::resetRateReducer(state, plugin->sampleRate);
    plugin->levelsStarted = false;
    plugin->portsKnown = false;
}

void run(LV2_Handle instance, uint32_t sampleCount) {
    auto* plugin = static_cast<Grindlet*>(instance);
    if (plugin->portsChanged()) plugin->takeSettings();
    const float bits = plugin->bitsStream;
    const float rate = plugin->rateStream;
    const int16_t quantize = plugin->quantize;
    const bool linear = plugin->linear;
    const auto count = static_cast<int32_t>(sampleCount > INT32_MAX ? INT32_MAX : sampleCount);
    const auto crush = [&](int channel, const float* in, float* out, int32_t frames) {
        const ReducerStreams streams{in, &bits, &rate, out};
        if (linear) {
            grindlet::dsp::processLinear(plugin->state[channel], streams, plugin->sampleRate,
                                         quantize, 0, frames);
        } else {
            grindlet::dsp::processStep(plugin->state[channel], streams, plugin->sampleRate,
                                       quantize, 0, frames);
        }
    };
    const bool connected[MAX_CHANNELS] = {
        plugin->input[0] != nullptr && plugin->output[0] != nullptr,
        plugin->input[1] != nullptr && plugin->output[1] != nullptr};
    // The levels at rest: the crusher writes the output itself, in one call.
    if (plugin->levels.idle()) {
        for (int channel = 0; channel < plugin->channels; ++channel) {
            if (connected[channel])
                crush(channel, plugin->input[channel], plugin->output[channel], count);
        }
        return;
    }
    for (int32_t done = 0; done < count;) {
        const int32_t frames = count - done < LevelStage::CHUNK ? count - done : LevelStage::CHUNK;
        plugin->levels.advance(frames);
        for (int channel = 0; channel < plugin->channels; ++channel) {
            if (!connected[channel]) continue;
            const float* in = plugin->input[channel] + done;
            float* out = plugin->output[channel] + done;
            const float* source = in;
            if (plugin->levels.drives()) {
                plugin->levels.driveInto(in, plugin->driven, frames);
                source = plugin->driven;
            }
            if (plugin->levels.blends()) {
                // The dry samples are read after the crusher ran: it writes elsewhere, as the
                // host may have given one buffer for input and output.
                crush(channel, source, plugin->crushed, frames);
                plugin->levels.finish(in, plugin->crushed, out, frames);
            } else {
                crush(channel, source, out, frames);
            }
        }
        done += frames;
    }
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

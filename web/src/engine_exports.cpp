// The engine for JavaScript: the entries a WebAssembly instance exports. Each handle owns one
// engine and one planar buffer per channel that JavaScript fills, processes in place and reads
// back, a render quantum at a time. Everything is allocated when a handle is made; processing
// allocates nothing.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "dsp/controls.h"
#include "dsp/engine.h"

namespace {

using grindlet::dsp::CONTROL_COUNT;
using grindlet::dsp::ControlIndex;
using grindlet::dsp::Engine;

// Web Audio's render quantum: the most frames one grindlet_process takes.
constexpr int32_t BUFFER_FRAMES = 128;
// An AudioWorkletNode's channels (its channelCount) go up to this.
constexpr int32_t MOST_WEB_CHANNELS = 32;
// The sample rates a handle takes: any a file may have, up to Web Audio's highest.
constexpr double LOWEST_RATE = 1.0;
constexpr double HIGHEST_RATE = 768000.0;

struct Handle {
    Handle(double sampleRate, int32_t channelCount) : engine(sampleRate, channelCount) {
        for (int32_t channel = 0; channel < MOST_WEB_CHANNELS; ++channel) {
            channels[channel] = buffers[channel];
        }
    }
    Engine engine;
    float* channels[MOST_WEB_CHANNELS];
    float buffers[MOST_WEB_CHANNELS][BUFFER_FRAMES] = {};
};

}  // namespace

#define GRINDLET_EXPORT(NAME) extern "C" __attribute__((export_name(#NAME)))

// A new engine at this sample rate (1 Hz to 768 kHz) for 1 to 32 channels, with every control
// at its default; null when either is out of range or memory ran out.
GRINDLET_EXPORT(grindlet_create) Handle* grindlet_create(double sampleRate, int32_t channels) {
    if (!(sampleRate >= LOWEST_RATE && sampleRate <= HIGHEST_RATE)) return nullptr;
    if (channels < 1 || channels > MOST_WEB_CHANNELS) return nullptr;
    void* memory = std::malloc(sizeof(Handle));
    return memory == nullptr ? nullptr : new (memory) Handle(sampleRate, channels);
}

GRINDLET_EXPORT(grindlet_destroy) void grindlet_destroy(Handle* handle) {
    if (handle == nullptr) return;
    handle->~Handle();
    std::free(handle);
}

// Where a channel's BUFFER_FRAMES samples live (null for a channel the engine does not have).
GRINDLET_EXPORT(grindlet_buffer) float* grindlet_buffer(Handle* handle, int32_t channel) {
    if (handle == nullptr || channel < 0 || channel >= handle->engine.channels()) return nullptr;
    return handle->buffers[channel];
}

GRINDLET_EXPORT(grindlet_buffer_frames) int32_t grindlet_buffer_frames() { return BUFFER_FRAMES; }

// A control's value in the table's units (a choice: its index), from the next process on.
GRINDLET_EXPORT(grindlet_set) void grindlet_set(Handle* handle, int32_t control, double value) {
    if (handle == nullptr || control < 0 || static_cast<size_t>(control) >= CONTROL_COUNT) return;
    handle->engine.set(static_cast<ControlIndex>(control), value);
}

GRINDLET_EXPORT(grindlet_set_enabled) void grindlet_set_enabled(Handle* handle, int32_t enabled) {
    if (handle != nullptr) handle->engine.setEnabled(enabled != 0);
}

GRINDLET_EXPORT(grindlet_reset) void grindlet_reset(Handle* handle) {
    if (handle != nullptr) handle->engine.reset();
}

// Processes the buffers' first `frames` frames (at most BUFFER_FRAMES) in place.
GRINDLET_EXPORT(grindlet_process) void grindlet_process(Handle* handle, int32_t frames) {
    if (handle == nullptr || frames <= 0) return;
    if (frames > BUFFER_FRAMES) frames = BUFFER_FRAMES;
    handle->engine.process(handle->channels, handle->channels, frames);
}

// A host at the level of the LV2 descriptor alone (no Turtle read), built for Linux and for
// Windows: loads the plugin library, checks its descriptors, and runs a fixed table of cases
// through it (mono and stereo, every control, controls and the bypass changing on the way, blocks
// of many sizes, special sample values, in place and not). Writes every output sample's bits to
// OUTPUT_FILE and one line per case (frames and a hash) to standard output. The test run runs it
// on the Linux bundle and, under wine64, on the Windows bundle, and requires the same bytes.
//   grindlet-lv2-descriptor-host LIBRARY OUTPUT_FILE
#include <lv2/core/lv2.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dsp/controls.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using grindlet::dsp::CONTROL_COUNT;
using grindlet::dsp::CONTROLS;

constexpr const char* MONO_URI = "urn:qz-grindlet:mono";
constexpr const char* STEREO_URI = "urn:qz-grindlet:stereo";
constexpr int ENABLED = -1;  // the bypass switch's place in a case's changes

// A control (by its index in the table of controls, or ENABLED) set to a value from a frame on.
struct Change {
    int control;
    float value;
    uint32_t fromFrame;
};

struct Case {
    const char* name;
    bool stereo;
    double sampleRate;
    bool inPlace;
    std::vector<Change> changes;  // applied in order; frame 0 first
};

// Blocks of these sizes in turn: single frames, odd sizes, a DAW's periods, a whole file's.
constexpr uint32_t BLOCK_SIZES[] = {1, 64, 37, 512, 4096, 300, 2, 128, 1000};
constexpr uint32_t FRAMES = 60000;

enum : int { BITS, RATE, QUANTIZE, MODE, DRIVE, MIX, GAIN };
enum : int {
    ANTIALIAS = grindlet::dsp::CONTROL_ANTIALIAS,
    TONE = grindlet::dsp::CONTROL_TONE,
    LAW = grindlet::dsp::CONTROL_LAW,
    LFO_RATE = grindlet::dsp::CONTROL_LFO_RATE,
    LFO_DEPTH = grindlet::dsp::CONTROL_LFO_DEPTH,
    LFO_SHAPE = grindlet::dsp::CONTROL_LFO_SHAPE,
    JITTER = grindlet::dsp::CONTROL_JITTER,
    DITHER = grindlet::dsp::CONTROL_DITHER,
    SEED = grindlet::dsp::CONTROL_SEED,
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"mono, defaults", false, 44100.0, false, {}},
        {"mono, 6 bits at 4 kHz, Linear, Floor",
         false,
         48000.0,
         false,
         {{BITS, 6, 0}, {RATE, 4000, 0}, {MODE, 1, 0}, {QUANTIZE, 0, 0}}},
        {"stereo, drive, mix and output",
         true,
         44100.0,
         false,
         {{DRIVE, 9, 0}, {MIX, 35, 0}, {GAIN, -6, 0}}},
        {"stereo, bypassed and back",
         true,
         96000.0,
         false,
         {{ENABLED, 0, 10000}, {ENABLED, 1, 30000}}},
        {"mono, controls changing",
         false,
         44100.0,
         false,
         {{BITS, 4, 0},
          {QUANTIZE, 2, 0},
          {BITS, 12.5f, 15000},
          {RATE, 11025, 20000},
          {MODE, 1, 25000},
          {DRIVE, -12, 30000},
          {MIX, 0, 40000},
          {MIX, 100, 45000},
          {RATE, 1000000, 50000}}},
        {"stereo, in place, Linear at 2 kHz", true, 22050.0, true, {{MODE, 1, 0}, {RATE, 2000, 0}}},
        {"mono, levels at odd decibels, changing",
         false,
         44100.0,
         false,
         {{DRIVE, 3.7f, 0},
          {GAIN, -0.1f, 0},
          {MIX, 12.5f, 0},
          {DRIVE, -17.3f, 9000},
          {GAIN, 11.9f, 18000},
          {DRIVE, 0.01f, 27000},
          {GAIN, -23.99f, 36000},
          {DRIVE, 5.55f, 45000},
          {GAIN, 1.23f, 54000}}},
        {"mono, one bit at 50 Hz, levels at their ends",
         false,
         192000.0,
         false,
         {{BITS, 1, 0}, {RATE, 50, 0}, {DRIVE, 24, 0}, {GAIN, -24, 0}}},
        // The engine's stages: our own sine, powers and logarithms, seeded randomness.
        {"stereo, every stage, seeded, changing",
         true,
         48000.0,
         false,
         {{BITS, 7.3f, 0},
          {RATE, 9876.54f, 0},
          {ANTIALIAS, 73.3f, 0},
          {TONE, 3210.7f, 0},
          {LAW, 1, 0},
          {LFO_RATE, 3.3f, 0},
          {LFO_DEPTH, 0.7f, 0},
          {JITTER, 12.5f, 0},
          {DITHER, 1, 0},
          {SEED, 12345, 0},
          {LFO_SHAPE, 2, 20000},
          {LAW, 2, 30000},
          {TONE, 800, 40000}}},
        {"mono, in place, anti-aliasing after a moving rate",
         false,
         44100.0,
         true,
         {{BITS, 10, 0},
          {ANTIALIAS, 100, 0},
          {RATE, 3000, 0},
          {LFO_DEPTH, 1.5f, 0},
          {LFO_SHAPE, 1, 0},
          {RATE, 12000, 20000}}},
    };
    return table;
}

// The input, each channel its own: noise and a tone, with special values (NaN, infinities,
// signed zeros, subnormals, overloads) at fixed frames. Made with integer and basic float
// arithmetic only, which both builds do alike (a libm's sine may differ in its last bit).
std::vector<float> inputOf(uint32_t channel) {
    std::vector<float> samples(FRAMES);
    // The tone: a point turning on a circle, by a rotation whose constants are written out.
    const double cosine = channel == 0 ? 0.99992438 : 0.99969753;
    const double sine = channel == 0 ? 0.01229969 : 0.02459752;
    double x = 0.6, y = 0.0;
    constexpr float SPECIALS[] = {std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(),
                                  -0.0f,
                                  1e-40f,
                                  -1e-42f,
                                  3.5f,
                                  -2.0f};
    for (uint32_t frame = 0; frame < FRAMES; ++frame) {
        uint32_t state = frame * 2654435761u + channel * 40503u + 12345u;
        state ^= state >> 15;
        state *= 2246822519u;
        state ^= state >> 13;
        const float noise = float(int32_t(state % 20001u) - 10000) / 40000.0f;
        samples[frame] = frame % 7919 == 11 ? SPECIALS[(frame / 7919 + channel) % 8]
                                            : noise + static_cast<float>(y);
        const double turned = x * cosine - y * sine;
        y = x * sine + y * cosine;
        x = turned;
    }
    return samples;
}

using DescriptorFunction = const LV2_Descriptor* (*)(uint32_t);

// The library's lv2_descriptor, or null with a message.
DescriptorFunction loadLibrary(const char* path) {
#ifdef _WIN32
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s (error %lu)\n", path, GetLastError());
        return nullptr;
    }
    const FARPROC symbol = GetProcAddress(library, "lv2_descriptor");
    DescriptorFunction function = nullptr;
    static_assert(sizeof symbol == sizeof function);
    std::memcpy(&function, &symbol, sizeof function);
#else
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return nullptr;
    }
    void* symbol = dlsym(library, "lv2_descriptor");
    DescriptorFunction function = nullptr;
    std::memcpy(&function, &symbol, sizeof function);
#endif
    if (function == nullptr) std::fprintf(stderr, "%s exports no lv2_descriptor\n", path);
    return function;
}

const LV2_Descriptor* find(DescriptorFunction descriptors, const char* uri) {
    for (uint32_t i = 0; const LV2_Descriptor* d = descriptors(i); ++i) {
        if (std::strcmp(d->URI, uri) == 0) return d;
    }
    return nullptr;
}

// FNV-1a over the output's bytes: one line per case, so a difference names its case.
uint64_t hashOf(const std::vector<float>& samples) {
    uint64_t hash = 14695981039346656037ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
    for (size_t i = 0; i < samples.size() * sizeof(float); ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

// Runs one case; its output, interleaved by frame, in `out`. False with a message on failure.
bool runCase(DescriptorFunction descriptors, const std::string& bundle, const Case& c,
             std::vector<float>& out) {
    const LV2_Descriptor* descriptor = find(descriptors, c.stereo ? STEREO_URI : MONO_URI);
    if (descriptor == nullptr) {
        std::fprintf(stderr, "%s: no such plugin in the library\n", c.name);
        return false;
    }
    const LV2_Feature* const features[] = {nullptr};
    LV2_Handle plugin = descriptor->instantiate(descriptor, c.sampleRate, bundle.c_str(), features);
    if (plugin == nullptr) {
        std::fprintf(stderr, "%s: instantiate failed\n", c.name);
        return false;
    }
    const uint32_t channels = c.stereo ? 2 : 1;
    float controls[CONTROL_COUNT + 1];
    for (size_t i = 0; i < CONTROL_COUNT; ++i) controls[i] = float(CONTROLS[i].defaultValue);
    controls[CONTROL_COUNT] = 1.0f;  // enabled
    for (uint32_t port = 0; port < CONTROL_COUNT + 1; ++port)
        descriptor->connect_port(plugin, 2 * channels + port, &controls[port]);
    std::vector<float> source[2], in[2], outBuffer[2];
    for (uint32_t ch = 0; ch < channels; ++ch) {
        source[ch] = inputOf(ch);
        in[ch].resize(4096);
        outBuffer[ch].resize(4096);
    }
    descriptor->activate(plugin);
    out.assign(size_t(FRAMES) * channels, 0.0f);
    size_t nextChange = 0, nextSize = 0;
    for (uint32_t frame = 0; frame < FRAMES;) {
        uint32_t count = BLOCK_SIZES[nextSize++ % std::size(BLOCK_SIZES)];
        if (count > FRAMES - frame) count = FRAMES - frame;
        // A change takes effect at the first block that starts at or after its frame.
        for (; nextChange < c.changes.size() && c.changes[nextChange].fromFrame <= frame;
             ++nextChange) {
            const Change& change = c.changes[nextChange];
            controls[change.control == ENABLED ? CONTROL_COUNT : size_t(change.control)] =
                change.value;
        }
        for (uint32_t ch = 0; ch < channels; ++ch) {
            for (uint32_t i = 0; i < count; ++i) in[ch][i] = source[ch][frame + i];
            // Ports are connected before every run, as a host may move its buffers.
            float* to = c.inPlace ? in[ch].data() : outBuffer[ch].data();
            descriptor->connect_port(plugin, ch, in[ch].data());
            descriptor->connect_port(plugin, channels + ch, to);
        }
        descriptor->run(plugin, count);
        for (uint32_t ch = 0; ch < channels; ++ch) {
            const float* from = c.inPlace ? in[ch].data() : outBuffer[ch].data();
            for (uint32_t i = 0; i < count; ++i) out[size_t(frame + i) * channels + ch] = from[i];
        }
        frame += count;
    }
    if (descriptor->deactivate != nullptr) descriptor->deactivate(plugin);
    descriptor->cleanup(plugin);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: grindlet-lv2-descriptor-host LIBRARY OUTPUT_FILE\n");
        return 2;
    }
    const DescriptorFunction descriptors = loadLibrary(argv[1]);
    if (descriptors == nullptr) return 1;
    // What any host relies on: the two plugins, then the end of the list.
    if (find(descriptors, MONO_URI) == nullptr || find(descriptors, STEREO_URI) == nullptr ||
        descriptors(2) != nullptr || descriptors(UINT32_MAX) != nullptr) {
        std::fprintf(stderr, "%s: the descriptors are not the two plugins\n", argv[1]);
        return 1;
    }
    std::string bundle = argv[1];
    bundle.erase(bundle.find_last_of("/\\") + 1);  // the library's folder, with its separator
    std::FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    std::vector<float> out;
    for (const Case& c : cases()) {
        if (!runCase(descriptors, bundle, c, out)) return 1;
        if (std::fwrite(out.data(), sizeof(float), out.size(), file) != out.size()) {
            std::fprintf(stderr, "cannot write %s\n", argv[2]);
            return 1;
        }
        std::printf("%s: %u frames, %016llx\n", c.name, FRAMES,
                    static_cast<unsigned long long>(hashOf(out)));
    }
    return std::fclose(file) == 0 ? 0 : 1;
}

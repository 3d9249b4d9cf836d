// QZ-Grindlet as an LV2 plugin: the module's exact effect, mono and stereo, with controls in
// musicians' units. A thin adapter: run() reads the ports once and hands the engine every
// front end shares what changed (the controls take effect at the run's first frame, as the
// module reads its control streams at a block's first sample).
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "dsp/controls.h"
#include "dsp/engine.h"
#include "dsp/float_bits.h"
#include "dsp/processor_versions.h"
#include "dsp/stages.h"

namespace {

namespace dsp = grindlet::dsp;

constexpr const char* MONO_URI = "urn:qz-grindlet:mono";
constexpr const char* STEREO_URI = "urn:qz-grindlet:stereo";
constexpr int MAX_CHANNELS = 2;

// The ports after the audio ones, in order: every control of the table, then these. The Turtle
// is generated from the same table (tools/generate/lv2_turtle.cpp).
enum PortAfterAudio : uint32_t {
    ENABLED_PORT = static_cast<uint32_t>(dsp::CONTROL_COUNT),  // the host's bypass switch
    // The input's and the output's level in dB, peak meters that see every sample: each holds
    // a run's loudest sample and falls back METER_FALL_DB_PER_SECOND, so a host that reads
    // them a few times a second misses no peak.
    INPUT_METER_PORT,
    OUTPUT_METER_PORT,
    // The host's transport (optional): where it starts rolling the stream starts again (see
    // transportStarts).
    TRANSPORT_PORT,
};
// What run() reads from the ports: every control, then the bypass switch.
constexpr uint32_t PORTS_READ = ENABLED_PORT + 1;
constexpr float METER_FLOOR_DB = -90.0f;  // silence (a host's meter needs a number)
constexpr double METER_FALL_DB_PER_SECOND = 20.0;

// The largest finite magnitude among `count` samples (NaN and infinities are left out).
float finitePeakOf(const float* samples, int64_t count) {
    float peak = 0.0f;
    for (int64_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        peak = magnitude > peak && magnitude <= FLT_MAX ? magnitude : peak;
    }
    return peak;
}

// The same, four vectors at a time (one accumulator would make every comparison wait for the
// one before) and a NaN left out by maxps itself (it keeps its second operand); an infinity,
// which it would keep, sends the samples to the plain loop.
GRINDLET_WIDE_TOO float peakOf(const float* samples, int64_t count) {
#if defined(__SSE2__)
    const __m128 magnitudeMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 peaks[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        for (int k = 0; k < 4; ++k)
            peaks[k] =
                _mm_max_ps(_mm_and_ps(_mm_loadu_ps(samples + i + 4 * k), magnitudeMask), peaks[k]);
    }
    float lanes[4];
    _mm_storeu_ps(lanes,
                  _mm_max_ps(_mm_max_ps(peaks[0], peaks[1]), _mm_max_ps(peaks[2], peaks[3])));
    float peak = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    peak = std::max(peak, finitePeakOf(samples + i, count - i));
    return peak <= FLT_MAX ? peak : finitePeakOf(samples, count);
#else
    return finitePeakOf(samples, count);
#endif
}

// A peak meter in dB: a run's loudest sample, or what it showed before less its fall since.
struct PeakMeter {
    float decibels = METER_FLOOR_DB;
    void show(float peak, double fallDb) {
        constexpr double DB_PER_OCTAVE = 6.0205999132796239;  // 20·log10(2)
        const double fallen = double(decibels) - fallDb;
        // The companding's logarithm: a few terms and no library call, as a display needs.
        const double heard = peak > 0.0f ? DB_PER_OCTAVE * dsp::companding::logTwo(peak) : -1e9;
        decibels = static_cast<float>(std::max({heard, fallen, double(METER_FLOOR_DB)}));
    }
};

// Frames run at a time through a stand-in buffer where a host left an audio port unconnected.
constexpr int64_t STAND_IN_FRAMES = 256;

struct Grindlet {
    Grindlet(double sampleRate, int channelCount)
        : channels(channelCount),
          rate(sampleRate),
          meterFallPerFrame(METER_FALL_DB_PER_SECOND / sampleRate),
          engine(sampleRate, channelCount) {
        for (uint32_t i = 0; i < dsp::CONTROL_COUNT; ++i)
            portDefaults[i] = static_cast<float>(dsp::CONTROLS[i].defaultValue);
        portDefaults[ENABLED_PORT] = 1.0f;
        for (uint32_t i = 0; i < PORTS_READ; ++i) ports[i] = &portDefaults[i];
    }

    int channels;
    double rate;
    const float* input[MAX_CHANNELS] = {};
    float* output[MAX_CHANNELS] = {};
    // Every control port then the bypass switch; an unconnected one points at its default, so
    // that a run reads each without a test.
    float portDefaults[PORTS_READ] = {};
    const float* ports[PORTS_READ] = {};
    float* meterPorts[2] = {};  // input, output
    PeakMeter meters[2];
    double meterFallPerFrame;
    // The ports' values at the last run, bit for bit: a run whose ports are unchanged (almost
    // every run) hands the engine nothing. Forgotten when a control port is connected or the
    // plugin activated.
    uint32_t portsSeen[PORTS_READ] = {};
    bool portsKnown = false;
    // The transport's events, and the URIDs to read them (none without the host's map).
    const LV2_Atom_Sequence* transport = nullptr;
    struct {
        LV2_URID object = 0, blank = 0, position = 0, speed = 0, floatType = 0, beatsPerMinute = 0;
        LV2_URID bar = 0, barBeat = 0, beatsPerBar = 0, beatUnit = 0;
        LV2_URID doubleType = 0, intType = 0, longType = 0;
    } uris;
    // The tempo the host's transport last gave (0: none yet): it sets Tempo, not the port.
    float hostBpm = 0.0f;
    // The song's position where the transport starts rolling in this run (NaN: not given).
    double startQuarters = NAN;
    bool rolling = false;  // the transport's last speed was not 0
    // Whether any input sample was heard since the transport stopped (or the plugin started).
    bool heardWhileStopped = false;
    float standInInput[STAND_IN_FRAMES] = {};
    float standInOutput[STAND_IN_FRAMES] = {};
    dsp::Engine engine;

    // Reads each port once (a host may write them from another thread) and hands the engine
    // what changed; an unconnected control reads as its default, the bypass switch as on.
    void readPorts() {
        // Bit for bit, compared as words: almost every run ends here. Where a port moved, each
        // is read again once, and what the engine gets is what the next run compares with (a
        // host may write a port meanwhile).
        uint32_t differ = portsKnown ? 0u : 1u;
        for (uint32_t i = 0; i < PORTS_READ; ++i) differ |= wordOf(ports[i]) ^ portsSeen[i];
        if (differ != 0) takePorts();
    }
    // Out of run()'s way: a host's control moves seldom.
    [[gnu::noinline]] void takePorts() {
        for (uint32_t i = 0; i < PORTS_READ; ++i) portsSeen[i] = wordOf(ports[i]);
        for (uint32_t i = 0; i < dsp::CONTROL_COUNT; ++i)
            engine.set(static_cast<dsp::ControlIndex>(i), grindlet::floatFromBits(portsSeen[i]));
        if (hostBpm > 0.0f) engine.set(dsp::CONTROL_BPM, hostBpm);
        engine.setEnabled(!(grindlet::floatFromBits(portsSeen[ENABLED_PORT]) < 0.5f));
        portsKnown = true;
    }
    static uint32_t wordOf(const float* port) {
        uint32_t word;
        std::memcpy(&word, port, sizeof word);
        return word;
    }

    // The loudest sample of every channel's [from, from + frames).
    float peakOfChannels(const float* const* buffers, int64_t from, int64_t frames) const {
        float peak = 0.0f;
        for (int c = 0; c < channels; ++c) {
            if (buffers[c] != nullptr) peak = std::max(peak, peakOf(buffers[c] + from, frames));
        }
        return peak;
    }

    // A host may leave an audio port unconnected: its channel reads silence and writes nowhere.
    void runWithStandIns(int64_t from, int64_t frames) {
        const float* in[MAX_CHANNELS];
        float* out[MAX_CHANNELS];
        for (int64_t done = 0; done < frames; done += STAND_IN_FRAMES) {
            const int64_t n = std::min(STAND_IN_FRAMES, frames - done);
            for (int c = 0; c < channels; ++c) {
                const bool whole = input[c] != nullptr && output[c] != nullptr;
                in[c] = whole ? input[c] + from + done : standInInput;
                out[c] = whole ? output[c] + from + done : standInOutput;
            }
            engine.process(in, out, n);
        }
    }
};

// Ports: the inputs, the outputs, then the controls (the Turtle is generated from the same table).
LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) {
    const int channels = std::strcmp(descriptor->URI, STEREO_URI) == 0 ? 2 : 1;
    auto* plugin = new (std::nothrow) Grindlet(rate, channels);
    if (plugin == nullptr) return nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        if (std::strcmp(features[i]->URI, LV2_URID__map) != 0 || features[i]->data == nullptr)
            continue;
        const auto* map = static_cast<const LV2_URID_Map*>(features[i]->data);
        plugin->uris = {map->map(map->handle, LV2_ATOM__Object),
                        map->map(map->handle, LV2_ATOM__Blank),
                        map->map(map->handle, LV2_TIME__Position),
                        map->map(map->handle, LV2_TIME__speed),
                        map->map(map->handle, LV2_ATOM__Float),
                        map->map(map->handle, LV2_TIME__beatsPerMinute),
                        map->map(map->handle, LV2_TIME__bar),
                        map->map(map->handle, LV2_TIME__barBeat),
                        map->map(map->handle, LV2_TIME__beatsPerBar),
                        map->map(map->handle, LV2_TIME__beatUnit),
                        map->map(map->handle, LV2_ATOM__Double),
                        map->map(map->handle, LV2_ATOM__Int),
                        map->map(map->handle, LV2_ATOM__Long)};
    }
    return plugin;
}

void connectPort(LV2_Handle instance, uint32_t port, void* data) {
    auto* plugin = static_cast<Grindlet*>(instance);
    const auto audio = static_cast<uint32_t>(plugin->channels);
    if (port < audio) {
        plugin->input[port] = static_cast<const float*>(data);
        return;
    }
    if (port < 2 * audio) {
        plugin->output[port - audio] = static_cast<float*>(data);
        return;
    }
    const uint32_t after = port - 2 * audio;
    if (after < PORTS_READ) {  // a control or the bypass switch
        plugin->ports[after] =
            data != nullptr ? static_cast<const float*>(data) : &plugin->portDefaults[after];
        plugin->portsKnown = false;
    } else if (after == INPUT_METER_PORT || after == OUTPUT_METER_PORT) {
        plugin->meterPorts[after - INPUT_METER_PORT] = static_cast<float*>(data);
    } else if (after == TRANSPORT_PORT) {
        plugin->transport = static_cast<const LV2_Atom_Sequence*>(data);
    }
}

// As the module's open: a fresh phase, ramp and quantizer; the levels start at the ports'
// values.
void activate(LV2_Handle instance) {
    auto* plugin = static_cast<Grindlet*>(instance);
    plugin->engine.reset();
    plugin->portsKnown = false;
    plugin->rolling = false;
    plugin->heardWhileStopped = false;
    plugin->meters[0] = plugin->meters[1] = {};
}

// The audio ports' buffers from frame `from` on.
struct Buffers {
    const float* in[MAX_CHANNELS] = {};
    float* out[MAX_CHANNELS] = {};
    Buffers(const Grindlet* plugin, uint32_t from) {
        for (int c = 0; c < plugin->channels; ++c) {
            in[c] = plugin->input[c] + from;
            out[c] = plugin->output[c] + from;
        }
    }
};

// `count` frames from `from`, through stand-ins where a host left an audio port unconnected;
// the input's peak is taken before the engine runs (it may write the output over it).
void runFrames(Grindlet* plugin, uint32_t from, uint32_t count) {
    if (count == 0) return;
    const float inputPeak = plugin->peakOfChannels(plugin->input, from, count);
    if (!plugin->rolling && inputPeak > 0.0f) plugin->heardWhileStopped = true;
    bool connected = true;
    for (int c = 0; c < plugin->channels; ++c)
        connected = connected && plugin->input[c] != nullptr && plugin->output[c] != nullptr;
    if (!connected) {
        plugin->runWithStandIns(from, count);
    } else if (from == 0) {
        plugin->engine.process(plugin->input, plugin->output, count);
    } else {
        const Buffers buffers(plugin, from);
        plugin->engine.process(buffers.in, buffers.out, count);
    }
    const float outputPeak = plugin->peakOfChannels(plugin->output, from, count);
    const double fall = plugin->meterFallPerFrame * double(count);
    plugin->meters[0].show(inputPeak, fall);
    plugin->meters[1].show(outputPeak, fall);
}

// What a time:Position object carries of the speed and the tempo (each NaN where it carries
// none); false for another object. Every size is checked against the bytes the host gave: a
// malformed event is read as no event.
struct Position {
    float speed = NAN, beatsPerMinute = NAN;
    // The bar, the beat within it, the beats a bar and the note a beat is (4: a quarter).
    double bar = NAN, barBeat = NAN, beatsPerBar = NAN, beatUnit = NAN;
    // Where the song stands in quarter notes (NaN: not all of it given).
    double quarters() const {
        const double q = (bar * beatsPerBar + barBeat) * 4.0 / beatUnit;
        return bar >= 0.0 && barBeat >= 0.0 && beatsPerBar > 0.0 && beatUnit > 0.0 ? q : NAN;
    }
};
// The `Number` an atom's body holds, as a double (NaN where the atom is too small for one).
template <class Number>
double storedNumber(const LV2_Atom& atom, const uint8_t* value) {
    if (atom.size < sizeof(Number)) return NAN;
    Number v;
    std::memcpy(&v, value, sizeof v);
    return double(v);
}
// A number atom of any of the kinds hosts send (NaN for another kind).
double numberOf(const Grindlet* plugin, const LV2_Atom& atom, const uint8_t* value) {
    const auto& u = plugin->uris;
    if (atom.type == u.floatType) return storedNumber<float>(atom, value);
    if (atom.type == u.doubleType) return storedNumber<double>(atom, value);
    if (atom.type == u.intType) return storedNumber<int32_t>(atom, value);
    if (atom.type == u.longType) return storedNumber<int64_t>(atom, value);
    return NAN;
}
bool positionOf(const Grindlet* plugin, const LV2_Atom& atom, Position& position) {
    if ((atom.type != plugin->uris.object && atom.type != plugin->uris.blank) ||
        atom.size < sizeof(LV2_Atom_Object_Body))
        return false;
    const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&atom);
    if (object->body.otype != plugin->uris.position) return false;
    const auto* end = reinterpret_cast<const uint8_t*>(&object->body) + atom.size;
    LV2_ATOM_OBJECT_FOREACH(object, property) {
        const auto* value = reinterpret_cast<const uint8_t*>(&property->value + 1);
        if (value > end || property->value.size > uint64_t(end - value)) return false;
        const double number = numberOf(plugin, property->value, value);
        const LV2_URID key = property->key;
        const auto& u = plugin->uris;
        if (key == u.speed && property->value.type == u.floatType) position.speed = float(number);
        if (key == u.beatsPerMinute && property->value.type == u.floatType)
            position.beatsPerMinute = float(number);
        if (key == u.bar) position.bar = number;
        if (key == u.barBeat) position.barBeat = number;
        if (key == u.beatsPerBar) position.beatsPerBar = number;
        if (key == u.beatUnit) position.beatUnit = number;
    }
    return true;
}

// A tempo from the host's transport, within Tempo's range, sets it from now on.
void takeTempo(Grindlet* plugin, float bpm) {
    if (!dsp::accepts(dsp::CONTROLS[dsp::CONTROL_BPM], double(bpm)) || bpm == plugin->hostBpm)
        return;
    plugin->hostBpm = bpm;
    plugin->engine.set(dsp::CONTROL_BPM, bpm);
}

// While the transport rolls, where the host says the song is at `frame` of this run: where that
// is not where the engine's count at the tempo puts it (the host jumped, or its tempo is not
// Tempo's), the song's position is taken from the host, from this run's first frame on.
void followSong(Grindlet* plugin, double quarters, int64_t frame) {
    constexpr double SAME_PLACE_QUARTERS = 1.0 / 64.0;  // about 8 ms at 120 BPM
    // Only a synced LFO counts the song's position.
    if (std::isnan(quarters) || !(plugin->engine.value(dsp::CONTROL_LFO_SYNC) >= 0.5f)) return;
    const double perFrame = double(plugin->engine.value(dsp::CONTROL_BPM)) / (60.0 * plugin->rate);
    const double atRunStart = quarters - perFrame * double(frame);
    if (std::fabs(atRunStart - plugin->engine.songPosition()) > SAME_PLACE_QUARTERS)
        plugin->engine.setSongPosition(std::max(0.0, atRunStart));
}

// The frame of this run at which the transport starts rolling (sampleCount: it does not), read
// from the host's time:Position events; a second start in the same run counts from the next.
[[gnu::noinline]] uint32_t transportStart(Grindlet* plugin, uint32_t sampleCount) {
    uint32_t start = sampleCount;
    if (plugin->uris.position == 0) return start;  // no map: the events cannot be read
    const LV2_Atom_Sequence* sequence = plugin->transport;
    const auto* end = reinterpret_cast<const uint8_t*>(&sequence->body) + sequence->atom.size;
    LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
        const auto* body = reinterpret_cast<const uint8_t*>(&event->body + 1);
        if (body > end || event->body.size > uint64_t(end - body)) break;
        Position position;
        if (!positionOf(plugin, event->body, position)) continue;
        if (!std::isnan(position.beatsPerMinute)) takeTempo(plugin, position.beatsPerMinute);
        const double quarters = position.quarters();
        const int64_t frame = std::clamp<int64_t>(event->time.frames, 0, sampleCount);
        if (std::isnan(position.speed)) {
            if (plugin->rolling && start == sampleCount) followSong(plugin, quarters, frame);
            continue;
        }
        const bool rolling = position.speed != 0.0f;
        if (rolling && !plugin->rolling && start == sampleCount) {
            start = static_cast<uint32_t>(frame);
            plugin->startQuarters = quarters;
        } else if (rolling && plugin->rolling && start == sampleCount) {
            followSong(plugin, quarters, frame);
        }
        if (!rolling) plugin->heardWhileStopped = false;
        plugin->rolling = rolling;
    }
    return start;
}

// Where the transport starts rolling the stream starts again, so that a render from there is
// the same every time: after silence (an export from the session's start) the effect starts
// afresh, as the render tool does; with a live signal the held samples and the filters go on
// (engine.restart()), so that pressing play never clicks or drops out.
void startTransport(Grindlet* plugin) {
    if (plugin->heardWhileStopped) {
        plugin->engine.restart();
    } else {
        plugin->engine.reset();
    }
}

void run(LV2_Handle instance, uint32_t sampleCount) {
    auto* plugin = static_cast<Grindlet*>(instance);
    plugin->readPorts();
    // A sequence with events (almost every run's is empty): the transport may start in it.
    if (plugin->transport != nullptr &&
        plugin->transport->atom.size > sizeof(LV2_Atom_Sequence_Body)) {
        const bool wasRolling = plugin->rolling;
        const bool heard = plugin->heardWhileStopped;
        plugin->startQuarters = NAN;
        const uint32_t start = transportStart(plugin, sampleCount);
        if (start < sampleCount) {
            // The frames before the start, with the transport stopped.
            const bool rollingNow = plugin->rolling;
            plugin->rolling = false;
            plugin->heardWhileStopped = heard && !wasRolling;
            runFrames(plugin, 0, start);
            startTransport(plugin);
            if (!std::isnan(plugin->startQuarters))
                plugin->engine.setSongPosition(plugin->startQuarters);
            plugin->rolling = rollingNow;
            plugin->heardWhileStopped = false;
            runFrames(plugin, start, sampleCount - start);
            for (int k = 0; k < 2; ++k) {
                if (plugin->meterPorts[k] != nullptr)
                    *plugin->meterPorts[k] = plugin->meters[k].decibels;
            }
            return;
        }
    }
    runFrames(plugin, 0, sampleCount);
    for (int k = 0; k < 2; ++k) {
        if (plugin->meterPorts[k] != nullptr) *plugin->meterPorts[k] = plugin->meters[k].decibels;
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

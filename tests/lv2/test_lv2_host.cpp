// The LV2 bundle loaded as a DAW loads it, through liblilv: blocks of any size (0 and 1
// included) give the signal code's output in the same blocks, nothing is written outside the buffers,
// in-place buffers work, a control change takes effect at the next run() call, the stereo plugin
// equals two mono ones, any sample rate works, and run() neither allocates nor locks.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/controls.h"
#include "dsp/presets.h"
#include "dsp/rate_reducer.h"
#include "host/sample_checks.h"
#include "tests/float_bits.h"
#include "tests/lfo_cycle.h"
#include "tests/realtime/allocation_counter.h"

namespace grindlet::test {
namespace {

constexpr const char* MONO = "urn:qz-grindlet:mono";
constexpr const char* STEREO = "urn:qz-grindlet:stereo";
constexpr double SAMPLE_RATE = 44100.0;
constexpr size_t GUARD = 16;

// One world for the whole program, with the bundle from the build tree.
struct World {
    LilvWorld* world = lilv_world_new();
    World() {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, GRINDLET_LV2_BUNDLE);
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
    }
    ~World() { lilv_world_free(world); }
    const LilvPlugin* plugin(const char* uri) const {
        LilvNode* node = lilv_new_uri(world, uri);
        const LilvPlugin* found = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node);
        lilv_node_free(node);
        return found;
    }
};

World& world() {
    static World instance;
    return instance;
}

// Controls as a user sets them: bits, hertz, rounding (0 Floor, 1 Round, 2 Inside), mode.
// The controls after the levels (the engine's stages), at their defaults.
constexpr size_t FIRST_STAGE = dsp::CONTROL_ANTIALIAS;
std::array<float, dsp::CONTROL_COUNT - FIRST_STAGE> stageDefaults() {
    std::array<float, dsp::CONTROL_COUNT - FIRST_STAGE> values{};
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<float>(dsp::CONTROLS[FIRST_STAGE + i].defaultValue);
    return values;
}

struct Controls {
    float bits = 8.0f, rate = 8000.0f, quantize = 1.0f, mode = 0.0f;
    float drive = 0.0f, mix = 100.0f, gain = 0.0f;  // the levels at their defaults
    float enabled = 1.0f;                           // the host's bypass switch
    std::array<float, dsp::CONTROL_COUNT - FIRST_STAGE> stages = stageDefaults();
};

// A buffer with guard regions around it, filled with a sentinel.
struct GuardedBuffer {
    std::vector<float> storage;
    explicit GuardedBuffer(size_t size) : storage(size + 2 * GUARD, sentinel()) {}
    float* data() { return storage.data() + GUARD; }
    size_t size() const { return storage.size() - 2 * GUARD; }
    bool guardsIntact() const {
        for (size_t i = 0; i < GUARD; ++i) {
            if (floatBits(storage[i]) != SENTINEL_BITS ||
                floatBits(storage[storage.size() - 1 - i]) != SENTINEL_BITS)
                return false;
        }
        return true;
    }
};

// A URID map for lilv's preset states: every URI its own number.
struct UridMap {
    std::vector<std::string> uris;
    LV2_URID_Map feature{this, [](LV2_URID_Map_Handle handle, const char* uri) -> LV2_URID {
                             auto& known = static_cast<UridMap*>(handle)->uris;
                             const auto found = std::find(known.begin(), known.end(), uri);
                             if (found != known.end())
                                 return static_cast<LV2_URID>(found - known.begin() + 1);
                             known.emplace_back(uri);
                             return static_cast<LV2_URID>(known.size());
                         }};
};

// A time:Position event of the host's transport: its frame, speed and (where not NaN) tempo
// and place in the song (in 4/4).
struct Position {
    int64_t frame;
    float speed;
    float beatsPerMinute = NAN;
    int64_t bar = -1;  // none
    float barBeat = 0.0f;
};

// The atom sequence a host hands the transport port, with these events.
std::vector<uint64_t> positionSequence(UridMap& map, const std::vector<Position>& events) {
    std::vector<uint64_t> buffer(256);
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &map.feature);
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(buffer.data()),
                              buffer.size() * sizeof(uint64_t));
    const auto urid = [&map](const char* uri) { return map.feature.map(map.feature.handle, uri); };
    LV2_Atom_Forge_Frame sequence;
    lv2_atom_forge_sequence_head(&forge, &sequence, 0);
    for (const Position& event : events) {
        lv2_atom_forge_frame_time(&forge, event.frame);
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_object(&forge, &object, 0, urid(LV2_TIME__Position));
        lv2_atom_forge_key(&forge, urid(LV2_TIME__speed));
        lv2_atom_forge_float(&forge, event.speed);
        if (!std::isnan(event.beatsPerMinute)) {
            lv2_atom_forge_key(&forge, urid(LV2_TIME__beatsPerMinute));
            lv2_atom_forge_float(&forge, event.beatsPerMinute);
        }
        if (event.bar >= 0) {
            lv2_atom_forge_key(&forge, urid(LV2_TIME__bar));
            lv2_atom_forge_long(&forge, event.bar);
            lv2_atom_forge_key(&forge, urid(LV2_TIME__barBeat));
            lv2_atom_forge_float(&forge, event.barBeat);
            lv2_atom_forge_key(&forge, urid(LV2_TIME__beatsPerBar));
            lv2_atom_forge_float(&forge, 4.0f);
            lv2_atom_forge_key(&forge, urid(LV2_TIME__beatUnit));
            lv2_atom_forge_int(&forge, 4);
        }
        lv2_atom_forge_pop(&forge, &object);
    }
    lv2_atom_forge_pop(&forge, &sequence);
    return buffer;
}

// One plugin instance with its control values connected by port symbol.
class Plugin {
public:
    Plugin(const char* uri, double rate, const LV2_Feature* const* features = nullptr)
        : plugin(world().plugin(uri)) {
        instance = plugin != nullptr ? lilv_plugin_instantiate(plugin, rate, features) : nullptr;
        if (instance == nullptr) return;
        connect("bits", &controls.bits);
        connect("rate", &controls.rate);
        connect("quantize", &controls.quantize);
        connect("mode", &controls.mode);
        connect("drive", &controls.drive);
        connect("mix", &controls.mix);
        connect("gain", &controls.gain);
        connect("enabled", &controls.enabled);
        for (size_t i = 0; i < controls.stages.size(); ++i)
            connect(dsp::CONTROLS[FIRST_STAGE + i].symbol, &controls.stages[i]);
        lilv_instance_activate(instance);
    }
    ~Plugin() {
        if (instance == nullptr) return;
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    bool loaded() const { return instance != nullptr; }
    uint32_t channels() const {
        const LilvNode* uri = lilv_plugin_get_uri(plugin);
        return std::string(lilv_node_as_uri(uri)).find("stereo") == std::string::npos ? 1 : 2;
    }

    void connect(const char* symbol, void* data) {
        LilvNode* node = lilv_new_string(world().world, symbol);
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, node);
        lilv_node_free(node);
        ASSERT_NE(port, nullptr) << symbol;
        lilv_instance_connect_port(instance, lilv_port_get_index(plugin, port), data);
    }

    void connectAudio(uint32_t channel, const float* in, float* out) {
        static const char* const mono[][2] = {{"in", "out"}};
        static const char* const stereo[][2] = {{"in_l", "out_l"}, {"in_r", "out_r"}};
        const auto& names = channels() == 1 ? mono[0] : stereo[channel];
        connect(names[0], const_cast<float*>(in));
        connect(names[1], out);
    }

    void run(uint32_t count) { lilv_instance_run(instance, count); }

    // What a host does between two uses of one instance.
    void reactivate() {
        lilv_instance_deactivate(instance);
        lilv_instance_activate(instance);
    }

    Controls controls;

private:
    const LilvPlugin* plugin;
    LilvInstance* instance = nullptr;
};

std::vector<float> signal(size_t frames, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<float> v(frames);
    for (size_t i = 0; i < frames; ++i) {
        v[i] = static_cast<float>(0.8 * std::sin(0.031 * double(i)) +
                                  0.1 * (double(random()) / double(random.max()) - 0.5));
    }
    return v;
}

// The same block through the signal code directly, with the controls converted as the render
// tool converts them.
std::vector<float> reference(const std::vector<float>& input, const std::vector<uint32_t>& blocks,
                             const std::vector<Controls>& controls, double rate) {
    dsp::RateReducerState state{};
    dsp::resetRateReducer(state, static_cast<float>(rate));
    std::vector<float> output(input.size());
    int32_t offset = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        const Controls& c = controls[b];
        std::vector<float> bits(input.size() + 1, static_cast<float>(double(c.bits) / 10.0));
        std::vector<float> hertz(input.size() + 1, static_cast<float>(double(c.rate) / 10.0));
        const dsp::ReducerStreams streams{input.data(), bits.data(), hertz.data(), output.data()};
        const auto count = static_cast<int32_t>(blocks[b]);
        const auto quantize = static_cast<int16_t>(c.quantize);
        if (c.mode >= 0.5f) {
            dsp::processLinearReference(state, streams, static_cast<float>(rate), quantize, offset,
                                        count);
        } else {
            dsp::processStepReference(state, streams, static_cast<float>(rate), quantize, offset,
                                      count);
        }
        offset += count;
    }
    return output;
}

struct Setting {
    const char* uri;
    Controls controls;
};

const Setting SETTINGS[] = {
    {MONO, {8.0f, 8000.0f, 0.0f, 0.0f}},     {MONO, {6.5f, 11025.0f, 1.0f, 1.0f}},
    {MONO, {3.0f, 2500.0f, 2.0f, 0.0f}},     {MONO, {24.0f, 44100.0f, 1.0f, 1.0f}},
    {MONO, {12.0f, 44100.0f, 1.0f, 0.0f}},   {STEREO, {4.0f, 1000.0f, 1.0f, 1.0f}},
    {STEREO, {16.0f, 30000.0f, 0.0f, 0.0f}},
};

// Runs the signal through a fresh instance in the given blocks; returns each channel's output.
std::vector<std::vector<float>> render(const Setting& setting,
                                       const std::vector<std::vector<float>>& inputs,
                                       const std::vector<uint32_t>& blocks, bool inPlace,
                                       bool* guardsIntact = nullptr) {
    Plugin plugin(setting.uri, SAMPLE_RATE);
    EXPECT_TRUE(plugin.loaded()) << setting.uri;
    if (!plugin.loaded()) return {};
    plugin.controls = setting.controls;
    std::vector<std::vector<float>> outputs(plugin.channels(),
                                            std::vector<float>(inputs[0].size()));
    size_t offset = 0;
    bool intact = true;
    for (uint32_t count : blocks) {
        std::vector<GuardedBuffer> in, out;
        for (uint32_t c = 0; c < plugin.channels(); ++c) {
            in.emplace_back(count);
            out.emplace_back(count);
            std::copy_n(inputs[c].begin() + long(offset), count, in.back().data());
        }
        for (uint32_t c = 0; c < plugin.channels(); ++c) {
            plugin.connectAudio(c, in[c].data(), inPlace ? in[c].data() : out[c].data());
        }
        plugin.run(count);
        for (uint32_t c = 0; c < plugin.channels(); ++c) {
            const float* result = inPlace ? in[c].data() : out[c].data();
            std::copy_n(result, count, outputs[c].begin() + long(offset));
            intact = intact && in[c].guardsIntact() && out[c].guardsIntact();
        }
        offset += count;
    }
    if (guardsIntact != nullptr) *guardsIntact = intact;
    return outputs;
}

std::vector<uint32_t> randomBlocks(size_t frames, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint32_t> blocks;
    size_t left = frames;
    while (left > 0) {
        const auto choice = static_cast<uint32_t>(random() % 6);
        uint32_t count = choice == 0 ? 0 : choice == 1 ? 1 : static_cast<uint32_t>(random() % 700);
        if (count > left) count = static_cast<uint32_t>(left);
        blocks.push_back(count);
        left -= count;
    }
    return blocks;
}

TEST(Lv2Plugin, BothPluginsLoadFromTheBundle) {
    for (const char* uri : {MONO, STEREO}) {
        Plugin plugin(uri, SAMPLE_RATE);
        EXPECT_TRUE(plugin.loaded()) << uri;
    }
}

TEST(Lv2Plugin, AnySplitIntoBlocksGivesTheSameBitsAsTheSignalCode) {
    constexpr size_t FRAMES = 6000;
    for (const Setting& setting : SETTINGS) {
        const std::vector<std::vector<float>> inputs = {signal(FRAMES, 1), signal(FRAMES, 2)};
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            const auto blocks = randomBlocks(FRAMES, seed);
            const auto expected =
                reference(inputs[0], blocks, std::vector<Controls>(blocks.size(), setting.controls),
                          SAMPLE_RATE);
            bool intact = false;
            const auto outputs = render(setting, inputs, blocks, seed % 2 == 0, &intact);
            ASSERT_FALSE(outputs.empty());
            EXPECT_TRUE(intact) << setting.uri << ": a write outside a buffer";
            EXPECT_TRUE(sameBits(outputs[0], expected)) << setting.uri << ", split " << seed;
        }
    }
}

TEST(Lv2Plugin, StereoEqualsTwoMonoInstances) {
    constexpr size_t FRAMES = 3000;
    const std::vector<std::vector<float>> inputs = {signal(FRAMES, 5), signal(FRAMES, 6)};
    const auto blocks = randomBlocks(FRAMES, 9);
    for (const Setting& setting : SETTINGS) {
        const Setting stereo{STEREO, setting.controls}, mono{MONO, setting.controls};
        const auto both = render(stereo, inputs, blocks, false);
        const auto left = render(mono, {inputs[0]}, blocks, false);
        const auto right = render(mono, {inputs[1]}, blocks, false);
        ASSERT_EQ(both.size(), 2u);
        EXPECT_TRUE(sameBits(both[0], left[0]));
        EXPECT_TRUE(sameBits(both[1], right[0]));
    }
}

TEST(Lv2Plugin, ControlChangesTakeEffectAtTheNextRun) {
    constexpr uint32_t BLOCK = 256;
    const std::vector<Controls> perBlock = {
        {16.0f, 44100.0f, 1.0f, 0.0f}, {2.0f, 44100.0f, 1.0f, 0.0f}, {2.0f, 4000.0f, 0.0f, 1.0f},
        {9.5f, 900.0f, 2.0f, 1.0f},    {9.5f, 900.0f, 2.0f, 0.0f},   {0.0f, 8000.0f, 1.0f, 0.0f}};
    const std::vector<float> input = signal(BLOCK * perBlock.size(), 3);
    Plugin plugin(MONO, SAMPLE_RATE);
    ASSERT_TRUE(plugin.loaded());
    std::vector<float> output(input.size());
    for (size_t b = 0; b < perBlock.size(); ++b) {
        plugin.controls = perBlock[b];
        plugin.connectAudio(0, input.data() + b * BLOCK, output.data() + b * BLOCK);
        plugin.run(BLOCK);
    }
    const auto expected =
        reference(input, std::vector<uint32_t>(perBlock.size(), BLOCK), perBlock, SAMPLE_RATE);
    EXPECT_TRUE(sameBits(output, expected));
}

// A level control left unconnected reads as its default: connected later to a buffer that
// holds 0 (the value an unconnected port reads as elsewhere), it is read again. Mix at 0 % gives
// the dry input, bit for bit, once the change has been smoothed.
TEST(Lv2Plugin, AControlPortConnectedLaterIsRead) {
    constexpr uint32_t BLOCK = 256, BLOCKS = 40;
    const std::vector<float> input = signal(BLOCK * BLOCKS, 5);
    Plugin plugin(MONO, SAMPLE_RATE);
    ASSERT_TRUE(plugin.loaded());
    plugin.connect("mix", nullptr);
    std::vector<float> output(input.size());
    plugin.connectAudio(0, input.data(), output.data());
    plugin.run(BLOCK);
    const auto expected = reference(std::vector<float>(input.begin(), input.begin() + BLOCK),
                                    {BLOCK}, {plugin.controls}, SAMPLE_RATE);
    EXPECT_TRUE(sameBits(std::vector<float>(output.begin(), output.begin() + BLOCK), expected));
    float dryOnly = 0.0f;
    plugin.connect("mix", &dryOnly);
    for (uint32_t b = 1; b < BLOCKS; ++b) {
        plugin.connectAudio(0, input.data() + b * BLOCK, output.data() + b * BLOCK);
        plugin.run(BLOCK);
    }
    const auto lastBlock = input.size() - BLOCK;
    EXPECT_TRUE(sameBits(std::vector<float>(output.begin() + lastBlock, output.end()),
                         std::vector<float>(input.begin() + lastBlock, input.end())));
}

// The host's bypass: while bypassed the output is the input exactly, the crossfades in and out
// stay between the two signals, and the crusher runs on, so that once re-enabled the output is
// what an instance never bypassed gives.
TEST(Lv2Plugin, BypassCrossfadesToTheDrySignalAndKeepsTheEffectRunning) {
    constexpr uint32_t BLOCK = 64, BLOCKS = 60;
    const auto fade = static_cast<size_t>(SAMPLE_RATE * 0.005 + 0.5);
    const std::vector<float> input = signal(BLOCK * BLOCKS, 11);
    Plugin bypassed(MONO, SAMPLE_RATE), steady(MONO, SAMPLE_RATE);
    ASSERT_TRUE(bypassed.loaded() && steady.loaded());
    std::vector<float> output(input.size()), expected(input.size());
    for (Plugin* plugin : {&bypassed, &steady}) plugin->controls = {6.0f, 5000.0f, 1.0f, 1.0f};
    constexpr uint32_t OFF = 10, ON = 30;  // the blocks where the switch is thrown
    for (uint32_t b = 0; b < BLOCKS; ++b) {
        bypassed.controls.enabled = b >= OFF && b < ON ? 0.0f : 1.0f;
        const size_t at = size_t{b} * BLOCK;
        bypassed.connectAudio(0, input.data() + at, output.data() + at);
        steady.connectAudio(0, input.data() + at, expected.data() + at);
        bypassed.run(BLOCK);
        steady.run(BLOCK);
    }
    const size_t off = OFF * BLOCK, on = ON * BLOCK;
    for (size_t i = 0; i < input.size(); ++i) {
        const float low = std::min(input[i], expected[i]), high = std::max(input[i], expected[i]);
        ASSERT_TRUE(output[i] >= low && output[i] <= high) << i;
        if (i < off || i >= on + fade - 1) {
            ASSERT_EQ(floatBits(output[i]), floatBits(expected[i])) << i;
        } else if (i >= off + fade - 1 && i < on) {
            ASSERT_EQ(floatBits(output[i]), floatBits(input[i])) << i;
        }
    }
    // The crossfades take their time: half way through, the output is neither signal.
    EXPECT_NE(output[off + fade / 2], input[off + fade / 2]);
    EXPECT_NE(output[off + fade / 2], expected[off + fade / 2]);
}

// Automation that raises the rate just before a take: the ramp must stay within the signal.
TEST(Lv2Plugin, LinearUnderRateAutomationStaysWithinTheSignal) {
    const std::vector<float> input = sineSignal(300, 0.9, 1000.0);
    Plugin plugin(MONO, SAMPLE_RATE);
    ASSERT_TRUE(plugin.loaded());
    plugin.controls = {32.0f, 0.0f, 1.0f, 1.0f};  // unquantized, Round, Linear
    const struct {
        uint32_t count;
        float hertz;
    } blocks[] = {{62, 16280.0f}, {1, 18320.0f}, {237, 279.0f}};
    std::vector<float> output(input.size(), sentinel());
    size_t at = 0;
    for (const auto& block : blocks) {
        plugin.controls.rate = block.hertz;
        plugin.connectAudio(0, input.data() + at, output.data() + at);
        plugin.run(block.count);
        at += block.count;
    }
    float largest = 0.0f;
    for (float x : output) largest = std::max(largest, std::fabs(x));
    EXPECT_LE(largest, 0.9f) << "sample 63: " << output[63];
}

// The meters show the level: a sine at a quarter of full scale is -12.04 dB in wherever its
// peak falls in a run; a NaN and an infinity are left out; silence falls back at 20 dB a second
// to the floor.
TEST(Lv2Plugin, MetersShowEachRunsPeak) {
    Plugin plugin(MONO, SAMPLE_RATE);
    ASSERT_TRUE(plugin.loaded());
    float levelIn = 0.0f, levelOut = 0.0f;
    plugin.connect("level_in", &levelIn);
    plugin.connect("level_out", &levelOut);
    std::vector<float> in(512), out(512);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(0.25 * sineOfTurns(double(i) / 512.0 - 0.25));  // peak at 384
    in[100] = NAN;
    in[101] = -INFINITY;
    plugin.connectAudio(0, in.data(), out.data());
    plugin.run(512);
    EXPECT_NEAR(levelIn, -12.0412, 0.001);
    EXPECT_GT(levelOut, -14.0f);
    EXPECT_LT(levelOut, -10.0f);
    std::fill(in.begin(), in.end(), 0.0f);
    const float before = levelIn;
    for (int run = 0; run < 86; ++run) plugin.run(512);  // 1.0 s
    EXPECT_NEAR(levelIn, before - 20.0f, 0.1f);
    for (int run = 0; run < 400; ++run) plugin.run(512);
    EXPECT_EQ(levelIn, -90.0f);
}

// A host that reads the meters 30 times a second sees every peak: 16 drum hits of 3 ms, one
// every 0.2 s at 0 dBFS, in 64-frame runs, each read within a dB of full scale at the reading
// after it (a meter that looked at a run's first frames saw one of them).
TEST(Lv2Plugin, AMeterReadThirtyTimesASecondSeesEveryHit) {
    constexpr double RATE = 48000.0;
    Plugin plugin(STEREO, RATE);
    ASSERT_TRUE(plugin.loaded());
    float levelIn = 0.0f, levelOut = 0.0f;
    plugin.connect("level_in", &levelIn);
    plugin.connect("level_out", &levelOut);
    constexpr size_t HIT_EVERY = 9600, HIT_FRAMES = 144, RUN = 64, READ_EVERY = 1600;
    std::vector<float> in(16 * HIT_EVERY, 0.0f), out(in.size());
    for (size_t hit = 0; hit < 16; ++hit) {
        for (size_t i = 0; i < HIT_FRAMES; ++i)  // a burst, its peak at a frame of its own
            in[hit * HIT_EVERY + 1000 + hit * 37 + i] =
                (i == 50 + hit ? 1.0f : 0.3f) * (i % 2 ? -1.0f : 1.0f);
    }
    int seenIn = 0, seenOut = 0;
    bool inHit = false;
    for (size_t at = 0; at < in.size(); at += RUN) {
        for (uint32_t c = 0; c < 2; ++c) plugin.connectAudio(c, in.data() + at, out.data() + at);
        plugin.run(RUN);
        if ((at + RUN) % READ_EVERY == 0) {  // the host's display reads the ports
            const bool loud = levelIn > -1.0f;
            if (loud && !inHit) {
                ++seenIn;
                if (levelOut > -12.0f) ++seenOut;
            }
            inHit = loud;
        }
    }
    EXPECT_EQ(seenIn, 16);
    EXPECT_EQ(seenOut, 16);
}

TEST(Lv2Plugin, AnySampleRate) {
    for (double rate : {8000.0, 22050.0, 48000.0, 96000.0, 192000.0, 11.0}) {
        const std::vector<float> input = signal(2000, 4);
        Plugin plugin(MONO, rate);
        ASSERT_TRUE(plugin.loaded()) << rate;
        plugin.controls = {7.0f, 3000.0f, 1.0f, 1.0f};
        std::vector<float> output(input.size());
        plugin.connectAudio(0, input.data(), output.data());
        plugin.run(static_cast<uint32_t>(input.size()));
        EXPECT_TRUE(sameBits(output, reference(input, {2000}, {plugin.controls}, rate))) << rate;
    }
}

TEST(Lv2Plugin, ActivateStartsAfresh) {
    const std::vector<float> input = signal(1000, 8);
    Plugin plugin(MONO, SAMPLE_RATE);
    ASSERT_TRUE(plugin.loaded());
    plugin.controls = {5.0f, 3000.0f, 1.0f, 1.0f};
    std::vector<float> first(input.size()), second(input.size());
    plugin.connectAudio(0, input.data(), first.data());
    plugin.run(1000);
    plugin.reactivate();
    plugin.connectAudio(0, input.data(), second.data());
    plugin.run(1000);
    EXPECT_TRUE(sameBits(first, second));
}

// Where a host's transport starts rolling mid-run the stream starts again at that frame: after
// silence (an export from the session's start) as the render tool starts, bit for bit, every
// time; with a live signal without a click or a dropout. One that was rolling already changes
// nothing, and a malformed event nothing either.
TEST(Lv2Plugin, ATransportStartingToRollStartsTheStreamAgain) {
    UridMap map;
    const LV2_Feature mapFeature{LV2_URID__map, &map.feature};
    const LV2_Feature* const features[] = {&mapFeature, nullptr};
    const std::vector<float> input = signal(2000, 12);
    const auto positions = [&map](const std::vector<std::pair<int64_t, float>>& events) {
        std::vector<Position> rolling;
        for (const auto& [frame, speed] : events) rolling.push_back({frame, speed});
        return positionSequence(map, rolling);
    };
    const auto run = [](Plugin& p, const float* in, float* out, uint32_t frames) {
        for (uint32_t c = 0; c < p.channels(); ++c) p.connectAudio(c, in, out);
        p.run(frames);
    };
    for (const char* uri : {MONO, STEREO}) {
        SCOPED_TRACE(uri);
        Plugin host(uri, SAMPLE_RATE, features), fresh(uri, SAMPLE_RATE);
        ASSERT_TRUE(host.loaded() && fresh.loaded());
        for (Plugin* p : {&host, &fresh}) {
            p->controls = {5.0f, 3000.0f, 1.0f, 1.0f};
            p->controls.stages[dsp::CONTROL_TONE - FIRST_STAGE] = 4000.0f;
            p->controls.stages[dsp::CONTROL_LFO_DEPTH - FIRST_STAGE] = 1.0f;
            p->controls.stages[dsp::CONTROL_DITHER - FIRST_STAGE] = 1.0f;
        }
        // Silence while stopped, then rolling from frame 300 of the first run, on in the second.
        std::vector<float> silentFirst = input;
        std::fill(silentFirst.begin(), silentFirst.begin() + 300, 0.0f);
        std::vector<float> got(input.size()), expected(input.size());
        std::vector<uint64_t> first = positions({{0, 0.0f}, {300, 1.0f}});
        host.connect("transport", first.data());
        run(host, silentFirst.data(), got.data(), 1000);
        std::vector<uint64_t> second = positions({{100, 1.0f}});
        host.connect("transport", second.data());
        run(host, silentFirst.data() + 1000, got.data() + 1000, 1000);
        run(fresh, silentFirst.data() + 300, expected.data() + 300, 1700);
        EXPECT_TRUE(sameBits(std::vector<float>(got.begin() + 300, got.end()),
                             std::vector<float>(expected.begin() + 300, expected.end())));
        // An event that claims more bytes than the sequence holds is read as none.
        std::vector<uint64_t> damaged = positions({{0, 0.0f}, {10, 1.0f}});
        reinterpret_cast<LV2_Atom_Event*>(reinterpret_cast<LV2_Atom_Sequence*>(damaged.data()) + 1)
            ->body.size = 0xFFFFFFF0u;
        host.connect("transport", damaged.data());
        run(host, input.data(), got.data(), 500);
        run(fresh, input.data(), expected.data(), 500);
        EXPECT_TRUE(sameBits(std::vector<float>(got.begin(), got.begin() + 500),
                             std::vector<float>(expected.begin(), expected.begin() + 500)));
    }
    // Live: a 100 Hz sine reduced to 1,000 Hz with the tone on, stopped, then play pressed at
    // frame 4,000. No step at the start larger than the steady signal's, and not one frame of
    // silence where a fresh start held nothing for 44 frames.
    Plugin live(MONO, SAMPLE_RATE, features);
    ASSERT_TRUE(live.loaded());
    live.controls = {8.0f, 1000.0f, 1.0f, 0.0f};
    live.controls.stages[dsp::CONTROL_TONE - FIRST_STAGE] = 3000.0f;
    std::vector<float> sine(8000), out(8000);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(0.5 * sineOfTurns(double(i) * 100.0 / SAMPLE_RATE) + 0.3);
    std::vector<uint64_t> stopped = positions({{0, 0.0f}});
    live.connect("transport", stopped.data());
    run(live, sine.data(), out.data(), 4000);
    std::vector<uint64_t> play = positions({{0, 1.0f}});
    live.connect("transport", play.data());
    run(live, sine.data() + 4000, out.data() + 4000, 4000);
    const auto largestJump = [&](size_t from, size_t to) {
        float jump = 0.0f;
        for (size_t i = from; i < to; ++i) jump = std::max(jump, std::fabs(out[i] - out[i - 1]));
        return jump;
    };
    EXPECT_LE(largestJump(3990, 4200), largestJump(1000, 3990) * 1.01f);
    for (size_t i = 4000; i < 4100; ++i) EXPECT_GT(out[i], 0.0f) << "frame " << i;
}

// With LFO Sync the cycle follows the tempo the host's transport sends (a quarter note at 120 BPM:
// 0.5 s), over the Tempo port's; a host that sends none leaves the port's tempo.
TEST(Lv2Plugin, TheTransportsTempoSetsTheSyncedLfo) {
    UridMap map;
    const LV2_Feature mapFeature{LV2_URID__map, &map.feature};
    const LV2_Feature* const features[] = {&mapFeature, nullptr};
    constexpr uint32_t BLOCK = 1000;
    const std::vector<float> ramp = frameRamp(5 * 48000);
    for (const bool tempoSent : {true, false}) {
        SCOPED_TRACE(tempoSent ? "the transport sends 120 BPM" : "no tempo sent");
        Plugin plugin(MONO, 48000.0, features);
        ASSERT_TRUE(plugin.loaded());
        plugin.controls = {32.0f, 1000.0f, 1.0f, 0.0f};  // nothing quantized, the rate reduced
        plugin.controls.stages[dsp::CONTROL_LFO_DEPTH - FIRST_STAGE] = 2.0f;
        plugin.controls.stages[dsp::CONTROL_LFO_SYNC - FIRST_STAGE] = float(dsp::LfoSync::Quarter);
        plugin.controls.stages[dsp::CONTROL_BPM - FIRST_STAGE] = 60.0f;
        std::vector<uint64_t> first = positionSequence(map, {{0, 1.0f, tempoSent ? 120.0f : NAN}}),
                              none = positionSequence(map, {});
        std::vector<float> out(ramp.size());
        for (uint32_t at = 0; at < ramp.size(); at += BLOCK) {
            plugin.connect("transport", at == 0 ? first.data() : none.data());
            plugin.connectAudio(0, ramp.data() + at, out.data() + at);
            plugin.run(BLOCK);
        }
        EXPECT_NEAR(lfoCycleFrames(out), tempoSent ? 24000.0 : 48000.0, 32.0);
    }
}

// A synced LFO lines up with the song's bars: its cycles count from where the transport says the
// song is when it starts rolling, and again where the host jumps while rolling. A quarter-note
// cycle at 120 BPM (24,000 frames) crests a quarter of the way into each beat.
TEST(Lv2Plugin, ASyncedLfoFollowsTheSongsPosition) {
    UridMap map;
    const LV2_Feature mapFeature{LV2_URID__map, &map.feature};
    const LV2_Feature* const features[] = {&mapFeature, nullptr};
    constexpr uint32_t BLOCK = 1000, JUMP = 120000;
    const std::vector<float> ramp = frameRamp(240000);
    Plugin plugin(MONO, 48000.0, features);
    ASSERT_TRUE(plugin.loaded());
    plugin.controls = {32.0f, 1000.0f, 1.0f, 0.0f};
    plugin.controls.stages[dsp::CONTROL_LFO_DEPTH - FIRST_STAGE] = 2.0f;
    plugin.controls.stages[dsp::CONTROL_LFO_SYNC - FIRST_STAGE] = float(dsp::LfoSync::Quarter);
    // Rolling from bar 2, half a beat in (8.5 quarter notes); at JUMP the host jumps to bar 10,
    // a quarter of a beat in (40.25).
    std::vector<uint64_t> start = positionSequence(map, {{0, 1.0f, 120.0f, 2, 0.5f}}),
                          jump = positionSequence(map, {{0, 1.0f, 120.0f, 10, 0.25f}}),
                          none = positionSequence(map, {});
    std::vector<float> out(ramp.size());
    for (uint32_t at = 0; at < ramp.size(); at += BLOCK) {
        plugin.connect("transport", at == 0      ? start.data()
                                    : at == JUMP ? jump.data()
                                                 : none.data());
        plugin.connectAudio(0, ramp.data() + at, out.data() + at);
        plugin.run(BLOCK);
    }
    // Crests where the phase is a quarter past a whole cycle: before the jump 0.75 cycles from
    // the start (18,000 frames on), after it at the jump itself (each part measured alone).
    // Within a millisecond: the LFO moves the rate in 32-frame steps, and holds are whole frames.
    const std::vector<double> before = lfoCrests({out.begin(), out.begin() + JUMP}),
                              after = lfoCrests({out.begin() + JUMP, out.end()});
    EXPECT_GE(before.size(), 3u);
    EXPECT_GE(after.size(), 3u);
    for (const double crest : before)
        EXPECT_NEAR(std::fmod(crest, 24000.0), 18000.0, 48.0) << "crest at frame " << crest;
    for (const double crest : after) {
        EXPECT_NEAR(std::fmod(crest + 12000.0, 24000.0), 12000.0, 48.0)
            << "crest at frame " << JUMP + crest;
    }
}

TEST(Lv2Plugin, RunNeitherAllocatesNorLocks) {
    resetCountedCalls();
    armAllocationCounter(true);
    delete new volatile int(1);  // the counter sees what this test process allocates
    armAllocationCounter(false);
    ASSERT_GT(countedCalls(), 0);
    const std::vector<float> input = signal(4096, 7);
    std::vector<float> output(input.size());
    for (const Setting& setting : SETTINGS) {
        Plugin plugin(setting.uri, SAMPLE_RATE);
        ASSERT_TRUE(plugin.loaded());
        plugin.controls = setting.controls;
        for (uint32_t c = 0; c < plugin.channels(); ++c)
            plugin.connectAudio(c, input.data(), output.data());
        resetCountedCalls();
        armAllocationCounter(true);
        for (uint32_t count : {0u, 1u, 64u, 1000u, 4096u}) plugin.run(count);
        plugin.controls.bits = 3.0f;
        plugin.controls.mode = 1.0f - plugin.controls.mode;
        plugin.run(512);
        armAllocationCounter(false);
        EXPECT_EQ(countedCalls(), 0) << setting.uri;
    }
}

// Every factory preset is listed for both plugins, under its label, sets every control to
// exactly the value its row names, and makes sound of a -12 dBFS sine (a preset that silences
// ordinary material sounds broken).
// What a host draws for each port follows the table: whole-number controls (the seed, every
// choice) are integer ports, a choice an enumeration, a logarithmic control a logarithmic one.
TEST(Lv2Plugin, PortPropertiesFollowTheTable) {
    LilvWorld* w = world().world;
    const auto uri = [&](const char* text) { return lilv_new_uri(w, text); };
    LilvNode* integer = uri("http://lv2plug.in/ns/lv2core#integer");
    LilvNode* enumeration = uri("http://lv2plug.in/ns/lv2core#enumeration");
    LilvNode* logarithmic = uri("http://lv2plug.in/ns/ext/port-props#logarithmic");
    for (const char* plugin : {MONO, STEREO}) {
        const LilvPlugin* p = world().plugin(plugin);
        ASSERT_NE(p, nullptr);
        for (const dsp::ControlFacts& control : dsp::CONTROLS) {
            SCOPED_TRACE(control.symbol);
            LilvNode* symbol = lilv_new_string(w, control.symbol);
            const LilvPort* port = lilv_plugin_get_port_by_symbol(p, symbol);
            lilv_node_free(symbol);
            ASSERT_NE(port, nullptr);
            EXPECT_EQ(lilv_port_has_property(p, port, integer), control.integer);
            EXPECT_EQ(lilv_port_has_property(p, port, enumeration), control.choiceCount > 0);
            EXPECT_EQ(lilv_port_has_property(p, port, logarithmic), control.logarithmic);
        }
    }
    EXPECT_TRUE(dsp::CONTROLS[dsp::CONTROL_SEED].integer);
    for (LilvNode* node : {integer, enumeration, logarithmic}) lilv_node_free(node);
}

TEST(Lv2Plugin, EveryPresetLoadsAndSetsExactlyItsControls) {
    LilvWorld* w = world().world;
    LilvNode* presetClass = lilv_new_uri(w, "http://lv2plug.in/ns/ext/presets#Preset");
    UridMap map;
    for (const char* uri : {MONO, STEREO}) {
        SCOPED_TRACE(uri);
        const LilvPlugin* plugin = world().plugin(uri);
        ASSERT_NE(plugin, nullptr);
        LilvNodes* related = lilv_plugin_get_related(plugin, presetClass);
        EXPECT_EQ(lilv_nodes_size(related), std::size(dsp::PRESETS));
        for (const dsp::Preset& preset : dsp::PRESETS) {
            SCOPED_TRACE(preset.symbol);
            LilvNode* node =
                lilv_new_uri(w, (std::string("urn:qz-grindlet:preset:") + preset.symbol).c_str());
            EXPECT_TRUE(lilv_nodes_contains(related, node));
            lilv_world_load_resource(w, node);
            LilvState* state = lilv_state_new_from_world(w, &map.feature, node);
            ASSERT_NE(state, nullptr);
            EXPECT_STREQ(lilv_state_get_label(state), preset.label);
            // Every value a float, as control ports take them.
            struct Emitted {
                LV2_URID floatType;
                std::map<std::string, float> values;
            } emitted{map.feature.map(map.feature.handle, "http://lv2plug.in/ns/ext/atom#Float"),
                      {}};
            lilv_state_emit_port_values(
                state,
                [](const char* symbol, void* into, const void* value, uint32_t size,
                   uint32_t type) {
                    auto* out = static_cast<Emitted*>(into);
                    out->values[symbol] = size == sizeof(float) && type == out->floatType
                                              ? *static_cast<const float*>(value)
                                              : NAN;
                },
                &emitted);
            const auto& values = emitted.values;
            std::map<std::string, float> expected;
            for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
                expected[dsp::CONTROLS[i].symbol] =
                    static_cast<float>(dsp::presetValue(preset, dsp::ControlIndex(i)));
            }
            EXPECT_EQ(values, expected);
            if (std::string(uri) == MONO && values.size() == expected.size()) {
                Setting set{
                    uri,
                    {values.at("bits"), values.at("rate"), values.at("quantize"), values.at("mode"),
                     values.at("drive"), values.at("mix"), values.at("gain")}};
                for (size_t i = 0; i < set.controls.stages.size(); ++i)
                    set.controls.stages[i] = values.at(dsp::CONTROLS[FIRST_STAGE + i].symbol);
                std::vector<float> sine(4410);  // 440 Hz, 0.1 s, peaks at 1/4 (-12 dBFS)
                for (size_t i = 0; i < sine.size(); ++i)
                    sine[i] =
                        static_cast<float>(0.25 * sineOfTurns(440.0 * double(i) / SAMPLE_RATE));
                const std::vector<float> out = render(set, {sine}, {4410}, false)[0];
                double energy = 0;
                for (float v : out) energy += double(v) * v;
                EXPECT_GT(energy / double(out.size()), 1e-3) << "next to no sound (under -30 dB)";
            }
            for (const auto& [symbol, value] : values) {
                const auto control =
                    std::find_if(std::begin(dsp::CONTROLS), std::end(dsp::CONTROLS),
                                 [&](const dsp::ControlFacts& c) { return symbol == c.symbol; });
                ASSERT_NE(control, std::end(dsp::CONTROLS)) << symbol;
                EXPECT_TRUE(dsp::accepts(*control, value)) << symbol << " " << value;
            }
            lilv_state_free(state);
            lilv_node_free(node);
        }
        lilv_nodes_free(related);
    }
    lilv_node_free(presetClass);
}

}  // namespace
}  // namespace grindlet::test

// lv2-audio-bench: LV2 plugins timed on real audio, where lv2bench feeds one shared buffer of
// zeros (which flatters any plugin whose work depends on the samples). Every audio input gets a
// signal of its own: noise, or a "music" signal (a few partials with vibrato and a decaying
// envelope, so the quantizer meets every level). Control ports sit at their defaults unless -c
// sets them (by symbol, in every plugin that has it).
//   lv2-audio-bench [--frames N] [--signal noise|music] PLUGIN-URI...
// Prints nanoseconds per channel-sample at blocks of 64, 512 and 4,096 frames (the fastest of
// three runs). Not a test: timings belong to benchmarks.
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double SAMPLE_RATE = 48000.0;
constexpr int32_t BLOCKS[] = {64, 512, 4096};
constexpr int RUNS = 3;
constexpr size_t ATOM_WORDS = 512;

// One channel's whole signal.
std::vector<float> signal(const std::string& kind, int32_t channel, int64_t frames) {
    std::vector<float> samples(static_cast<size_t>(frames));
    std::mt19937 random(1000u + static_cast<uint32_t>(channel));
    std::uniform_real_distribution<float> noise(-0.9f, 0.9f);
    for (int64_t i = 0; i < frames; ++i) {
        const double t = double(i) / SAMPLE_RATE;
        if (kind == "noise") {
            samples[size_t(i)] = noise(random);
            continue;
        }
        // A note every half second, a fifth apart between channels, with vibrato and decay.
        const double note =
            110.0 * std::pow(2.0, double((i / 24000) % 12) / 12.0) * (channel % 2 ? 1.5 : 1.0);
        const double since = std::fmod(t, 0.5);
        const double envelope = std::exp(-4.0 * since);
        double v = 0.0;
        for (int partial = 1; partial <= 5; ++partial) {
            v += std::sin(2.0 * M_PI * note * partial * t + 0.3 * std::sin(2.0 * M_PI * 5.0 * t)) /
                 partial;
        }
        samples[size_t(i)] = static_cast<float>(0.5 * envelope * v);
    }
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    int64_t frames = 1 << 21;
    std::string kind = "music";
    std::vector<std::string> uris;
    std::map<std::string, float> settings;  // -c SYMBOL VALUE: a control away from its default
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            frames = std::atoll(argv[++i]);
        } else if (arg == "--signal" && i + 1 < argc) {
            kind = argv[++i];
        } else if (arg == "-c" && i + 2 < argc) {
            settings[argv[i + 1]] = static_cast<float>(std::atof(argv[i + 2]));
            i += 2;
        } else {
            uris.push_back(arg);
        }
    }
    if (uris.empty() || frames < 4096 || (kind != "noise" && kind != "music")) {
        std::fprintf(
            stderr,
            "usage: lv2-audio-bench [--frames N] [--signal noise|music] [-c SYMBOL VALUE]... "
            "PLUGIN-URI...\n");
        return 2;
    }
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    const LilvPlugins* all = lilv_world_get_all_plugins(world);
    LilvNode* audio = lilv_new_uri(world, LILV_URI_AUDIO_PORT);
    LilvNode* control = lilv_new_uri(world, LILV_URI_CONTROL_PORT);
    LilvNode* input = lilv_new_uri(world, LILV_URI_INPUT_PORT);
    LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);
    std::printf("%-44s %8s %10s %10s %10s   (%s, ns per channel-sample)\n", "plugin", "channels",
                "b=64", "b=512", "b=4096", kind.c_str());
    int status = 0;
    for (const std::string& uri : uris) {
        LilvNode* name = lilv_new_uri(world, uri.c_str());
        const LilvPlugin* plugin = lilv_plugins_get_by_uri(all, name);
        lilv_node_free(name);
        LilvInstance* instance =
            plugin != nullptr ? lilv_plugin_instantiate(plugin, SAMPLE_RATE, nullptr) : nullptr;
        if (instance == nullptr) {
            std::fprintf(stderr, "lv2-audio-bench: cannot load %s\n", uri.c_str());
            status = 1;
            continue;
        }
        const uint32_t ports = lilv_plugin_get_num_ports(plugin);
        std::vector<float> controls(ports, 0.0f), minimum(ports), maximum(ports), defaults(ports);
        lilv_plugin_get_port_ranges_float(plugin, minimum.data(), maximum.data(), defaults.data());
        std::vector<std::vector<float>> ins, outs;
        std::vector<uint32_t> inPorts, outPorts;
        // Atom ports (a GUI's messages) get an empty sequence in, room for one out.
        std::vector<std::vector<uint64_t>> atoms;
        std::vector<LV2_Atom*> atomOutputs;
        bool usable = true;
        for (uint32_t p = 0; p < ports; ++p) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
            const bool isInput = lilv_port_is_a(plugin, port, input);
            if (lilv_port_is_a(plugin, port, control)) {
                controls[p] = std::isnan(defaults[p]) ? 0.0f : defaults[p];
                const char* symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
                if (settings.count(symbol) > 0) controls[p] = settings[symbol];
                lilv_instance_connect_port(instance, p, &controls[p]);
            } else if (lilv_port_is_a(plugin, port, audio)) {
                (isInput ? inPorts : outPorts).push_back(p);
            } else if (lilv_port_is_a(plugin, port, atom)) {
                atoms.emplace_back(ATOM_WORDS, 0);
                auto* header = reinterpret_cast<LV2_Atom*>(atoms.back().data());
                header->size = sizeof(LV2_Atom_Sequence_Body);
                if (!isInput) atomOutputs.push_back(header);
                lilv_instance_connect_port(instance, p, atoms.back().data());
            } else {
                usable = false;  // CV: this host feeds audio, controls and atoms only
            }
        }
        if (!usable) {
            std::fprintf(stderr, "lv2-audio-bench: %s has ports other than audio, control, atom\n",
                         uri.c_str());
            lilv_instance_free(instance);
            status = 1;
            continue;
        }
        for (size_t c = 0; c < inPorts.size(); ++c)
            ins.push_back(signal(kind, static_cast<int32_t>(c), frames));
        outs.assign(outPorts.size(), std::vector<float>(static_cast<size_t>(frames)));
        const auto channels = static_cast<int64_t>(std::max(inPorts.size(), outPorts.size()));
        lilv_instance_activate(instance);
        std::printf("%-44s %8lld", uri.c_str(), static_cast<long long>(channels));
        for (int32_t block : BLOCKS) {
            double best = 1e30;
            for (int run = 0; run < RUNS; ++run) {
                const auto start = std::chrono::steady_clock::now();
                for (int64_t at = 0; at + block <= frames; at += block) {
                    for (size_t c = 0; c < inPorts.size(); ++c)
                        lilv_instance_connect_port(instance, inPorts[c], ins[c].data() + at);
                    for (size_t c = 0; c < outPorts.size(); ++c)
                        lilv_instance_connect_port(instance, outPorts[c], outs[c].data() + at);
                    for (LV2_Atom* out : atomOutputs)
                        out->size = ATOM_WORDS * sizeof(uint64_t) - sizeof(LV2_Atom);
                    lilv_instance_run(instance, static_cast<uint32_t>(block));
                }
                const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
                best = std::min(best, took.count());
            }
            const int64_t done = frames / block * block;
            std::printf(" %10.3f", best * 1e9 / double(done * channels));
        }
        std::printf("\n");
        std::fflush(stdout);
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
    lilv_node_free(audio);
    lilv_node_free(control);
    lilv_node_free(input);
    lilv_node_free(atom);
    lilv_world_free(world);
    return status;
}

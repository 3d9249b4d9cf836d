// A JACK client that plays a signal into a plugin hosted by another JACK application and records
// what comes back: the LV2 plugin tested inside a real host (jalv) on a running JACK server.
//   grindlet-jack-roundtrip CLIENT_IN CLIENT_OUT BITS RATE_HZ SECONDS
// connects its output to CLIENT_IN and CLIENT_OUT to its input, plays SECONDS of a test signal,
// and compares the recording with the effect rendered here by the signal code at the server's
// sample rate (a host's periods, whatever their size, give the same bits at fixed controls). The
// recording may lag by up to two periods (the loop through the other client); the lag is found.
// Exits 0 when the recording matches, 1 with a message otherwise; every wait is bounded.
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dsp/controls.h"
#include "dsp/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double CONNECT_SECONDS = 20.0;  // for the server and the other client to appear
constexpr double SLACK_SECONDS = 20.0;    // beyond the signal's own length, on a loaded machine

struct Loop {
    jack_port_t* play = nullptr;
    jack_port_t* record = nullptr;
    std::vector<float> signal;         // what is played, then silence
    std::vector<float> recorded;       // everything that came back
    std::atomic<bool> started{false};  // both connections stand: frame 0 plays next
    std::atomic<size_t> frames{0};
};

int processCycle(jack_nframes_t count, void* argument) {
    auto* loop = static_cast<Loop*>(argument);
    auto* out = static_cast<float*>(jack_port_get_buffer(loop->play, count));
    const auto* in = static_cast<const float*>(jack_port_get_buffer(loop->record, count));
    if (!loop->started.load(std::memory_order_acquire)) {
        std::memset(out, 0, sizeof(float) * count);
        return 0;
    }
    const size_t at = loop->frames.load(std::memory_order_relaxed);
    for (jack_nframes_t i = 0; i < count; ++i) {
        out[i] = at + i < loop->signal.size() ? loop->signal[at + i] : 0.0f;
        if (at + i < loop->recorded.size()) loop->recorded[at + i] = in[i];
    }
    loop->frames.store(at + count, std::memory_order_release);
    return 0;
}

bool sameBits(float a, float b) {
    uint32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "grindlet-jack-roundtrip: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: grindlet-jack-roundtrip CLIENT_IN CLIENT_OUT BITS RATE_HZ SECONDS\n");
        return 2;
    }
    const std::string pluginIn = argv[1], pluginOut = argv[2];
    const double bits = std::atof(argv[3]), hertz = std::atof(argv[4]),
                 seconds = std::atof(argv[5]);

    jack_client_t* client = nullptr;
    const auto deadline = Clock::now() + std::chrono::duration<double>(CONNECT_SECONDS);
    while (client == nullptr) {
        jack_status_t status;
        client = jack_client_open("grindlet-roundtrip", JackNoStartServer, &status);
        if (client == nullptr && Clock::now() > deadline)
            return fail("no JACK server answered within " + std::to_string(CONNECT_SECONDS) + " s");
        if (client == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double rate = jack_get_sample_rate(client);
    const jack_nframes_t period = jack_get_buffer_size(client);
    Loop loop;
    const auto length = static_cast<size_t>(seconds * rate);
    loop.signal.resize(length);
    for (size_t i = 0; i < length; ++i) {
        loop.signal[i] =
            static_cast<float>(0.8 * std::sin(2.0 * M_PI * 220.0 * double(i) / rate) +
                               0.15 * std::sin(2.0 * M_PI * 3170.0 * double(i) / rate));
    }
    loop.recorded.assign(length + 3 * size_t{period}, 0.0f);
    loop.play = jack_port_register(client, "play", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    loop.record = jack_port_register(client, "record", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (loop.play == nullptr || loop.record == nullptr) return fail("cannot register ports");
    // Silence until both connections stand, then the signal from frame 0.
    jack_set_process_callback(client, processCycle, &loop);
    if (jack_activate(client) != 0) return fail("cannot activate the client");
    const std::string play = std::string(jack_get_client_name(client)) + ":play";
    const std::string record = std::string(jack_get_client_name(client)) + ":record";
    bool connected = false;
    while (!connected && Clock::now() < deadline) {
        // Ask for the connections only once both ports exist (asking earlier fills the log).
        const bool ready = jack_port_by_name(client, pluginIn.c_str()) != nullptr &&
                           jack_port_by_name(client, pluginOut.c_str()) != nullptr;
        connected = ready &&
                    (jack_port_connected_to(loop.play, pluginIn.c_str()) ||
                     jack_connect(client, play.c_str(), pluginIn.c_str()) == 0) &&
                    (jack_port_connected_to(loop.record, pluginOut.c_str()) ||
                     jack_connect(client, pluginOut.c_str(), record.c_str()) == 0);
        if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!connected) {
        jack_client_close(client);
        return fail("the plugin's ports " + pluginIn + " and " + pluginOut + " did not appear");
    }
    // A few periods for the plugin's state to settle on silence, as an offline render starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.started.store(true, std::memory_order_release);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds + SLACK_SECONDS);
    while (loop.frames.load(std::memory_order_acquire) < loop.recorded.size() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const size_t done = loop.frames.load(std::memory_order_acquire);
    jack_deactivate(client);
    jack_client_close(client);
    if (done < loop.recorded.size()) {
        return fail("the server ran " + std::to_string(done) + " of " +
                    std::to_string(loop.recorded.size()) + " frames in time");
    }

    // The effect as the plugin computes it, at the server's rate, with the table's defaults for
    // everything else. The plugin ran on silence for a while before frame 0, which leaves its
    // phase anywhere in one hold: the render here runs on k zeros first, for each k in a hold.
    const auto hold = static_cast<size_t>(std::ceil(rate / hertz));
    for (size_t k = 0; k <= hold; ++k) {
        std::vector<float> input(k, 0.0f), expected(k + length);
        input.insert(input.end(), loop.signal.begin(), loop.signal.end());
        grindlet::dsp::Engine engine(rate, 1);
        engine.set(grindlet::dsp::CONTROL_BITS, bits);
        engine.set(grindlet::dsp::CONTROL_RATE, hertz);
        const float* in = input.data();
        float* out = expected.data();
        engine.process(&in, &out, static_cast<int64_t>(input.size()));
        for (size_t lag = 0; lag <= 2 * size_t{period}; ++lag) {
            size_t same = 0;
            while (same < length && sameBits(loop.recorded[lag + same], expected[k + same])) ++same;
            if (same == length) {
                std::printf(
                    "rate %.0f Hz, period %u: %zu frames back through the plugin, %zu "
                    "frames late, every one as rendered here\n",
                    rate, period, length, lag);
                return 0;
            }
        }
    }
    size_t nonzero = 0;
    for (float v : loop.recorded) nonzero += v != 0.0f;
    return fail("rate " + std::to_string(rate) + ", period " + std::to_string(period) +
                ": the recording matches the effect at no lag up to two periods (" +
                std::to_string(nonzero) + " nonzero frames came back)");
}

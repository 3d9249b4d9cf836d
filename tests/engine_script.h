// A random stream through an engine, as a hostile host would drive it: every control set now and
// then (choices switched mid-stream, values outside their ranges), sweeps, the bypass, blocks of
// any size, calls of 1 to 700 frames, in place or not, resets, restarts and a transport's song
// positions, over noise, sines, near-silence with subnormals in it, and (where allowed) NaN and
// infinities. The differential test and the fuzz target play one script through the fast and the
// plain engine; the property test holds its output within the bound the README states.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/controls.h"
#include "dsp/level_stage.h"
#include "dsp/stages.h"
#include "tests/special_floats.h"

namespace grindlet::test {

using Planar = std::vector<std::vector<float>>;

struct EngineEvent {
    enum Kind { Set, Sweep, Enable, Block, Reset, Restart, Song } kind = Set;
    dsp::ControlIndex control = dsp::CONTROL_BITS;
    double value = 0.0, to = 0.0;
    int64_t frames = 0;
};

struct EngineCall {
    std::vector<EngineEvent> before;
    int32_t frames = 0;
    bool inPlace = false;
};

struct EngineScript {
    double sampleRate = 48000.0;
    int32_t channels = 2;
    std::vector<EngineCall> calls;
    Planar input;
};

struct ScriptOptions {
    bool hostile = true;  // NaN and infinities in the input, values outside the controls' ranges
    int32_t mostFrames = 6000;
};

// Random: below(n) in [0, n), unit() in [0, 1).
template <class Random>
class ScriptMaker {
public:
    ScriptMaker(Random& random, ScriptOptions options) : r(random), o(options) {}

    EngineScript make() {
        EngineScript s;
        const double rates[] = {44100.0, 48000.0, 96000.0, 8000.0, 22050.0, 192000.0};
        s.sampleRate = r.below(4) == 0 ? 8000.0 + r.unit() * 184000.0 : rates[r.below(6)];
        s.channels = r.below(8) == 0 ? 1 + int32_t(r.below(5)) : 1 + int32_t(r.below(2));
        const int32_t total = 1 + int32_t(r.below(uint32_t(o.mostFrames)));
        s.input.assign(size_t(s.channels), std::vector<float>(size_t(total)));
        for (auto& channel : s.input) fillSignal(channel, s.sampleRate);
        // Every control somewhere in its range to begin with, then events before some calls.
        EngineCall first;
        for (size_t c = 0; c < dsp::CONTROL_COUNT; ++c) {
            if (r.below(3) != 0) first.before.push_back(setEvent(dsp::ControlIndex(c)));
        }
        for (int32_t at = 0; at < total;) {
            EngineCall call = s.calls.empty() ? first : EngineCall{};
            if (!s.calls.empty() && r.below(3) == 0) {
                const uint32_t events = 1 + r.below(4);
                for (uint32_t e = 0; e < events; ++e) call.before.push_back(event(total));
            }
            const uint32_t kind = r.below(8);
            const int32_t longest = kind == 0 ? 3 : kind == 1 ? 64 : 700;
            call.frames = std::min(total - at, 1 + int32_t(r.below(uint32_t(longest))));
            call.inPlace = r.below(3) == 0;
            s.calls.push_back(call);
            at += call.frames;
        }
        return s;
    }

private:
    double uniform(double low, double high) { return low + (high - low) * r.unit(); }

    // A value a user or a host may give the control: mostly within its range (the slider's,
    // sometimes the whole range), a choice's index, now and then outside it or not a number.
    double valueOf(dsp::ControlIndex control) {
        const dsp::ControlFacts& f = dsp::CONTROLS[control];
        if (o.hostile && r.below(40) == 0) {
            const double odd[] = {-1.0, 1e9, std::nan(""), f.maximum * 2.0, -1e-30};
            return odd[r.below(5)];
        }
        if (f.choiceCount > 0) return double(r.below(uint32_t(f.choiceCount)));
        if (control == dsp::CONTROL_RATE) {  // logarithmic, from 20 Hz past the sample rate
            return std::exp(uniform(std::log(20.0), std::log(300000.0)));
        }
        if (control == dsp::CONTROL_BITS && r.below(2) == 0) return uniform(0.0, 12.0);
        // Mostly 0, so that Rate in hertz (its jumps, its sweeps) stays the usual case.
        if (control == dsp::CONTROL_RATE_RATIO && r.below(4) != 0) return 0.0;
        const bool slider = r.below(4) != 0;
        return uniform(slider ? f.sliderMinimum : f.minimum, slider ? f.sliderMaximum : f.maximum);
    }

    EngineEvent setEvent(dsp::ControlIndex control) {
        EngineEvent e;
        e.kind = EngineEvent::Set;
        e.control = control;
        e.value = valueOf(control);
        return e;
    }

    EngineEvent event(int32_t total) {
        EngineEvent e = setEvent(dsp::ControlIndex(r.below(uint32_t(dsp::CONTROL_COUNT))));
        switch (r.below(24)) {
            case 0:
            case 1:
            case 2:
                e.kind = EngineEvent::Sweep;
                e.to = valueOf(e.control);
                e.frames = 1 + int64_t(r.below(uint32_t(total)));
                break;
            case 3:
                e.kind = EngineEvent::Enable;
                e.value = r.below(2);
                break;
            case 4: {
                e.kind = EngineEvent::Block;
                const int32_t blocks[] = {0, 1, 2, 3, 17, 64, 128, 256, 300, 512, 1021};
                e.frames = blocks[r.below(11)];
                break;
            }
            case 5:
                e.kind = r.below(2) == 0 ? EngineEvent::Reset : EngineEvent::Restart;
                break;
            case 6:  // a host's transport says where the song is, in quarter notes
                e.kind = EngineEvent::Song;
                e.value = double(r.below(4000)) / 8.0;
                break;
            default:
                break;
        }
        return e;
    }

    void fillSignal(std::vector<float>& x, double sampleRate) {
        const double amplitude = r.below(5) == 0 ? 1.0 : uniform(0.0, 1.0);
        const double hertz = std::exp(uniform(std::log(20.0), std::log(sampleRate / 2.0)));
        const uint32_t kind = r.below(5);
        for (size_t i = 0; i < x.size(); ++i) {
            double v = kind == 0 ? amplitude * grindlet::sineOfTurns(hertz * double(i) / sampleRate)
                       : kind == 1 ? amplitude * (r.below(2) == 0 ? 1.0 : -1.0)  // a full square
                                   : amplitude * uniform(-1.0, 1.0);
            if (kind == 2 && i > x.size() / 2) v *= 1e-36;  // falling to near silence
            x[i] = static_cast<float>(v);
            if (r.below(200) == 0) {  // subnormals and signed zeros among them
                const float tiny[] = {1e-40f, -3e-39f, 1.2e-38f, -0.0f, 0.0f};
                x[i] = tiny[r.below(5)];
            }
            if (o.hostile && r.below(500) == 0)
                x[i] = SPECIAL_FLOATS[r.below(uint32_t(std::size(SPECIAL_FLOATS)))];
        }
    }

    Random& r;
    ScriptOptions o;
};

// Plays a script through an engine: its output, channel by channel.
template <class Engine>
Planar play(const EngineScript& s, Engine& engine) {
    Planar out(s.input.size(), std::vector<float>(s.input[0].size()));
    Planar work = s.input;  // in place, the engine writes over its input
    int64_t at = 0;
    std::vector<const float*> in(s.input.size());
    std::vector<float*> to(s.input.size());
    for (const EngineCall& call : s.calls) {
        for (const EngineEvent& e : call.before) {
            switch (e.kind) {
                case EngineEvent::Set:
                    engine.set(e.control, e.value);
                    break;
                case EngineEvent::Sweep:
                    engine.sweep(e.control, e.value, e.to, e.frames);
                    break;
                case EngineEvent::Enable:
                    engine.setEnabled(e.value != 0.0);
                    break;
                case EngineEvent::Block:
                    engine.setBlockFrames(static_cast<int32_t>(e.frames));
                    break;
                case EngineEvent::Reset:
                    engine.reset();
                    break;
                case EngineEvent::Restart:
                    engine.restart();
                    break;
                case EngineEvent::Song:
                    engine.setSongPosition(e.value);
                    break;
            }
        }
        for (size_t c = 0; c < s.input.size(); ++c) {
            in[c] = call.inPlace ? work[c].data() + at : s.input[c].data() + at;
            to[c] = call.inPlace ? work[c].data() + at : out[c].data() + at;
        }
        engine.process(in.data(), to.data(), call.frames);
        if (call.inPlace) {
            for (size_t c = 0; c < s.input.size(); ++c)
                std::copy(work[c].data() + at, work[c].data() + at + call.frames,
                          out[c].data() + at);
        }
        at += call.frames;
    }
    return out;
}

// The bound the README states for an input within ±1: every output sample within
// max(1, G)·max(P, 2·P·D + 2·q), where P is the input's peak, D and G the largest drive and
// output gains the stream used, and q the largest step of the quantizer as the output hears it
// (with a law, its step at full scale), over every value the controls took.
inline double statedBound(const EngineScript& s) {
    double peak = 0.0;
    for (const auto& channel : s.input) {
        for (float x : channel) peak = std::max(peak, double(std::fabs(x)));
    }
    const auto within = [](dsp::ControlIndex control, double v) {
        const dsp::ControlFacts& f = dsp::CONTROLS[control];
        return std::isnan(v) ? f.defaultValue : std::clamp(v, f.minimum, f.maximum);
    };
    double driveDb = dsp::defaultOf(dsp::CONTROL_DRIVE), gainDb = dsp::defaultOf(dsp::CONTROL_GAIN);
    float fewestBits = static_cast<float>(dsp::defaultOf(dsp::CONTROL_BITS));
    for (const EngineCall& call : s.calls) {
        for (const EngineEvent& e : call.before) {
            if (e.kind != EngineEvent::Set && e.kind != EngineEvent::Sweep) continue;
            for (double v : {e.value, e.kind == EngineEvent::Sweep ? e.to : e.value}) {
                if (e.control == dsp::CONTROL_DRIVE)
                    driveDb = std::max(driveDb, within(e.control, v));
                if (e.control == dsp::CONTROL_GAIN) gainDb = std::max(gainDb, within(e.control, v));
                // Above 1 bit a step is 2^(1 - bits); at 1 bit and below, 1 (or silence).
                if (e.control == dsp::CONTROL_BITS && v > 0.0)
                    fewestBits = std::min(fewestBits, static_cast<float>(v));
            }
        }
    }
    const float step = fewestBits > 1.0f ? std::exp2(1.0f - fewestBits) * 1.000001f : 1.0f;
    const double q =
        std::max({double(step), double(dsp::companding::heardStep(dsp::Law::MuLaw, step)),
                  double(dsp::companding::heardStep(dsp::Law::ALaw, step))});
    const double drive = dsp::LevelStage::decibels(driveDb);
    const double gain = dsp::LevelStage::decibels(gainDb);
    return std::max(1.0, gain) * std::max(peak, 2.0 * peak * drive + 2.0 * q);
}

}  // namespace grindlet::test

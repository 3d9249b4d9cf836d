// What the tools know of this one effect: its pins found by name, and a run of one effect
// object over a whole signal the way a host would, block by block, checking on the way that
// every call writes exactly its samples. Used by the conformance check, the render tool and
// the tests; the host itself (host/) knows no effect.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/hosted_module.h"

namespace grindlet::host {

struct Scenario {
    float sampleRate = 44100.0f;
    int32_t blockSize = 1024;          // the block size the host reports
    std::vector<int32_t> blockCounts;  // the count of each process call, repeated to the end
    int16_t quantMode = 0;             // "Q.Mode"
    int16_t rateMode = 0;              // "R.Mode"
    bool inPlace = false;              // output buffer = input buffer
    std::vector<float> input;
    // Control stream values ("Bits" the bit count divided by ten, "S.R." the rate in hertz divided by ten) for the
    // block that starts at a sample position.
    std::function<float(int32_t)> bits = [](int32_t) { return 1.6f; };
    std::function<float(int32_t)> rate = [](int32_t) { return 4410.0f; };
};

struct ScenarioResult {
    std::vector<float> output;
    std::string fault;  // empty when every call wrote exactly its samples
};

// The stream pins of the effect, found by name.
struct EffectPins {
    int32_t input = -1, bits = -1, rate = -1, output = -1, quantMode = -1, rateMode = -1;
    bool complete() const {
        return input >= 0 && bits >= 0 && rate >= 0 && output >= 0 && quantMode >= 0 &&
               rateMode >= 0;
    }
};
EffectPins findEffectPins(const HostedModule& module);

// A made, described, opened object with buffers of a length, streaming input.
class EffectRunner {
public:
    EffectRunner(const ModuleLibrary& library, const Scenario& scenario);
    bool ready(std::string& error);
    // Processes the next block; false when the scenario is done.
    bool step();
    ScenarioResult finish();
    HostedModule& module() { return hosted; }

private:
    const Scenario& scenario;
    HostedModule hosted;
    EffectPins pins;
    int32_t position = 0;
    size_t callIndex = 0;
    std::string fault;
    std::vector<float> output;
};

ScenarioResult runScenario(const ModuleLibrary& library, const Scenario& scenario);

}  // namespace grindlet::host

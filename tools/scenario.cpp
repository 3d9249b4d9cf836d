#include "scenario.h"

#include "host/sample_checks.h"

#include <algorithm>
#include <cstring>

namespace grindlet::host {

EffectPins findEffectPins(const HostedModule& module) {
    EffectPins pins;
    pins.input = module.findPin("Input");
    pins.bits = module.findPin("Bits");
    pins.rate = module.findPin("S.R.");
    pins.output = module.findPin("Output");
    pins.quantMode = module.findPin("Q.Mode");
    pins.rateMode = module.findPin("R.Mode");
    return pins;
}

EffectRunner::EffectRunner(const ModuleLibrary& library, const Scenario& s)
    : scenario(s), hosted(library) {}

bool EffectRunner::ready(std::string& error) {
    if (!hosted.make(error)) return false;
    hosted.setSampleRate(scenario.sampleRate);
    hosted.setBlockSize(scenario.blockSize);
    hosted.describePins();
    pins = findEffectPins(hosted);
    if (!pins.complete()) {
        error = "the module does not describe the six effect pins";
        return false;
    }
    const auto length = static_cast<int32_t>(scenario.input.size());
    hosted.allocateBuffers(std::max<int32_t>(length, 1));
    hosted.open();
    std::copy(scenario.input.begin(), scenario.input.end(), hosted.buffer(pins.input));
    if (scenario.inPlace) hosted.useBuffer(pins.output, hosted.buffer(pins.input));
    float* out = hosted.buffer(pins.output);
    if (!scenario.inPlace) std::fill(out, out + length, sentinel());
    hosted.setListValue(pins.quantMode, scenario.quantMode);
    hosted.setListValue(pins.rateMode, scenario.rateMode);
    hosted.sendPinStatus(pins.input, STATUS_STREAMING);
    return true;
}

bool EffectRunner::step() {
    const auto length = static_cast<int32_t>(scenario.input.size());
    if (position >= length) return false;
    const std::vector<int32_t>& counts = scenario.blockCounts;
    int32_t count = counts.empty() ? scenario.blockSize : counts[callIndex % counts.size()];
    ++callIndex;
    count = std::max(0, std::min(count, length - position));
    // Controls are read at the block's first sample only: fill the rest with noise.
    hosted.buffer(pins.bits)[position] = scenario.bits(position);
    hosted.buffer(pins.rate)[position] = scenario.rate(position);
    for (int32_t i = position + 1; i < std::min(position + count, length); ++i) {
        hosted.buffer(pins.bits)[i] = -123.0f;
        hosted.buffer(pins.rate)[i] = -123.0f;
    }
    hosted.process(position, count);
    const float* out = hosted.buffer(pins.output);
    if (fault.empty() && !scenario.inPlace) {
        for (int32_t i = position; i < position + count; ++i) {
            if (floatBits(out[i]) == SENTINEL_BITS) {
                fault = "sample " + std::to_string(i) + " of the block was not written";
                break;
            }
        }
        const int32_t guardEnd = std::min(length, position + count + 64);
        for (int32_t i = position + count; i < guardEnd; ++i) {
            if (floatBits(out[i]) != SENTINEL_BITS) {
                fault = "sample " + std::to_string(i) + " after the block was written";
                break;
            }
        }
    }
    position += count;
    if (count == 0 && counts.size() == 1) position = length;  // only empty calls: done
    return true;
}

ScenarioResult EffectRunner::finish() {
    const float* out = hosted.buffer(pins.output);
    ScenarioResult result;
    result.output.assign(out, out + scenario.input.size());
    result.fault = fault;
    hosted.close();
    return result;
}

ScenarioResult runScenario(const ModuleLibrary& library, const Scenario& scenario) {
    EffectRunner runner(library, scenario);
    std::string error;
    if (!runner.ready(error)) return ScenarioResult{{}, error};
    while (runner.step()) {}
    return runner.finish();
}

}  // namespace grindlet::host

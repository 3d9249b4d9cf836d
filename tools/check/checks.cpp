#include "checks.h"

namespace grindlet::check {

using namespace grindlet::host;

const char* const ROUTINE_NAMES[2] = {"Step", "Linear"};
const char* const MODE_NAMES[3] = {"Floor", "Round", "Inside"};

Outcome CheckContext::scenario(const std::string& name, const Scenario& s, ScenarioResult* out) {
    ScenarioResult result = runScenario(library, s);
    if (dump != nullptr) *dump += name + " " + hex32(hashSamples(result.output)) + "\n";
    for (size_t i = 0; dump != nullptr && samples && i < result.output.size(); ++i)
        *dump += "  " + hex32(floatBits(result.output[i])) + "\n";
    if (out != nullptr) *out = result;
    if (!result.fault.empty()) return failWith(result.fault);
    return pass();
}

Outcome expectCalls(const std::vector<HostCall>& actual, const std::vector<HostCall>& expected) {
    auto text = [](const std::vector<HostCall>& calls) {
        std::string s;
        for (const HostCall& c : calls) {
            s += (s.empty() ? "" : ", ") + hostOpcodeName(c.opcode) + "(pin " +
                 std::to_string(c.index) + ", value " + std::to_string(c.value) + ", pointer " +
                 std::to_string(c.pointer) + ")";
        }
        return s.empty() ? std::string("none") : s;
    };
    bool same = actual.size() == expected.size();
    for (size_t i = 0; same && i < actual.size(); ++i) {
        same = actual[i].opcode == expected[i].opcode && actual[i].index == expected[i].index &&
               actual[i].value == expected[i].value && actual[i].pointer == expected[i].pointer;
    }
    if (same) return pass();
    return failWith("host calls " + text(actual) + ", expected " + text(expected));
}

// A made and opened object with 64-sample buffers, as most checks want it.
bool makeAndOpen(HostedModule& module, std::string& error) {
    if (!module.make(error)) return false;
    module.describePins();
    module.allocateBuffers(64);
    module.open();
    return true;
}

}  // namespace grindlet::check

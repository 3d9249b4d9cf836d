// grindlet-check MODULE [--dump FILE] [--describe]: a conformance run of a module file, driven
// only through the host side: how the module behaves when a host drives it (identity, pins,
// host calls and their order, statuses, wind-down and sleep, blocks of any size, in place)
// and its output against QZ-Grindlet's reference hashes. One line per check, then
// "MODULE: N passed, M failed"; exit 0 only when none failed, 2 when it cannot run at all.
// --dump writes the output hash of every scenario, for comparing two builds; --describe prints
// the module's identity and pin table instead.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/sample_checks.h"
#include "host/scenario.h"

using namespace grindlet;
using namespace grindlet::host;

namespace {

constexpr double PI = 3.14159265358979323846;

struct Outcome {
    bool ok;
    std::string detail;
};
Outcome pass() { return {true, ""}; }
Outcome failWith(const std::string& why) { return {false, why}; }






const char* ROUTINE_NAMES[] = {"Step", "Linear"};
const char* MODE_NAMES[] = {"Floor", "Round", "Inside"};

class Checker {
public:
    Checker(const ModuleLibrary& lib, std::FILE* dumpFile) : library(lib), dump(dumpFile) {}

    void run(const std::string& name, const std::function<Outcome()>& check) {
        const Outcome outcome = check();
        if (outcome.ok) {
            ++passed;
            std::printf("PASS %s\n", name.c_str());
        } else {
            ++failed;
            std::printf("FAIL %s: %s\n", name.c_str(), outcome.detail.c_str());
        }
        std::fflush(stdout);
    }

    // Runs a scenario, records its hash for the build comparison, and reports faults.
    Outcome scenario(const std::string& name, const Scenario& s, ScenarioResult* out = nullptr) {
        ScenarioResult result = runScenario(library, s);
        if (dump != nullptr) std::fprintf(dump, "%s %s\n", name.c_str(), hex32(hashSamples(result.output)).c_str());
        if (out != nullptr) *out = result;
        if (!result.fault.empty()) return failWith(result.fault);
        return pass();
    }

    int passed = 0, failed = 0;
    const ModuleLibrary& library;
    std::FILE* dump;
};

Outcome expectCalls(const std::vector<HostCall>& actual, const std::vector<HostCall>& expected) {
    auto text = [](const std::vector<HostCall>& calls) {
        std::string s;
        for (const HostCall& c : calls) {
            s += (s.empty() ? "" : ", ") + hostOpcodeName(c.opcode) + "(pin " + std::to_string(c.index) +
                 ", value " + std::to_string(c.value) + ", pointer " + std::to_string(c.pointer) + ")";
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

Scenario referenceScenario(int16_t rateMode, int16_t quantMode) {
    Scenario s;
    s.input = testSignal(8192);
    s.rateMode = rateMode;
    s.quantMode = quantMode;
    s.blockCounts = {512};
    s.bits = [](int32_t position) { return 0.4f + 0.1f * static_cast<float>(position / 2048); };
    s.rate = [](int32_t position) { return 300.0f + 150.0f * static_cast<float>(position / 1024); };
    return s;
}

// Output hashes of the reference scenarios, fixed from the linux build when the effect was
// written; every build must reproduce them.
constexpr uint32_t REFERENCE_HASHES[2][3] = {{0xb384eac3u, 0xb04b822cu, 0x9f11402cu},
                                             {0x072e3e87u, 0x540a34f7u, 0x95c757b5u}};

constexpr const char* USAGE = "usage: grindlet-check MODULE [--dump FILE] [--describe]\n";

const char* directionName(int32_t direction) {
    return direction == PIN_DIRECTION_IN ? "in" : direction == PIN_DIRECTION_OUT ? "out" : "?";
}

const char* datatypeName(int32_t datatype) {
    switch (datatype) {
        case PIN_DATATYPE_LIST: return "list";
        case PIN_DATATYPE_BYTE: return "byte";
        case PIN_DATATYPE_FLOAT_STREAM: return "float stream";
        case PIN_DATATYPE_WORD: return "word";
        case PIN_DATATYPE_UNSTORED_1:
        case PIN_DATATYPE_UNSTORED_2:
        case PIN_DATATYPE_UNSTORED_3: return "unstored";
        default: return "undescribed";
    }
}

// The module's identity and pin table, as a host shows them to a user.
int describe(const ModuleLibrary& library) {
    const ModuleIdentity identity = readIdentity(library, 0);
    std::printf("module file: %s\nname: %s\nid: %s\nsdk version: %d\nabout: %s\n\n", library.path().c_str(),
                identity.name.c_str(), identity.id.c_str(), identity.sdkVersion, identity.about.c_str());
    HostedModule module(library);
    std::string error;
    if (!module.make(error)) {
        std::fprintf(stderr, "grindlet-check: %s\n", error.c_str());
        return 2;
    }
    std::printf("%-5s %-10s %-4s %-13s %-10s %s\n", "pin", "name", "dir", "datatype", "default", "range or list");
    const auto& pins = module.describePins();
    for (size_t i = 0; i < pins.size(); ++i) {
        const PinDescription& pin = pins[i];
        std::printf("%-5zu %-10s %-4s %-13s %-10s %s\n", i, pin.name.c_str(), directionName(pin.info.direction),
                    datatypeName(pin.info.datatype), pin.defaultValue.empty() ? "-" : pin.defaultValue.c_str(),
                    pin.datatypeExtra.empty() ? "-" : pin.datatypeExtra.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path, dumpPath;
    bool describeOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--describe") {
            describeOnly = true;
        } else if (arg == "--dump" && i + 1 < argc) {
            dumpPath = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "grindlet-check: unknown option %s\n%s", arg.c_str(), USAGE);
            return 2;
        } else if (path.empty()) {
            path = arg;
        } else {
            std::fprintf(stderr, "grindlet-check: more than one module file: %s\n%s", arg.c_str(), USAGE);
            return 2;
        }
    }
    if (path.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::FILE* dump = nullptr;
    if (!dumpPath.empty()) {
        dump = std::fopen(dumpPath.c_str(), "w");
        if (dump == nullptr) {
            std::fprintf(stderr, "grindlet-check: cannot write %s\n", dumpPath.c_str());
            return 2;
        }
    }
    std::string error;
    const auto library = ModuleLibrary::load(path, error);
    if (!library) {
        std::fprintf(stderr, "grindlet-check: %s\n", error.c_str());
        return 2;
    }
    if (describeOnly) return describe(*library);
    Checker checker(*library, dump);

    checker.run("identity of module 0", [&] {
        const ModuleIdentity id = readIdentity(*library, 0);
        if (id.result != 1) return failWith("getModuleProperties(0) returned " + std::to_string(id.result));
        if (id.name != "QZ-Grindlet" || id.id != "QZ-Grindlet") return failWith("name/id " + id.name + "/" + id.id);
        if (id.about.rfind("Grindlet v1.2\n", 0) != 0) return failWith("about text " + id.about);
        if (id.sdkVersion != 2150) return failWith("sdk version " + std::to_string(id.sdkVersion));
        return pass();
    });
    checker.run("no module at index 1, version still written", [&] {
        ModuleInfo info{};
        info.hostWord12 = 0x1234;
        const int32_t result = library->getModuleProperties()(1, &info);
        if (result != 0 || info.name || info.id || info.about || info.hostWord12 != 0x1234 ||
            info.sdkVersion != 2150) {
            return failWith("index 1 answered or wrote more than the version");
        }
        return pass();
    });
    checker.run("makeModule serves only index 0, kind 1", [&] {
        if (library->makeModule()(0, 2, nullptr, nullptr) != nullptr) return failWith("kind 2 made an object");
        if (library->makeModule()(1, 1, nullptr, nullptr) != nullptr) return failWith("index 1 made an object");
        return pass();
    });
    checker.run("block contents after make", [&] {
        HostedModule module(*library);
        if (!module.make(error)) return failWith(error);
        uint32_t words[12];
        std::memcpy(words, module.block(), sizeof words);
        if (words[0] != MODULE_BLOCK_MAGIC || words[1] != 1) return failWith("magic or version");
        if (words[2] != reinterpret_cast<uint32_t>(&module)) return failWith("host handle");
        if (words[3] == 0 || words[5] == 0 || words[6] == 0 || words[7] == 0) return failWith("null entry");
        for (int i : {4, 8, 9, 10, 11}) {
            if (words[i] != 0) return failWith("reserved word " + std::to_string(i) + " not 0");
        }
        if (!module.calls().empty()) return failWith("construction called the host");
        return pass();
    });
    checker.run("dispatcher: unserved opcodes answer 0, pin info 1 or 0", [&] {
        HostedModule module(*library);
        if (!module.make(error)) return failWith(error);
        for (int32_t opcode : {4, 5, 7, 9, 10, 11, 14, 255, -1}) {
            if (module.dispatch(opcode, 0, 0, nullptr, 1.0f) != 0) return failWith("opcode " + std::to_string(opcode));
        }
        for (int32_t index = 0; index < 8; ++index) {
            PinInfo info{};
            const intptr_t result = module.dispatch(OP_GET_PIN_INFO, index, 0, &info);
            if (result != (index < 6 ? 1 : 0)) return failWith("pin info " + std::to_string(index));
        }
        if (module.dispatch(OP_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f) != 0) return failWith("sample rate");
        if (module.dispatch(OP_SET_BLOCK_SIZE, 0, 256) != 0) return failWith("block size");
        return pass();
    });
    checker.run("process binding record is shared and names the latest requester", [&] {
        HostedModule a(*library), b(*library);
        if (!a.make(error) || !b.make(error)) return failWith(error);
        const auto* first = reinterpret_cast<const uint32_t*>(a.dispatch(OP_GET_PROCESS_BINDING));
        const uint32_t bindingA = first ? first[2] : 0;
        const auto* second = reinterpret_cast<const uint32_t*>(b.dispatch(OP_GET_PROCESS_BINDING));
        if (first == nullptr || first != second) return failWith("not one shared record");
        if (second[0] != 1 || second[1] != 16 || second[3] != 0) return failWith("record words");
        if (second[2] == bindingA || second[2] == 0) return failWith("does not name the latest requester");
        const auto* binding = reinterpret_cast<const ProcessBinding*>(second[2]);
        if (binding->routine != b.block()->process) return failWith("binding is not block.process");
        return pass();
    });
    checker.run("pin descriptions", [&] {
        HostedModule module(*library);
        if (!module.make(error)) return failWith(error);
        const auto& pins = module.describePins();
        struct Row { const char *name, *def, *extra; int32_t direction, datatype; };
        const Row rows[] = {{"Input", "0", "", 0, 5},
                            {"Bits", "16", "24,1,24,1", 0, 5},
                            {"S.R.", "44100", "44100,11025,44100,11025", 0, 5},
                            {"Output", "", "", 1, 5},
                            {"Q.Mode", "0", "Floor, Round, Inside", 0, 0},
                            {"R.Mode", "0", "Step, Linear", 0, 0}};
        if (pins.size() != 6) return failWith(std::to_string(pins.size()) + " pins described");
        for (size_t i = 0; i < 6; ++i) {
            const PinDescription& p = pins[i];
            if (p.name != rows[i].name || p.defaultValue != rows[i].def ||
                p.datatypeExtra != rows[i].extra || p.info.direction != rows[i].direction ||
                p.info.datatype != rows[i].datatype || p.info.variable == nullptr || p.info.flags != 0) {
                return failWith("pin " + std::to_string(i) + " \"" + p.name + "\"");
            }
        }
        return pass();
    });
    checker.run("host calls at open and at status changes", [&] {
        HostedModule module(*library);
        if (!makeAndOpen(module, error)) return failWith(error);
        const intptr_t position = module.blockPosition();
        Outcome o = expectCalls(module.calls(), {{HOST_GET_PIN_COUNT, 0, 0, 0},
                                                 {HOST_GET_BLOCK_POSITION, 0, 0, 0},
                                                 {HOST_SET_PIN_STATUS, 3, STATUS_STREAMING, position}});
        if (!o.ok) return failWith("open: " + o.detail);
        module.clearCalls();
        module.sendPinStatus(0, STATUS_STREAMING);
        o = expectCalls(module.calls(), {{HOST_GET_BLOCK_POSITION, 0, 0, 0},
                                         {HOST_SET_PIN_STATUS, 3, STATUS_STREAMING, position},
                                         {HOST_PROCESS_CHANGED, 0, 0, 0}});
        if (!o.ok) return failWith("streaming input: " + o.detail);
        module.clearCalls();
        module.sendPinStatus(0, STATUS_STREAMING);
        o = expectCalls(module.calls(), {{HOST_GET_BLOCK_POSITION, 0, 0, 0},
                                         {HOST_SET_PIN_STATUS, 3, STATUS_STREAMING, position}});
        if (!o.ok) return failWith("unchanged choice: " + o.detail);
        module.clearCalls();
        module.sendPinStatus(0, STATUS_ONE_OFF);
        o = expectCalls(module.calls(), {{HOST_GET_BLOCK_POSITION, 0, 0, 0},
                                         {HOST_SET_PIN_STATUS, 3, STATUS_ONE_OFF, position},
                                         {HOST_PROCESS_CHANGED, 0, 0, 0}});
        if (!o.ok) return failWith("one-off input: " + o.detail);
        return pass();
    });
    checker.run("routine switching: Step, Linear, wind-down", [&] {
        HostedModule module(*library);
        if (!makeAndOpen(module, error)) return failWith(error);
        const ProcessRoutine empty = module.block()->process;
        module.sendPinStatus(0, STATUS_STREAMING);
        const ProcessRoutine step = module.block()->process;
        module.setListValue(5, 1);
        module.sendPinStatus(5, STATUS_STATIC);
        const ProcessRoutine linear = module.block()->process;
        module.sendPinStatus(0, STATUS_STATIC);
        const ProcessRoutine flush = module.block()->process;
        if (step == empty || linear == step || flush == linear || flush == step) {
            return failWith("the routines are not distinct");
        }
        if (module.processChangedCount() != 3) return failWith(std::to_string(module.processChangedCount()) + " changes told");
        return pass();
    });
    checker.run("wind-down: sleep on the 4th 256-sample call at block size 1024", [&] {
        HostedModule module(*library);
        if (!module.make(error)) return failWith(error);
        module.setBlockSize(1024);
        module.describePins();
        module.allocateBuffers(256);
        module.open();
        module.sendPinStatus(0, STATUS_STREAMING);
        module.sendPinStatus(0, STATUS_STATIC);
        for (int call = 1; call <= 4; ++call) {
            module.process(0, 256);
            if (module.isAsleep() != (call == 4)) return failWith("asleep after call " + std::to_string(call));
        }
        if (module.process(0, 256)) return failWith("the host called a sleeping module");
        module.sendPinStatus(0, STATUS_STREAMING);
        if (!module.process(0, 256)) return failWith("a status change did not wake it");
        return pass();
    });

    // Bit-exact references: the 2-bit "Round" sequence at the full rate, then longer signals.
    checker.run("reference: 2 bits, Round, full rate, Step and Linear", [&] {
        for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
            Scenario s;
            s.input = {0.3f, -0.3f, 0.8f, 0.6f, 0.3f, -0.3f, 0.8f, 0.6f};
            s.blockCounts = {4};
            s.quantMode = 1;
            s.rateMode = rateMode;
            s.bits = [](int32_t) { return 0.2f; };
            ScenarioResult r;
            Outcome o = checker.scenario(std::string("two-bit-") + ROUTINE_NAMES[rateMode], s, &r);
            if (!o.ok) return o;
            const std::vector<float> expected = rateMode == 0
                ? std::vector<float>{0.0f, -0.5f, 1.0f, 0.5f, 0.5f, -0.5f, 1.0f, 0.5f}
                : std::vector<float>{0.0f, 0.0f, -0.5f, 1.0f, 0.5f, 0.5f, -0.5f, 1.0f};
            for (size_t i = 0; i < expected.size(); ++i) {
                if (floatBits(r.output[i]) != floatBits(expected[i])) {
                    return failWith(std::string(ROUTINE_NAMES[rateMode]) + " sample " + std::to_string(i));
                }
            }
        }
        return pass();
    });
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        for (int16_t quantMode = 0; quantMode < 3; ++quantMode) {
            const std::string name = std::string("reference output: ") + ROUTINE_NAMES[rateMode] + ", " + MODE_NAMES[quantMode];
            checker.run(name, [&] {
                ScenarioResult r;
                Outcome o = checker.scenario(std::string("reference-") + ROUTINE_NAMES[rateMode] + "-" + MODE_NAMES[quantMode],
                                             referenceScenario(rateMode, quantMode), &r);
                if (!o.ok) return o;
                const uint32_t hash = hashSamples(r.output);
                if (hash != REFERENCE_HASHES[rateMode][quantMode]) return failWith("output hash " + hex32(hash));
                return pass();
            });
        }
    }

    // Robustness, the way plugin validators test it.
    checker.run("200 make/open/process/close cycles", [&] {
        for (int cycle = 0; cycle < 200; ++cycle) {
            Scenario s;
            s.input = testSignal(256, static_cast<uint32_t>(cycle + 1));
            s.blockCounts = {64};
            s.rateMode = static_cast<int16_t>(cycle % 2);
            ScenarioResult r = runScenario(*library, s);
            if (!r.fault.empty()) return failWith("cycle " + std::to_string(cycle) + ": " + r.fault);
        }
        return pass();
    });
    checker.run("8 live objects interleaved equal their solo runs", [&] {
        std::vector<Scenario> scenarios(8);
        for (int i = 0; i < 8; ++i) {
            Scenario& s = scenarios[i];
            s.input = testSignal(2048, static_cast<uint32_t>(i + 7));
            s.blockCounts = {100 + 13 * i};
            s.quantMode = static_cast<int16_t>(i % 3);
            s.rateMode = static_cast<int16_t>(i % 2);
            const float bits = 0.3f + 0.2f * static_cast<float>(i);
            const float rate = 200.0f + 250.0f * static_cast<float>(i);
            s.bits = [bits](int32_t) { return bits; };
            s.rate = [rate](int32_t) { return rate; };
        }
        std::vector<std::unique_ptr<EffectRunner>> runners;
        for (const Scenario& s : scenarios) {
            runners.push_back(std::make_unique<EffectRunner>(*library, s));
            if (!runners.back()->ready(error)) return failWith(error);
        }
        for (bool busy = true; busy;) {
            busy = false;
            for (auto& runner : runners) busy = runner->step() || busy;
        }
        for (int i = 0; i < 8; ++i) {
            const ScenarioResult together = runners[i]->finish();
            const ScenarioResult solo = runScenario(*library, scenarios[i]);
            if (hashSamples(together.output) != hashSamples(solo.output)) return failWith("object " + std::to_string(i) + " differs");
        }
        return pass();
    });
    for (float sampleRate : {8000.0f, 22050.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f, 12345.678f}) {
        char name[64];
        std::snprintf(name, sizeof name, "sample rate %g, both routines", double(sampleRate));
        checker.run(name, [&, sampleRate] {
            for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
                Scenario s = referenceScenario(rateMode, 1);
                s.sampleRate = sampleRate;
                Outcome o = checker.scenario(std::string("rate-") + name + ROUTINE_NAMES[rateMode], s);
                if (!o.ok) return o;
            }
            return pass();
        });
    }
    for (int32_t block : {1, 17, 64, 512, 1024, 2027, 4096, -1}) {
        const std::string name = block < 0 ? "random block counts including 0"
                                           : "block size " + std::to_string(block);
        checker.run(name + ": every sample inside the block written, none outside", [&, block] {
            for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
                Scenario s = referenceScenario(rateMode, 2);
                s.input.resize(block == 4096 ? 8192 : 4500);
                s.blockSize = block < 0 ? 1024 : block;
                if (block < 0) {
                    XorShift32 random{99};
                    for (int i = 0; i < 200; ++i) {
                        s.blockCounts.push_back(random.next() % 4 == 0 ? 0 : static_cast<int32_t>(random.next() % 300));
                    }
                } else {
                    s.blockCounts = {block};
                }
                Outcome o = checker.scenario(name + ROUTINE_NAMES[rateMode], s);
                if (!o.ok) return o;
            }
            return pass();
        });
    }
    checker.run("in-place buffers give the same output as separate ones", [&] {
        for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
            for (float rate : {300.0f, 4410.0f}) {  // reduced, and the copy path
                Scenario s = referenceScenario(rateMode, 0);
                s.rate = [rate](int32_t) { return rate; };
                s.bits = [](int32_t) { return 2.4f; };
                const ScenarioResult separate = runScenario(*library, s);
                s.inPlace = true;
                const ScenarioResult inPlace = runScenario(*library, s);
                if (hashSamples(separate.output) != hashSamples(inPlace.output)) {
                    return failWith(std::string(ROUTINE_NAMES[rateMode]) + " at " + std::to_string(rate));
                }
            }
        }
        return pass();
    });
    checker.run("NaN, infinite, denormal and huge inputs and controls", [&] {
        const float specials[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                  1e-45f, -1e-40f, 3e38f, -3e38f, 0.0f, -0.0f, 1e-30f, 1e30f};
        for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
            for (int16_t quantMode = -1; quantMode < 4; ++quantMode) {
                Scenario s;
                s.input.resize(1200);
                for (size_t i = 0; i < s.input.size(); ++i) s.input[i] = specials[i % 12];
                s.blockCounts = {37};
                s.rateMode = rateMode;
                s.quantMode = quantMode;
                s.bits = [&specials](int32_t position) { return specials[(position / 37) % 12]; };
                s.rate = [&specials](int32_t position) { return specials[(position / 37 + 5) % 12]; };
                const ScenarioResult r = runScenario(*library, s);
                const bool modeWrites = quantMode >= 0 && quantMode <= 2;
                if (modeWrites && !r.fault.empty()) return failWith(r.fault);
            }
        }
        return pass();
    });
    checker.run("status events for pins that do not exist are ignored", [&] {
        HostedModule module(*library);
        if (!makeAndOpen(module, error)) return failWith(error);
        module.clearCalls();
        for (uint32_t pin : {6u, 7u, 100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
            module.deliverEvent(ModuleEvent{0, EVENT_PIN_STATUS, STATUS_STREAMING, 0, pin, 0});
        }
        for (int32_t type : {1, 3, 20, 99}) module.deliverEvent(ModuleEvent{0, type, 2, 0, 0, 0});
        if (!module.calls().empty()) return failWith("the module reacted");
        return pass();
    });
    checker.run("fewer host pins than described", [&] {
        for (int32_t pins : {0, 1, 3}) {
            HostedModule module(*library);
            if (!module.make(error)) return failWith(error);
            module.describePins();
            module.setReportedPinCount(pins);
            module.allocateBuffers(64);
            module.open();
            for (int32_t pin = 0; pin < 6; ++pin) module.sendPinStatus(pin, STATUS_STREAMING);
            module.process(0, 64);
            for (const HostCall& call : module.calls()) {
                if (call.opcode == HOST_SET_PIN_STATUS && call.index >= pins) {
                    return failWith("status sent for missing pin " + std::to_string(call.index));
                }
            }
        }
        return pass();
    });
    checker.run("close without open", [&] {
        HostedModule module(*library);
        if (!module.make(error)) return failWith(error);
        if (module.dispatch(OP_CLOSE) != 1) return failWith("OP_CLOSE did not answer 1");
        return pass();
    });

    if (dump != nullptr) std::fclose(dump);
    std::printf("%s: %d passed, %d failed\n", path.c_str(), checker.passed, checker.failed);
    return checker.failed == 0 ? 0 : 1;
}

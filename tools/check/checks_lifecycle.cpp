// grindlet-check: host calls and their order, routines, wind-down and sleep, many objects, bad events.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "checks.h"

namespace grindlet::check {

using namespace grindlet::host;

namespace {

Outcome hostCallsAtOpenAndStatus(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
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
}

Outcome routineSwitching(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
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
    if (module.processChangedCount() != 3)
        return failWith(std::to_string(module.processChangedCount()) + " changes told");
    return pass();
}

Outcome windDownSleeps(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
    if (!module.make(error)) return failWith(error);
    module.setBlockSize(1024);
    module.describePins();
    module.allocateBuffers(256);
    module.open();
    module.sendPinStatus(0, STATUS_STREAMING);
    module.sendPinStatus(0, STATUS_STATIC);
    for (int call = 1; call <= 4; ++call) {
        module.process(0, 256);
        if (module.isAsleep() != (call == 4))
            return failWith("asleep after call " + std::to_string(call));
    }
    if (module.process(0, 256)) return failWith("the host called a sleeping module");
    module.sendPinStatus(0, STATUS_STREAMING);
    if (!module.process(0, 256)) return failWith("a status change did not wake it");
    return pass();
}

// Bit-exact references: the 2-bit "Round" sequence at the full rate, then longer signals.
Outcome manyCycles(CheckContext& c) {
    for (int cycle = 0; cycle < 200; ++cycle) {
        Scenario s;
        s.input = testSignal(256, static_cast<uint32_t>(cycle + 1));
        s.blockCounts = {64};
        s.rateMode = static_cast<int16_t>(cycle % 2);
        ScenarioResult r = runScenario(c.library, s);
        if (!r.fault.empty()) return failWith("cycle " + std::to_string(cycle) + ": " + r.fault);
    }
    return pass();
}

Outcome interleavedObjects(CheckContext& c) {
    std::string error;
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
        runners.push_back(std::make_unique<EffectRunner>(c.library, s));
        if (!runners.back()->ready(error)) return failWith(error);
    }
    for (bool busy = true; busy;) {
        busy = false;
        for (auto& runner : runners) busy = runner->step() || busy;
    }
    for (int i = 0; i < 8; ++i) {
        const ScenarioResult together = runners[i]->finish();
        const ScenarioResult solo = runScenario(c.library, scenarios[i]);
        if (hashSamples(together.output) != hashSamples(solo.output))
            return failWith("object " + std::to_string(i) + " differs");
    }
    return pass();
}

Outcome eventsForMissingPins(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
    if (!makeAndOpen(module, error)) return failWith(error);
    module.clearCalls();
    for (uint32_t pin : {6u, 7u, 100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        module.deliverEvent(ModuleEvent{0, EVENT_PIN_STATUS, STATUS_STREAMING, 0, pin, 0});
    }
    for (int32_t type : {1, 3, 20, 99}) module.deliverEvent(ModuleEvent{0, type, 2, 0, 0, 0});
    if (!module.calls().empty()) return failWith("the module reacted");
    return pass();
}

Outcome fewerHostPins(CheckContext& c) {
    std::string error;
    for (int32_t pins : {0, 1, 3}) {
        HostedModule module(c.library);
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
}

Outcome closeWithoutOpen(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
    if (!module.make(error)) return failWith(error);
    if (module.dispatch(OP_CLOSE) != 1) return failWith("OP_CLOSE did not answer 1");
    return pass();
}

}  // namespace

void registerLifecycleChecks(CheckRegistry& registry) {
    registry.add("host calls at open and at status changes", hostCallsAtOpenAndStatus);
    registry.add("routine switching: Step, Linear, wind-down", routineSwitching);
    registry.add("wind-down: sleep on the 4th 256-sample call at block size 1024", windDownSleeps);
    registry.add("200 make/open/process/close cycles", manyCycles);
    registry.add("8 live objects interleaved equal their solo runs", interleavedObjects);
    registry.add("status events for pins that do not exist are ignored", eventsForMissingPins);
    registry.add("fewer host pins than described", fewerHostPins);
    registry.add("close without open", closeWithoutOpen);
}

}  // namespace grindlet::check

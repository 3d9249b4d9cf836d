// The conformance checks of grindlet-check: named checks, grouped by theme over a few files,
// each driving a module file only through the host side (host/).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/hosted_module.h"
#include "host/sample_checks.h"
#include "tools/scenario.h"

namespace grindlet::check {

struct Outcome {
    bool ok;
    std::string detail;
};
inline Outcome pass() { return {true, ""}; }
inline Outcome failWith(const std::string& why) { return {false, why}; }

// What every check gets: the module file, and scenarios whose output hashes go to the dump.
class CheckContext {
public:
    // dumpLines (may be null): where each scenario's "name hash" line goes, followed with
    // everySample by one line per output sample (its bit pattern), to find where builds part.
    CheckContext(const host::ModuleLibrary& lib, std::string* dumpLines, bool everySample = false)
        : library(lib), dump(dumpLines), samples(everySample) {}
    // Runs a scenario, records its hash for the build comparison, and reports faults.
    Outcome scenario(const std::string& name, const host::Scenario& s,
                     host::ScenarioResult* out = nullptr);

    const host::ModuleLibrary& library;

private:
    std::string* dump;
    bool samples;
};

struct NamedCheck {
    std::string name;
    std::function<Outcome(CheckContext&)> run;
};

class CheckRegistry {
public:
    void add(std::string name, std::function<Outcome(CheckContext&)> run) {
        checks.push_back({std::move(name), std::move(run)});
    }
    const std::vector<NamedCheck>& all() const { return checks; }

private:
    std::vector<NamedCheck> checks;
};

// The themes, each in its own file.
void registerIdentityChecks(CheckRegistry& registry);  // identity, exports, block, dispatcher, pins
void registerLifecycleChecks(CheckRegistry& registry);  // host calls, routines, wind-down, objects
void registerSignalChecks(CheckRegistry& registry);     // reference outputs, rates, blocks, inputs

// Helpers the checks share.
extern const char* const ROUTINE_NAMES[2];  // by "R.Mode"
extern const char* const MODE_NAMES[3];     // by "Q.Mode"
Outcome expectCalls(const std::vector<host::HostCall>& actual,
                    const std::vector<host::HostCall>& expected);
bool makeAndOpen(host::HostedModule& module, std::string& error);

}  // namespace grindlet::check

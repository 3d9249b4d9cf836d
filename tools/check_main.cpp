// grindlet-check MODULE [--dump FILE] [--describe]: a conformance run of a module file, driven
// only through the host side: how the module behaves when a host drives it (identity, pins,
// host calls and their order, statuses, wind-down and sleep, blocks of any size, in place)
// and its output against QZ-Grindlet's reference hashes. One line per check, then
// "MODULE: N passed, M failed"; exit 0 only when none failed, 2 when it cannot run at all.
// --dump writes the output hash of every scenario (with --samples every output sample's bits
// too), for comparing two builds and finding where they part; --describe prints
// the module's identity and pin table instead. The module file is untrusted: loading it and
// every check run in child processes with a time limit, and nothing ever writes to it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "check/checks.h"
#include "check/describe.h"
#include "check/dump_file.h"
#include "check/in_process_guard.h"
#include "check/isolation.h"
#include "dsp/controls.h"

using namespace grindlet;
using namespace grindlet::host;

namespace {

constexpr const char* USAGE =
    "usage: grindlet-check MODULE [--describe] [--dump FILE [--samples] [-f]] [--timeout SECONDS]\n"
    "  --describe      the module's identity and pin table\n"
    "  --dump FILE     each scenario's output hash, for comparing two builds (-f replaces FILE)\n"
    "  --samples       with --dump, every output sample's bit pattern under its scenario's line\n"
    "  --timeout S     the time each check may take before it counts as a hang (default 60)\n"
    "Each check runs in a child process: a crash or a hang fails that check, not the run;\n"
    "whatever the module starts is ended with it. (The Windows build runs the checks in its\n"
    "own process: a hang past --timeout, or a module that ends the process, fails the run.)\n"
    "Exit status: 0 all passed, 1 some failed, 2 the module file could not be checked at all.\n";
constexpr int DEFAULT_TIMEOUT_SECONDS = 60;
constexpr int MAX_TIMEOUT_SECONDS = 86400;

// One check's outcome and its dump lines, as a child reports them: "PASS" or "FAIL detail" on
// the first line, the dump lines after it.
std::string reportOf(const check::Outcome& outcome, const std::string& dumpLines) {
    std::string detail = outcome.detail;
    for (char& c : detail) {
        if (c == '\n') c = ' ';
    }
    return (outcome.ok ? std::string("PASS") : "FAIL " + detail) + "\n" + dumpLines;
}

// Runs one check against a freshly loaded module; returns its report.
std::string runCheck(const std::string& path, const check::NamedCheck& named, bool samples) {
    std::string error;
    const auto library = ModuleLibrary::load(path, error);
    if (!library) return reportOf(check::failWith("cannot load the module: " + error), "");
    std::string dumpLines;
    check::CheckContext context(*library, &dumpLines, samples);
    return reportOf(named.run(context), dumpLines);
}

struct Arguments {
    std::string path, dumpPath;
    bool describeOnly = false;
    bool samples = false;
    bool force = false;
    int timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
};

// False with exit status 2 (or 0 for --help) when the command line says not to go on.
bool parseArguments(int argc, char** argv, Arguments& a, int& status) {
    status = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE, stdout);
            status = 0;
            return false;
        } else if (arg == "--describe") {
            a.describeOnly = true;
        } else if (arg == "--samples") {
            a.samples = true;
        } else if (arg == "-f" || arg == "--force") {
            a.force = true;
        } else if (arg == "--dump" && i + 1 < argc) {
            a.dumpPath = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            char* end = nullptr;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || seconds < 1 || seconds > MAX_TIMEOUT_SECONDS) {
                std::fprintf(stderr,
                             "grindlet-check: --timeout: '%s' is not a whole number of "
                             "seconds from 1 to %d\n",
                             argv[i], MAX_TIMEOUT_SECONDS);
                return false;
            }
            a.timeoutSeconds = static_cast<int>(seconds);
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "grindlet-check: unknown option %s\n%s", arg.c_str(), USAGE);
            return false;
        } else if (a.path.empty()) {
            a.path = arg;
        } else {
            std::fprintf(stderr, "grindlet-check: more than one module file: %s\n%s", arg.c_str(),
                         USAGE);
            return false;
        }
    }
    if (a.path.empty()) {
        std::fputs(USAGE, stderr);
        return false;
    }
    if (a.samples && a.dumpPath.empty()) {
        std::fprintf(stderr, "grindlet-check: --samples adds to a --dump FILE: name one\n");
        return false;
    }
    return true;
}

int cannotCheck(const std::string& message) {
    std::fprintf(stderr, "grindlet-check: %s\n", message.c_str());
    return 2;
}

}  // namespace

int runChecker(int argc, char** argv) {
    Arguments a;
    int status = 0;
    if (!parseArguments(argc, argv, a, status)) return status;
    std::string error;
    if (!a.dumpPath.empty() && !check::dumpPathAllowed(a.dumpPath, a.path, a.force, error))
        return cannotCheck(error);
    const bool isolated = check::childProcessesAvailable();

    // Loading runs the module's own code (its load entry, its constructors): in a child too.
    if (isolated) {
        const check::ChildResult load = check::runInChild(
            [&](int channel) {
                const auto library = ModuleLibrary::load(a.path, error);
                if (!library) check::writeAll(channel, error);
                return library ? 0 : 2;
            },
            a.timeoutSeconds);
        if (load.ending != check::ChildResult::Ending::Finished)
            return cannotCheck(a.path + ": loading it " +
                               check::describeEnding(load, a.timeoutSeconds));
        if (load.exitStatus != 0) return cannotCheck(load.output);
    } else {
        std::printf(
            "note: no child processes here: the checks run in this process, and a module "
            "that crashes ends the run (one that hangs, or ends the process, fails it)\n");
        check::startWatchdog(a.timeoutSeconds);
        check::arm("loading the module");
        const auto library = ModuleLibrary::load(a.path, error);
        check::disarm();
        if (!library) return cannotCheck(error);
    }

    if (a.describeOnly) {
        // Described in the child, printed here: a module that closes the child's standard
        // streams cannot make the description vanish.
        std::string text;
        bool described = false;
        if (!isolated) {
            check::arm("describing the module");
            const auto library = ModuleLibrary::load(a.path, error);
            described = library && check::describeModule(*library, text);
            if (!library) text = error;
            check::disarm();
        } else {
            const check::ChildResult run = check::runInChild(
                [&](int channel) {
                    std::string made;
                    const auto library = ModuleLibrary::load(a.path, error);
                    const bool ok = library && check::describeModule(*library, made);
                    check::writeAll(channel, library ? made : error);
                    return ok ? 0 : 2;
                },
                a.timeoutSeconds);
            if (run.ending != check::ChildResult::Ending::Finished)
                return cannotCheck(a.path + ": describing it " +
                                   check::describeEnding(run, a.timeoutSeconds));
            described = run.exitStatus == 0;
            text = run.output;
        }
        if (!described) return cannotCheck(text);
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
    }

    check::CheckRegistry registry;
    check::registerIdentityChecks(registry);
    check::registerLifecycleChecks(registry);
    check::registerSignalChecks(registry);
    int passed = 0, failed = 0;
    std::string dump;
    for (const check::NamedCheck& named : registry.all()) {
        std::string report;
        if (isolated) {
            const check::ChildResult run = check::runInChild(
                [&](int channel) {
                    return check::writeAll(channel, runCheck(a.path, named, a.samples)) ? 0 : 1;
                },
                a.timeoutSeconds);
            report = run.ending == check::ChildResult::Ending::Finished && run.exitStatus == 0
                         ? run.output
                         : "FAIL the module " + check::describeEnding(run, a.timeoutSeconds) + "\n";
        } else {
            check::arm(named.name.c_str());
            report = runCheck(a.path, named, a.samples);
            check::disarm();
        }
        const size_t lineEnd = report.find('\n');
        const std::string verdict = report.substr(0, lineEnd);
        if (lineEnd != std::string::npos) dump += report.substr(lineEnd + 1);
        if (verdict == "PASS") {
            ++passed;
            std::printf("PASS %s\n", named.name.c_str());
        } else {
            ++failed;
            std::printf("FAIL %s: %s\n", named.name.c_str(),
                        verdict.size() > 5 ? verdict.c_str() + 5 : "no verdict");
        }
        std::fflush(stdout);
    }
    if (!a.dumpPath.empty() && !check::writeWholeFile(a.dumpPath, dump, a.force, error))
        return cannotCheck(error);
    std::printf("%s: %d passed, %d failed\n", a.path.c_str(), passed, failed);
    return failed == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    const int status = runChecker(argc, argv);
    check::runFinished();
    return status;
}

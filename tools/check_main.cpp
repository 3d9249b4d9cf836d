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

#include "check/checks.h"

using namespace grindlet;
using namespace grindlet::host;

namespace {

constexpr const char* USAGE = "usage: grindlet-check MODULE [--dump FILE] [--describe]\n";

const char* directionName(int32_t direction) {
    return direction == PIN_DIRECTION_IN ? "in" : direction == PIN_DIRECTION_OUT ? "out" : "?";
}

const char* datatypeName(int32_t datatype) {
    switch (datatype) {
        case PIN_DATATYPE_LIST:
            return "list";
        case PIN_DATATYPE_BYTE:
            return "byte";
        case PIN_DATATYPE_FLOAT_STREAM:
            return "float stream";
        case PIN_DATATYPE_WORD:
            return "word";
        case PIN_DATATYPE_UNSTORED_1:
        case PIN_DATATYPE_UNSTORED_2:
        case PIN_DATATYPE_UNSTORED_3:
            return "unstored";
        default:
            return "undescribed";
    }
}

// The module's identity and pin table, as a host shows them to a user.
int describe(const ModuleLibrary& library) {
    const ModuleIdentity identity = readIdentity(library, 0);
    std::printf("module file: %s\nname: %s\nid: %s\nsdk version: %d\nabout: %s\n\n",
                library.path().c_str(), identity.name.c_str(), identity.id.c_str(),
                identity.sdkVersion, identity.about.c_str());
    HostedModule module(library);
    std::string error;
    if (!module.make(error)) {
        std::fprintf(stderr, "grindlet-check: %s\n", error.c_str());
        return 2;
    }
    std::printf("%-5s %-10s %-4s %-13s %-10s %s\n", "pin", "name", "dir", "datatype", "default",
                "range or list");
    const auto& pins = module.describePins();
    for (size_t i = 0; i < pins.size(); ++i) {
        const PinDescription& pin = pins[i];
        std::printf("%-5zu %-10s %-4s %-13s %-10s %s\n", i, pin.name.c_str(),
                    directionName(pin.info.direction), datatypeName(pin.info.datatype),
                    pin.defaultValue.empty() ? "-" : pin.defaultValue.c_str(),
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
            std::fprintf(stderr, "grindlet-check: more than one module file: %s\n%s", arg.c_str(),
                         USAGE);
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
    check::CheckRegistry registry;
    check::registerIdentityChecks(registry);
    check::registerLifecycleChecks(registry);
    check::registerSignalChecks(registry);
    check::CheckContext context(*library, dump);
    int passed = 0, failed = 0;
    for (const check::NamedCheck& named : registry.all()) {
        const check::Outcome outcome = named.run(context);
        if (outcome.ok) {
            ++passed;
            std::printf("PASS %s\n", named.name.c_str());
        } else {
            ++failed;
            std::printf("FAIL %s: %s\n", named.name.c_str(), outcome.detail.c_str());
        }
        std::fflush(stdout);
    }
    if (dump != nullptr) std::fclose(dump);
    std::printf("%s: %d passed, %d failed\n", path.c_str(), passed, failed);
    return failed == 0 ? 0 : 1;
}

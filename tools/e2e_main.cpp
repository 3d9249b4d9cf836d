// grindlet-e2e [MODULE] [--dump]: loads a module file and walks one object through a host's
// whole order, checking the output bit for bit. Prints each step; exit 0 only when every
// check held. --dump prints the output's bit patterns, for comparing two builds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/hosted_module.h"
#include "host/sample_checks.h"

using namespace grindlet;
using grindlet::host::HostedModule;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
}

constexpr int32_t BLOCK = 256;
constexpr int32_t SIGNAL_LENGTH = 16 * BLOCK;
// Output hash of the signal scenario below, from the linux build; the windows build gives the
// same. Its Linear run follows a Step run, so it starts where the Step output stands.
constexpr uint32_t EXPECTED_SIGNAL_HASH = 0x0cc7dca2u;

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "Module.sep";
    const bool dump = argc > 2 && std::strcmp(argv[2], "--dump") == 0;
    std::string error;
    auto library = host::ModuleLibrary::load(path, error);
    if (!library) {
        std::fprintf(stderr, "grindlet-e2e: %s\n", error.c_str());
        return 2;
    }
    std::printf("loaded %s\n", path.c_str());

    const host::ModuleIdentity identity = host::readIdentity(*library, 0);
    check(identity.result == 1 && identity.name == "QZ-Grindlet" &&
              identity.sdkVersion == MODULE_SDK_VERSION,
          "identity \"" + identity.name + "\", sdk version " + std::to_string(identity.sdkVersion));

    HostedModule module(*library);
    if (!module.make(error)) {
        std::fprintf(stderr, "grindlet-e2e: %s\n", error.c_str());
        return 2;
    }
    module.setSampleRate(44100.0f);
    module.setBlockSize(1024);
    const auto& pins = module.describePins();
    check(pins.size() == 6, "described " + std::to_string(pins.size()) + " pins");
    const int32_t input = module.findPin("Input"), bits = module.findPin("Bits"),
                  rate = module.findPin("S.R."), output = module.findPin("Output"),
                  quantMode = module.findPin("Q.Mode"), rateMode = module.findPin("R.Mode");
    if (input < 0 || bits < 0 || rate < 0 || output < 0 || quantMode < 0 || rateMode < 0) {
        std::fprintf(stderr, "grindlet-e2e: the module lacks one of the six pins\n");
        return 1;
    }
    module.allocateBuffers(SIGNAL_LENGTH);
    module.open();
    check(module.sentStatus(output) == STATUS_STREAMING, "open declared the output streaming");

    // Step at 11025 Hz, 24 bits (quantization off): every fourth input sample is held.
    float* in = module.buffer(input);
    float* out = module.buffer(output);
    for (int32_t i = 0; i < 12; ++i) in[i] = static_cast<float>(i + 1) / 10.0f;
    std::fill(module.buffer(bits), module.buffer(bits) + SIGNAL_LENGTH, 2.4f);
    std::fill(module.buffer(rate), module.buffer(rate) + SIGNAL_LENGTH, 1102.5f);
    module.sendPinStatus(input, STATUS_STREAMING);
    check(module.processChangedCount() == 1, "streaming input installed a process routine");
    module.process(0, 12);
    const float expected[12] = {0, 0, 0, 0, 0.5f, 0.5f, 0.5f, 0.5f, 0.9f, 0.9f, 0.9f, 0.9f};
    bool exact = true;
    for (int32_t i = 0; i < 12; ++i) exact = exact && floatBits(out[i]) == floatBits(expected[i]);
    check(exact, "Step at 11025 Hz holds 0.5 and 0.9 bit for bit");

    // Signal scenario: a 441 Hz sine, Linear, Round, 6 bits, 3000 Hz, in 256-sample blocks.
    for (int32_t i = 0; i < SIGNAL_LENGTH; ++i) {
        in[i] = static_cast<float>(0.8 * std::sin(2.0 * 3.14159265358979 * 441.0 * i / 44100.0));
    }
    std::fill(module.buffer(bits), module.buffer(bits) + SIGNAL_LENGTH, 0.6f);
    std::fill(module.buffer(rate), module.buffer(rate) + SIGNAL_LENGTH, 300.0f);
    module.setListValue(quantMode, 1);
    module.setListValue(rateMode, 1);
    module.sendPinStatus(rateMode, STATUS_STATIC);  // re-selects the routine: Linear
    for (int32_t offset = 0; offset < SIGNAL_LENGTH; offset += BLOCK) module.process(offset, BLOCK);
    const uint32_t hash = hashSamples(out, SIGNAL_LENGTH);
    char hashText[64];
    std::snprintf(hashText, sizeof hashText, "0x%08x", hash);
    check(hash == EXPECTED_SIGNAL_HASH,
          std::string("Linear/Round/6 bits/3000 Hz output hash ") + hashText);
    if (dump) {
        for (int32_t i = 0; i < SIGNAL_LENGTH; ++i) std::printf("%08x\n", floatBits(out[i]));
    }

    // The input stops: one block size (1024) of wind-down in 256-sample blocks, then sleep.
    module.sendPinStatus(input, STATUS_STATIC);
    check(module.sentStatus(output) == STATUS_STATIC, "output status follows the input");
    int32_t callsBeforeSleep = 0;
    while (!module.isAsleep() && callsBeforeSleep < 16) {
        module.process(0, BLOCK);
        ++callsBeforeSleep;
    }
    check(module.isAsleep() && callsBeforeSleep == 4,
          "asked to sleep on wind-down call " + std::to_string(callsBeforeSleep));
    check(!module.process(0, BLOCK), "no process call while asleep");
    module.close();
    check(module.block() == nullptr, "closed");

    std::printf("%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}

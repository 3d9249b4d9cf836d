#include "module_channel.h"

#include "host/hosted_module.h"
#include "tools/scenario.h"

namespace grindlet::render {

namespace {

// An object made, told the rate and block size, opened, its modes set and its input streaming:
// what a host does before the first block.
class ModuleChannel final : public ChannelEffect {
public:
    explicit ModuleChannel(const host::ModuleLibrary& library) : module(library) {}
    bool start(const EffectSetup& setup, std::string& error) {
        if (!module.make(error)) return false;
        module.setSampleRate(setup.sampleRate);
        module.setBlockSize(setup.block);
        module.describePins();
        pins = host::findEffectPins(module);
        if (!pins.complete()) {
            error = "the module does not describe the effect's six pins";
            return false;
        }
        module.allocateBuffers(setup.block);
        module.open();
        module.setListValue(pins.quantMode, setup.quant);
        module.setListValue(pins.rateMode, setup.mode);
        module.sendPinStatus(pins.input, STATUS_STREAMING);
        return true;
    }
    float* input() override { return module.buffer(pins.input); }
    const float* process(float bits, float rate, int32_t count) override {
        module.buffer(pins.bits)[0] = bits;
        module.buffer(pins.rate)[0] = rate;
        module.process(0, count);
        return module.buffer(pins.output);
    }

private:
    host::HostedModule module;
    host::EffectPins pins;
};

}  // namespace

EffectMaker moduleChannels(const host::ModuleLibrary& library) {
    return [&library](const EffectSetup& setup, std::string& error) {
        auto channel = std::make_unique<ModuleChannel>(library);
        std::unique_ptr<ChannelEffect> made;
        if (channel->start(setup, error)) made = std::move(channel);
        return made;
    };
}

}  // namespace grindlet::render

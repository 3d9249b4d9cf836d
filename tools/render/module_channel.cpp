#include "module_channel.h"

#include <cstring>
#include <vector>

#include "host/hosted_module.h"
#include "tools/scenario.h"

namespace grindlet::render {

namespace {

class ModuleCrusher final : public dsp::ChannelCrusher {
public:
    ModuleCrusher(int32_t blockFrames, int16_t quantizeRule, int16_t rateMode)
        : block(blockFrames), quantize(quantizeRule), mode(rateMode) {}

    bool add(const host::ModuleLibrary& library, float sampleRate, std::string& error) {
        auto channel = std::make_unique<Channel>(library);
        host::HostedModule& module = channel->module;
        if (!module.make(error)) return false;
        module.setSampleRate(sampleRate);
        module.setBlockSize(block);
        module.describePins();
        channel->pins = host::findEffectPins(module);
        if (!channel->pins.complete()) {
            error = "the module does not describe the effect's six pins";
            return false;
        }
        module.allocateBuffers(block);
        module.open();
        module.setListValue(channel->pins.quantMode, quantize);
        module.setListValue(channel->pins.rateMode, mode);
        module.sendPinStatus(channel->pins.input, STATUS_STREAMING);
        channel->quantize = quantize;
        channel->mode = mode;
        channels.push_back(std::move(channel));
        return true;
    }

    int32_t mostFrames() const override { return block; }

    void crush(int32_t index, const float* in, float* out, int32_t frames,
               const dsp::CrushSettings& settings) override {
        Channel& channel = *channels[static_cast<size_t>(index)];
        host::HostedModule& module = channel.module;
        const host::EffectPins& pins = channel.pins;
        // The rules as lists, changed as a host's user would change them.
        const int16_t rateMode = settings.linear ? 1 : 0;
        if (settings.quantize != channel.quantize) {
            module.setListValue(pins.quantMode, settings.quantize);
            channel.quantize = settings.quantize;
        }
        if (rateMode != channel.mode) {
            module.setListValue(pins.rateMode, rateMode);
            channel.mode = rateMode;
        }
        std::memcpy(module.buffer(pins.input), in, sizeof(float) * size_t(frames));
        module.buffer(pins.bits)[0] = settings.bitsStream;
        module.buffer(pins.rate)[0] = settings.rateStream;
        module.process(0, frames);
        std::memcpy(out, module.buffer(pins.output), sizeof(float) * size_t(frames));
    }

private:
    struct Channel {
        explicit Channel(const host::ModuleLibrary& library) : module(library) {}
        host::HostedModule module;
        host::EffectPins pins;
        int16_t quantize = -1, mode = -1;
    };
    int32_t block;
    int16_t quantize, mode;
    std::vector<std::unique_ptr<Channel>> channels;
};

}  // namespace

std::unique_ptr<dsp::ChannelCrusher> openModuleCrusher(const host::ModuleLibrary& library,
                                                       float sampleRate, int32_t channels,
                                                       int32_t block, int16_t quantize,
                                                       int16_t mode, std::string& error) {
    auto crusher = std::make_unique<ModuleCrusher>(block, quantize, mode);
    for (int32_t channel = 0; channel < channels; ++channel) {
        if (!crusher->add(library, sampleRate, error)) return nullptr;
    }
    return crusher;
}

}  // namespace grindlet::render

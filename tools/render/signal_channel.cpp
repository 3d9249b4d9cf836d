#include <vector>

#include "channel_effect.h"
#include "dsp/rate_reducer.h"

namespace grindlet::render {

namespace {

// What the module does with a streaming input: reset at open, then one call of the reducer per
// block with the block's first "Bits" and "S.R." values.
class SignalChannel final : public ChannelEffect {
public:
    explicit SignalChannel(const EffectSetup& setup)
        : settings(setup),
          samples(static_cast<size_t>(setup.block)),
          crushed(static_cast<size_t>(setup.block)) {
        dsp::resetRateReducer(state, settings.sampleRate);
    }
    float* input() override { return samples.data(); }
    const float* process(float bits, float rate, int32_t count) override {
        // Apart, as the module's pins are: the Step loop's fastest path needs the output clear
        // of the input.
        const dsp::ReducerStreams streams{samples.data(), &bits, &rate, crushed.data()};
        if (settings.mode == EffectSetup::STEP) {
            dsp::processStep(state, streams, settings.sampleRate, settings.quant, 0, count);
        } else {
            dsp::processLinear(state, streams, settings.sampleRate, settings.quant, 0, count);
        }
        return crushed.data();
    }

private:
    EffectSetup settings;
    dsp::RateReducerState state{};
    std::vector<float> samples;  // the block's input
    std::vector<float> crushed;  // and its output
};

}  // namespace

std::unique_ptr<ChannelEffect> makeSignalChannel(const EffectSetup& setup) {
    return std::make_unique<SignalChannel>(setup);
}

}  // namespace grindlet::render

// One channel's crusher, a block at a time: either the effect's own signal code (every build)
// or a module file run through the host library (the 32-bit builds, where a module can load).
// The render engine feeds both the same way, so both give the same bits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dsp/controls.h"

namespace grindlet::render {

// What every channel's crusher is opened with.
struct EffectSetup {
    float sampleRate = 44100.0f;                // the file's rate
    int32_t block = dsp::DEFAULT_BLOCK_FRAMES;  // the most samples in one process call
    int16_t quant = 0;                          // "Q.Mode": 0 floor, 1 round, 2 inside
    int16_t mode = 0;                           // "R.Mode": STEP, anything else linear
    static constexpr int16_t STEP = 0;
};

class ChannelEffect {
public:
    ChannelEffect() = default;
    ChannelEffect(const ChannelEffect&) = delete;
    ChannelEffect& operator=(const ChannelEffect&) = delete;
    virtual ~ChannelEffect() = default;
    // The block's input, `block` samples: written before process().
    virtual float* input() = 0;
    // Runs `count` samples (at most `block`) with the stream values of "Bits" and "S.R." (the
    // value divided by ten); returns where the output is, valid until the next call.
    virtual const float* process(float bits, float rate, int32_t count) = 0;
};

// Makes one channel's crusher, or says why it cannot.
using EffectMaker =
    std::function<std::unique_ptr<ChannelEffect>(const EffectSetup&, std::string& error)>;

// The signal code itself, as the module runs it: no module file involved.
std::unique_ptr<ChannelEffect> makeSignalChannel(const EffectSetup& setup);

}  // namespace grindlet::render

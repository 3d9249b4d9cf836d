// The QZ-Grindlet effect: six pins, the rate reducer and quantizer state, the choice of
// process routine by the input's status, and the wind-down before sleep.
#pragma once

#include <cstdint>

#include "binding/module_base.h"
#include "dsp/rate_reducer.h"

namespace grindlet {

class ReducerModule final : public ModuleBase {
public:
    // Pin indices, in the host's numbering.
    static constexpr int32_t PIN_INPUT = 0;
    static constexpr int32_t PIN_BITS = 1;
    static constexpr int32_t PIN_RATE = 2;
    static constexpr int32_t PIN_OUTPUT = 3;
    static constexpr int32_t PIN_QUANT_MODE = 4;
    static constexpr int32_t PIN_RATE_MODE = 5;
    static constexpr int32_t PIN_COUNT = 6;

    static constexpr int16_t RATE_MODE_STEP = 0;  // any other value is "Linear"

    ReducerModule(HostCallback callback, void* hostHandle);
    ~ReducerModule() override = default;

    void onPinStatusChange(Pin& pin) override;
    void open() override;
    bool getPinInfo(int32_t index, PinInfo* info) override;

    // The identity the library reports for module index 0.
    static void fillModuleInfo(ModuleInfo* info);

    // Process routines, called by the host through block.process.
    static void GRINDLET_CDECL processStep(void* object, int32_t offset, int32_t count);
    static void GRINDLET_CDECL processLinear(void* object, int32_t offset, int32_t count);
    static void GRINDLET_CDECL processFlush(void* object, int32_t offset, int32_t count);

    const dsp::RateReducerState& reducerState() const { return reducer; }
    int32_t getFlushRemaining() const { return flushRemaining; }
    // The samples still to flush after a call of `count`. Saturates at INT32_MIN: a host that
    // keeps calling after the sleep request never wraps the count back to positive.
    static int32_t flushRemainingAfter(int32_t remaining, int32_t count);

private:
    void runReducer(bool linear, int32_t offset, int32_t count);

    dsp::ReducerStreams streams;    // inputBuffer, bitsBuffer, rateBuffer, outputBuffer
    dsp::RateReducerState reducer;  // samplePeriod ... lastRate, and the fast loops' memo
    int16_t quantMode;              // "Q.Mode"
    int16_t rateMode;               // "R.Mode"
    int32_t flushRemaining;         // samples still to run before asking to sleep
};

}  // namespace grindlet

// Two reducer states compared member by member, by bit pattern (so -0.0, +0.0 and NaN payloads
// count, and padding does not).
#pragma once

#include "dsp/rate_reducer.h"

namespace grindlet::fuzz {

// The first member in which the two differ, or null where they are the same.
inline const char* firstDifference(const dsp::RateReducerState& a, const dsp::RateReducerState& b) {
    const struct {
        const char* name;
        float a, b;
    } members[] = {{"samplePeriod", a.samplePeriod, b.samplePeriod},
                   {"holdPhase", a.holdPhase, b.holdPhase},
                   {"heldValue", a.heldValue, b.heldValue},
                   {"previousHeld", a.previousHeld, b.previousHeld},
                   {"rampValue", a.rampValue, b.rampValue},
                   {"rampStep", a.rampStep, b.rampStep},
                   {"quantScale", a.quantizer.quantScale, b.quantizer.quantScale},
                   {"quantInverse", a.quantizer.quantInverse, b.quantizer.quantInverse},
                   {"lastBits", a.quantizer.lastBits, b.quantizer.lastBits},
                   {"lastRate", a.lastRate, b.lastRate}};
    for (const auto& m : members) {
        if (floatBits(m.a) != floatBits(m.b)) return m.name;
    }
    return a.quantizer.quantizeOn != b.quantizer.quantizeOn ? "quantizeOn" : nullptr;
}

}  // namespace grindlet::fuzz

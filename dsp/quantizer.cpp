#include "quantizer.h"

#include <cmath>

#include "portable_math.h"

namespace grindlet::dsp {

void resetQuantizer(QuantizerState& state) {
    state.quantInverse = 0.0f;
    state.quantScale = 0.0f;
    state.lastBits = LAST_BITS_AT_RESET;
}

void reconfigureQuantizer(QuantizerState& state, float bits) {
    // A control that is not a number says nothing: it changes nothing and is not remembered,
    // so the next real value is compared with the last real one.
    if (std::isnan(bits)) return;
    if (bits == state.lastBits) {
        state.lastBits = bits;
        return;
    }
    if (bits > BITS_QUANTIZE_OFF_ABOVE) {
        state.quantizeOn = false;
    } else if (bits > BITS_ONE_STEP_AT_OR_BELOW) {
        const float exponent = static_cast<float>(double(bits) * BITS_PER_STREAM_UNIT - 1.0);
        // Our own power of two (exact for whole exponents): the same bits on every platform.
        state.quantScale = static_cast<float>(powerOfTwo(double(exponent)));
        state.quantInverse = static_cast<float>(1.0 / double(state.quantScale));
        state.quantizeOn = true;
    } else {
        const float unit = bits > 0.0f ? 1.0f : 0.0f;
        state.quantScale = unit;
        state.quantInverse = unit;
        state.quantizeOn = true;
    }
    state.lastBits = bits;
}

}  // namespace grindlet::dsp

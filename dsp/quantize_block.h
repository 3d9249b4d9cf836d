// Whole blocks through the quantizer, four samples at a time with SSE2, giving the same bits as
// quantizeSample applied to each sample.
#pragma once

#include <cstdint>

#include "quantizer.h"

namespace grindlet::dsp {

// out[i] = quantizeSample<Mode>(in[i]) for i in [0, count). in and out may be the same buffer.
template <int16_t Mode>
void quantizeBlock(const QuantizerState& quantizer, const float* in, float* out, int32_t count);

// One sample late: out[0] = carry, out[i] = quantizeSample<Mode>(in[i - 1]); returns
// quantizeSample<Mode>(in[count - 1]) (carry when count is 0). in and out may be the same buffer.
template <int16_t Mode>
float quantizeBlockDelayed(const QuantizerState& quantizer, const float* in, float* out,
                           int32_t count, float carry);

// The same without quantization: out[0] = carry, out[i] = in[i - 1]; returns in[count - 1].
float delayBlock(const float* in, float* out, int32_t count, float carry);

// Whether the vector quantizer may run with this state (VectorQuantizer::applies).
bool quantizeBlockApplies(const QuantizerState& quantizer);

}  // namespace grindlet::dsp

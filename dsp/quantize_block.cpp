#include "quantize_block.h"

#include <cstring>

#include "quantize_vector.h"

namespace grindlet::dsp {

namespace {

constexpr int32_t LANES = 4;

// [carry, v0, v1, v2]
inline __m128 delayedByOne(__m128 v, __m128 carry) {
    return _mm_move_ss(_mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 1, 0, 3)), carry);
}

}  // namespace

bool quantizeBlockApplies(const QuantizerState& quantizer) {
    return VectorQuantizer<QUANT_MODE_FLOOR>::applies(quantizer);
}

template <int16_t Mode>
void quantizeBlock(const QuantizerState& quantizer, const float* in, float* out, int32_t count) {
    const VectorQuantizer<Mode> quantize(quantizer);
    int32_t i = 0;
    for (; i + 2 * LANES <= count; i += 2 * LANES) {
        const __m128 a = quantize(_mm_loadu_ps(in + i));
        const __m128 b = quantize(_mm_loadu_ps(in + i + LANES));
        _mm_storeu_ps(out + i, a);
        _mm_storeu_ps(out + i + LANES, b);
    }
    for (; i < count; ++i) out[i] = quantizeSample<Mode>(quantizer, in[i]);
}

template <int16_t Mode>
float quantizeBlockDelayed(const QuantizerState& quantizer, const float* in, float* out,
                           int32_t count, float carry) {
    const VectorQuantizer<Mode> quantize(quantizer);
    int32_t i = 0;
    __m128 carried = _mm_set_ss(carry);
    for (; i + LANES <= count; i += LANES) {
        const __m128 q = quantize(_mm_loadu_ps(in + i));
        _mm_storeu_ps(out + i, delayedByOne(q, carried));
        carried = _mm_shuffle_ps(q, q, _MM_SHUFFLE(3, 3, 3, 3));
    }
    carry = _mm_cvtss_f32(carried);
    for (; i < count; ++i) {
        const float q = quantizeSample<Mode>(quantizer, in[i]);
        out[i] = carry;
        carry = q;
    }
    return carry;
}

float delayBlock(const float* in, float* out, int32_t count, float carry) {
    if (count <= 0) return carry;
    const float last = in[count - 1];
    std::memmove(out + 1, in, static_cast<size_t>(count - 1) * sizeof(float));
    out[0] = carry;
    return last;
}

#define GRINDLET_QUANTIZE_BLOCK(MODE)                                                        \
    template void quantizeBlock<MODE>(const QuantizerState&, const float*, float*, int32_t); \
    template float quantizeBlockDelayed<MODE>(const QuantizerState&, const float*, float*,   \
                                              int32_t, float);
GRINDLET_QUANTIZE_BLOCK(QUANT_MODE_FLOOR)
GRINDLET_QUANTIZE_BLOCK(QUANT_MODE_ROUND)
GRINDLET_QUANTIZE_BLOCK(QUANT_MODE_INSIDE)
#undef GRINDLET_QUANTIZE_BLOCK

}  // namespace grindlet::dsp

#include "quantize_block.h"

#include <emmintrin.h>

#include <cstring>

namespace grindlet::dsp {

namespace {

constexpr int32_t LANES = 4;
constexpr uint32_t SIGN_MASK = 0x80000000u;
constexpr uint32_t EXPONENT_MASK = 0x7F800000u;
constexpr uint32_t MAGNITUDE_MASK = 0x7FFFFFFFu;
constexpr float NO_FRACTION_FROM = 8388608.0f;  // 2^23: from here on a float is an integer
constexpr float LARGEST_FINITE = 3.40282347e38f;
// Below this scale a subnormal sample, scaled, stays far below one step, so it quantizes
// exactly as a zero of the same sign would (and zeros cost no microcode assists).
constexpr float SUBNORMAL_SAFE_SCALE = 1.2676506e30f;  // 2^100

struct Constants {
    __m128i sign = _mm_set1_epi32(static_cast<int>(SIGN_MASK));
    __m128i exponent = _mm_set1_epi32(static_cast<int>(EXPONENT_MASK));
    __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(MAGNITUDE_MASK)));
    __m128 noFraction = _mm_set1_ps(NO_FRACTION_FROM);
    __m128 largest = _mm_set1_ps(LARGEST_FINITE);
    __m128 scale;
    __m128d scaleWide;
    __m128 inverse;

    explicit Constants(const QuantizerState& q)
        : scale(_mm_set1_ps(q.quantScale)),
          scaleWide(_mm_set1_pd(double(q.quantScale))),
          inverse(_mm_set1_ps(q.quantInverse)) {}
};

// A subnormal sample becomes a zero with its sign.
inline __m128 flushSubnormals(__m128 x, const Constants& c) {
    const __m128i bits = _mm_castps_si128(x);
    const __m128i tiny = _mm_cmpeq_epi32(_mm_and_si128(bits, c.exponent), _mm_setzero_si128());
    return _mm_castsi128_ps(_mm_andnot_si128(_mm_andnot_si128(c.sign, tiny), bits));
}

// The offset that the mode adds, chosen by the sign bit of x (which v carries, in either
// width): "Round" +-0.5; "Floor" -1.0 or 0.0, formed exactly as (+-1.0 - 1.0) * 0.5.
template <int16_t Mode>
inline __m128 offsetFor(__m128 v) {
    const __m128 half = _mm_set1_ps(0.5f), one = _mm_set1_ps(1.0f);
    const __m128 sign = _mm_and_ps(v, _mm_set1_ps(-0.0f));
    if constexpr (Mode == QUANT_MODE_ROUND) return _mm_or_ps(sign, half);
    return _mm_mul_ps(_mm_sub_ps(_mm_or_ps(sign, one), one), half);
}

template <int16_t Mode>
inline __m128d offsetFor(__m128d v) {
    const __m128d half = _mm_set1_pd(0.5), one = _mm_set1_pd(1.0);
    const __m128d sign = _mm_and_pd(v, _mm_set1_pd(-0.0));
    if constexpr (Mode == QUANT_MODE_ROUND) return _mm_or_pd(sign, half);
    return _mm_mul_pd(_mm_sub_pd(_mm_or_pd(sign, one), one), half);
}

// scale * x + offset in double precision (the product is exact there), rounded once.
template <int16_t Mode>
inline __m128d offsetProduct(__m128 half, const Constants& c) {
    const __m128d wide = _mm_cvtps_pd(half);
    return _mm_add_pd(_mm_mul_pd(wide, c.scaleWide), offsetFor<Mode>(wide));
}

// With a scale that is a power of two (whole numbers of bits) or zero, the single-precision
// product is exact too, and one single-precision addition rounds as the double sum would.
template <int16_t Mode, bool PowerOfTwo>
inline __m128 scaled(__m128 x, const Constants& c) {
    if constexpr (Mode == QUANT_MODE_INSIDE) {
        return _mm_mul_ps(c.scale, x);
    } else if constexpr (PowerOfTwo) {
        return _mm_add_ps(_mm_mul_ps(c.scale, x), offsetFor<Mode>(x));
    } else {
        const __m128 low = _mm_cvtpd_ps(offsetProduct<Mode>(x, c));
        const __m128 high = _mm_cvtpd_ps(offsetProduct<Mode>(_mm_movehl_ps(x, x), c));
        return _mm_movelh_ps(low, high);
    }
}

// truncateTowardZero on four lanes: below 2^23 a round trip through int32 truncates (and
// gives +0.0 for |v| < 1); from 2^23 on v is kept; infinities and NaN give +0.0.
inline __m128 truncated(__m128 v, const Constants& c) {
    const __m128 magnitude = _mm_and_ps(v, c.magnitude);
    const __m128 small = _mm_cmplt_ps(magnitude, c.noFraction);
    const __m128 finite = _mm_cmple_ps(magnitude, c.largest);
    const __m128 roundTrip = _mm_cvtepi32_ps(_mm_cvttps_epi32(v));
    return _mm_or_ps(_mm_and_ps(small, roundTrip), _mm_andnot_ps(small, _mm_and_ps(finite, v)));
}

// [carry, v0, v1, v2]
inline __m128 delayedByOne(__m128 v, __m128 carry) {
    return _mm_move_ss(_mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 1, 0, 3)), carry);
}

template <int16_t Mode, bool PowerOfTwo>
inline __m128 quantize4(__m128 x, const Constants& c) {
    return _mm_mul_ps(truncated(scaled<Mode, PowerOfTwo>(flushSubnormals(x, c), c), c), c.inverse);
}

bool powerOfTwoOrZero(float scale) {
    constexpr uint32_t MANTISSA_MASK = 0x7FFFFFu;
    return (floatBits(scale) & MANTISSA_MASK) == 0;
}

template <int16_t Mode, bool PowerOfTwo>
void quantizeRun(const QuantizerState& quantizer, const float* in, float* out, int32_t count) {
    const Constants c(quantizer);
    int32_t i = 0;
    for (; i + LANES <= count; i += LANES) {
        _mm_storeu_ps(out + i, quantize4<Mode, PowerOfTwo>(_mm_loadu_ps(in + i), c));
    }
    for (; i < count; ++i) out[i] = quantizeSample<Mode>(quantizer, in[i]);
}

template <int16_t Mode, bool PowerOfTwo>
float quantizeRunDelayed(const QuantizerState& quantizer, const float* in, float* out,
                         int32_t count, float carry) {
    const Constants c(quantizer);
    int32_t i = 0;
    __m128 carried = _mm_set_ss(carry);
    for (; i + LANES <= count; i += LANES) {
        const __m128 q = quantize4<Mode, PowerOfTwo>(_mm_loadu_ps(in + i), c);
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


}  // namespace

bool quantizeBlockApplies(const QuantizerState& quantizer) {
    return quantizer.quantScale <= SUBNORMAL_SAFE_SCALE && quantizer.quantScale >= 0.0f;
}

template <int16_t Mode>
void quantizeBlock(const QuantizerState& quantizer, const float* in, float* out, int32_t count) {
    if (powerOfTwoOrZero(quantizer.quantScale)) {
        quantizeRun<Mode, true>(quantizer, in, out, count);
    } else {
        quantizeRun<Mode, false>(quantizer, in, out, count);
    }
}

template <int16_t Mode>
float quantizeBlockDelayed(const QuantizerState& quantizer, const float* in, float* out,
                           int32_t count, float carry) {
    if (powerOfTwoOrZero(quantizer.quantScale)) {
        return quantizeRunDelayed<Mode, true>(quantizer, in, out, count, carry);
    }
    return quantizeRunDelayed<Mode, false>(quantizer, in, out, count, carry);
}

float delayBlock(const float* in, float* out, int32_t count, float carry) {
    if (count <= 0) return carry;
    const float last = in[count - 1];
    std::memmove(out + 1, in, static_cast<size_t>(count - 1) * sizeof(float));
    out[0] = carry;
    return last;
}

template void quantizeBlock<QUANT_MODE_FLOOR>(const QuantizerState&, const float*, float*, int32_t);
template void quantizeBlock<QUANT_MODE_ROUND>(const QuantizerState&, const float*, float*, int32_t);
template void quantizeBlock<QUANT_MODE_INSIDE>(const QuantizerState&, const float*, float*, int32_t);
template float quantizeBlockDelayed<QUANT_MODE_FLOOR>(const QuantizerState&, const float*, float*,
                                                      int32_t, float);
template float quantizeBlockDelayed<QUANT_MODE_ROUND>(const QuantizerState&, const float*, float*,
                                                      int32_t, float);
template float quantizeBlockDelayed<QUANT_MODE_INSIDE>(const QuantizerState&, const float*,
                                                       float*, int32_t, float);

}  // namespace grindlet::dsp

// The quantizer on four samples at once with SSE2, giving the same bits as quantizeSample on
// each. Set up once per block (the scale and mode are fixed within one), then applied to
// vectors of samples.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "quantizer.h"

namespace grindlet::dsp {

template <int16_t Mode>
class VectorQuantizer {
public:
    explicit VectorQuantizer(const QuantizerState& q)
        : scale(_mm_set1_ps(q.quantScale)),
          scaleWide(_mm_set1_pd(double(q.quantScale))),
          inverse(_mm_set1_ps(q.quantInverse)),
          singlePrecision(powerOfTwoOrZero(q.quantScale)) {}

    // Whether the vector path may run with this state. It always may with the scales that the
    // "Bits" control produces; it needs them small enough that a subnormal sample, scaled,
    // stays far below one step, so that it quantizes exactly as a zero of its sign would.
    static bool applies(const QuantizerState& q) {
        return q.quantScale >= 0.0f && q.quantScale <= SUBNORMAL_SAFE_SCALE;
    }

    __m128 operator()(__m128 x) const {
        x = flushSubnormals(x);
        const __m128 v = singlePrecision ? scaledSingle(x) : scaledDouble(x);
        return _mm_mul_ps(truncated(v), inverse);
    }

private:
    static constexpr uint32_t SIGN_MASK = 0x80000000u;
    static constexpr uint32_t EXPONENT_MASK = 0x7F800000u;
    static constexpr uint32_t MANTISSA_MASK = 0x007FFFFFu;
    static constexpr uint32_t MAGNITUDE_MASK = 0x7FFFFFFFu;
    static constexpr int32_t INTEGER_INDEFINITE = INT32_MIN;  // cvttps2dq's answer out of range
    static constexpr float NO_FRACTION_FROM = 8388608.0f;     // 2^23: from here on, integers
    static constexpr float LARGEST_FINITE = 3.40282347e38f;
    static constexpr float SUBNORMAL_SAFE_SCALE = 1.2676506e30f;  // 2^100

    static bool powerOfTwoOrZero(float scale) { return (floatBits(scale) & MANTISSA_MASK) == 0; }

    static __m128i splat(uint32_t bits) { return _mm_set1_epi32(static_cast<int32_t>(bits)); }

    // A subnormal sample becomes a zero with its sign (and costs no microcode assist); an
    // infinite or NaN one becomes +0.0, which quantizes to +0.0 as they do in every mode.
    static __m128 flushSubnormals(__m128 x) {
        const __m128i bits = _mm_castps_si128(x);
        const __m128i exponent = _mm_and_si128(bits, splat(EXPONENT_MASK));
        const __m128i tiny = _mm_cmpeq_epi32(exponent, _mm_setzero_si128());
        const __m128i special = _mm_cmpeq_epi32(exponent, splat(EXPONENT_MASK));
        const __m128i cleared = _mm_or_si128(_mm_andnot_si128(splat(SIGN_MASK), tiny), special);
        return _mm_castsi128_ps(_mm_andnot_si128(cleared, bits));
    }

    // With a scale that is a power of two or zero the single-precision product is exact, and
    // one single-precision addition of the offset rounds as the double-precision sum would.
    __m128 scaledSingle(__m128 x) const {
        const __m128 product = _mm_mul_ps(scale, x);
        if constexpr (Mode == QUANT_MODE_INSIDE) return product;
        const __m128 sign = _mm_and_ps(x, _mm_castsi128_ps(splat(SIGN_MASK)));
        if constexpr (Mode == QUANT_MODE_ROUND) {
            return _mm_add_ps(product, _mm_or_ps(sign, _mm_set1_ps(0.5f)));  // +-0.5
        }
        // "Floor": -1.0 where the sign bit is set, else +0.0.
        const __m128 negative = _mm_castsi128_ps(_mm_srai_epi32(_mm_castps_si128(x), 31));
        return _mm_add_ps(product, _mm_and_ps(negative, _mm_set1_ps(-1.0f)));
    }

    // Otherwise the product and sum in double precision (the product is exact there), rounded
    // once. The offset follows the sign bit, which the widened value keeps.
    __m128d offsetProduct(__m128 half) const {
        const __m128d wide = _mm_cvtps_pd(half);
        const __m128d sign = _mm_and_pd(wide, _mm_set1_pd(-0.0));
        __m128d offset;
        if constexpr (Mode == QUANT_MODE_ROUND) {
            offset = _mm_or_pd(sign, _mm_set1_pd(0.5));
        } else {
            // (+-1.0 - 1.0) * 0.5: exactly -1.0 or +0.0.
            const __m128d one = _mm_set1_pd(1.0);
            offset = _mm_mul_pd(_mm_sub_pd(_mm_or_pd(sign, one), one), _mm_set1_pd(0.5));
        }
        return _mm_add_pd(_mm_mul_pd(wide, scaleWide), offset);
    }

    __m128 scaledDouble(__m128 x) const {
        if constexpr (Mode == QUANT_MODE_INSIDE) return _mm_mul_ps(scale, x);
        const __m128 low = _mm_cvtpd_ps(offsetProduct(x));
        const __m128 high = _mm_cvtpd_ps(offsetProduct(_mm_movehl_ps(x, x)));
        return _mm_movelh_ps(low, high);
    }

    // truncateTowardZero: a round trip through int32 truncates below 2^31 (giving +0.0 for
    // |v| < 1, and v itself from 2^23 on). Beyond (a huge sample), and for infinities and NaN,
    // the conversion answers INT32_MIN; those lanes keep v when finite and give +0.0 when not.
    static __m128 truncated(__m128 v) {
        const __m128i whole = _mm_cvttps_epi32(v);
        const __m128i outOfRange = _mm_cmpeq_epi32(whole, _mm_set1_epi32(INTEGER_INDEFINITE));
        const __m128 roundTrip = _mm_cvtepi32_ps(whole);
        if (_mm_movemask_epi8(outOfRange) == 0) return roundTrip;
        const __m128 magnitude = _mm_and_ps(v, _mm_castsi128_ps(splat(MAGNITUDE_MASK)));
        const __m128 small = _mm_cmplt_ps(magnitude, _mm_set1_ps(NO_FRACTION_FROM));
        const __m128 finite = _mm_cmple_ps(magnitude, _mm_set1_ps(LARGEST_FINITE));
        return _mm_or_ps(_mm_and_ps(small, roundTrip), _mm_andnot_ps(small, _mm_and_ps(finite, v)));
    }

    __m128 scale;
    __m128d scaleWide;
    __m128 inverse;
    bool singlePrecision;
};

}  // namespace grindlet::dsp

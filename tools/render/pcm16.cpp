#include "pcm16.h"

#include <emmintrin.h>

namespace grindlet::render {

// libsndfile scales to 32 bits and keeps the top 16: s = x * 2^31 in single precision (exact
// but for overflow, the scale being a power of two), s >= 2^31 clips to the top, otherwise
// the 32-bit conversion rounds to nearest even (NaN and anything at or below -2^31 give
// INT32_MIN) and an arithmetic shift by 16 floors to 16 bits. cvtps2dq is that conversion, so
// only the positive overflow needs patching before the shift; packssdw then sees only values
// in range.
namespace {
constexpr float TWO_TO_31 = 2147483648.0f;
}  // namespace

void floatsToPcm16(const float* in, int16_t* out, size_t count) {
    const __m128 scale = _mm_set1_ps(TWO_TO_31);
    const __m128i top = _mm_set1_epi32(INT32_MAX);
    const auto convert = [&](__m128 x) {
        const __m128 s = _mm_mul_ps(x, scale);
        const __m128i over = _mm_castps_si128(_mm_cmpge_ps(s, scale));
        const __m128i rounded = _mm_cvtps_epi32(s);
        const __m128i clipped =
            _mm_or_si128(_mm_and_si128(over, top), _mm_andnot_si128(over, rounded));
        return _mm_srai_epi32(clipped, 16);
    };
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i low = convert(_mm_loadu_ps(in + i));
        const __m128i high = convert(_mm_loadu_ps(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(low, high));
    }
    for (; i < count; ++i) {
        const __m128i one = convert(_mm_set_ss(in[i]));
        out[i] = static_cast<int16_t>(_mm_cvtsi128_si32(one));
    }
}

}  // namespace grindlet::render

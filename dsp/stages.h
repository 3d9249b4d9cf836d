// The engine's own stages around the reducers, each off at its default: low-pass filters
// (the anti-aliasing before the reduction, the tone after it), companding (Mu-law, A-law),
// TPDF dither and the random numbers of dither, jitter and the random LFO. Same bits on every
// platform: only + − × ÷ in a pinned order, and our own sine, powers and logarithms
// (portable_math.h); and the same bits whether or not the processor flushes denormals, as no
// value here ever becomes one (see LowPass::run).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "controls.h"
#include "filters.h"
#include "float_bits.h"
#include "portable_math.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grindlet::dsp {

// Quantization laws: the signal is compressed before the reducers and expanded after them, so
// that the steps are finer near silence. |x| above 1 compresses along the same curve, but what
// is expanded is first held to the law's range, -1 to 1 (full scale, as the telephone's codes
// end there): a sample pushed past it, by drive, dither or a rounding down, comes out at full
// scale, never beyond. Infinities and NaN pass as they are; a subnormal is compressed as a zero
// of its sign (so a processor that flushes them gives the same bits). Per sample, so the
// logarithm and the power here take their exponents from the bits and need no library call;
// their series stop where a float's precision is far exceeded (errors below 3e-11 in the
// logarithm, 1e-11 relative in the power).
namespace companding {

constexpr double MU = 255.0;
constexpr double MU_LOG2 = 8.0;  // log2(1 + 255)
constexpr double A = 87.6;
constexpr double A_LOG = 5.472780997942346;  // 1 + ln 87.6
constexpr double LN2 = 0.69314718055994530941723212145818;
constexpr double UNTOUCHED = 1e30;  // at and above this (and NaN), a sample passes as it is

// log2(v) for any positive normal v (companding takes it for 1 <= v < 1e32).
inline double logTwo(double v) {
    constexpr double SQRT2 = 1.4142135623730950488;
    constexpr int EXPONENT_SHIFT = 52;
    constexpr uint64_t EXPONENT_BIAS = 1023, MANTISSA = (uint64_t{1} << EXPONENT_SHIFT) - 1;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    // The mantissa m in [1, 2) is halved where it is above √2, exactly: its exponent field one
    // lower. Decided on the bits (m > √2 exactly where its fraction is above √2's), so no branch
    // guesses at a random sample.
    uint64_t sqrt2Bits;
    std::memcpy(&sqrt2Bits, &SQRT2, sizeof sqrt2Bits);
    const uint64_t fraction = bits & MANTISSA;
    const uint64_t halved = fraction > (sqrt2Bits & MANTISSA) ? 1 : 0;
    const double exponent =
        double(int64_t(bits >> EXPONENT_SHIFT) - int64_t(EXPONENT_BIAS) + int64_t(halved));
    const uint64_t mantissaBits = fraction | ((EXPONENT_BIAS - halved) << EXPONENT_SHIFT);
    double m;  // [√½, √2]
    std::memcpy(&m, &mantissaBits, sizeof m);
    const double s = (m - 1.0) / (m + 1.0);  // |s| < 0.172
    const double s2 = s * s;
    double p = 1.0 / 11.0;
    p = p * s2 + 1.0 / 9.0;
    p = p * s2 + 1.0 / 7.0;
    p = p * s2 + 1.0 / 5.0;
    p = p * s2 + 1.0 / 3.0;
    p = p * s2 + 1.0;
    constexpr double TWO_OVER_LN2 = 2.0 / LN2;
    return exponent + s * p * TWO_OVER_LN2;
}

// 2^v for 0 <= v < 64.
inline double powerTwo(double v) {
    const double whole = double(int64_t(v + 0.5));  // floor: v + 0.5 is positive
    const double y = (v - whole) * LN2;             // |y| <= 0.347
    double p = 1.0 / 3628800.0;
    p = p * y + 1.0 / 362880.0;
    p = p * y + 1.0 / 40320.0;
    p = p * y + 1.0 / 5040.0;
    p = p * y + 1.0 / 720.0;
    p = p * y + 1.0 / 120.0;
    p = p * y + 1.0 / 24.0;
    p = p * y + 1.0 / 6.0;
    p = p * y + 1.0 / 2.0;
    p = p * y + 1.0;
    p = p * y + 1.0;
    constexpr int EXPONENT_SHIFT = 52;
    const uint64_t scaleBits = uint64_t(int64_t(whole) + 1023) << EXPONENT_SHIFT;
    double scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return p * scale;  // exact: a power of two
}

inline float compressMu(float x) {
    x = withoutSubnormal(x);
    const double a = std::fabs(double(x));
    if (!(a < UNTOUCHED) || a == 0.0) return x;
    return std::copysign(static_cast<float>(logTwo(1.0 + MU * a) / MU_LOG2), x);
}
inline float expandMu(float y) {
    const double a = std::fabs(double(y));
    if (!(a < 64.0) || a == 0.0) return y;
    return std::copysign(floatWithoutSubnormal((powerTwo(MU_LOG2 * a) - 1.0) / MU), y);
}
inline float compressA(float x) {
    x = withoutSubnormal(x);
    const double a = std::fabs(double(x));
    if (!(a < UNTOUCHED) || a == 0.0) return x;
    const double c = a < 1.0 / A ? A * a / A_LOG : (1.0 + logTwo(A * a) * LN2) / A_LOG;
    return std::copysign(static_cast<float>(c), x);
}
inline float expandA(float y) {
    const double a = std::fabs(double(y));
    if (!(a < 64.0) || a == 0.0) return y;
    const double x = a < 1.0 / A_LOG ? a * A_LOG / A : powerTwo((a * A_LOG - 1.0) / LN2) / A;
    return std::copysign(floatWithoutSubnormal(x), y);
}

#if defined(__SSE2__)

// logTwo in both lanes of a vector of doubles, with its bits for every positive normal v (the
// other lanes' results are not used).
inline __m128d logTwoLanes(__m128d v) {
    constexpr double SQRT2 = 1.4142135623730950488, TWO_OVER_LN2 = 2.0 / LN2;
    constexpr double TWO_TO_52 = 4503599627370496.0;
    const __m128i bits = _mm_castpd_si128(v);
    const __m128i mantissa = _mm_set1_epi64x(int64_t{0x000FFFFFFFFFFFFF});
    const __m128d one = _mm_set1_pd(1.0);
    // The biased exponent as a double, exactly: its bits under 2^52's, less 2^52.
    const __m128d biased =
        _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(_mm_srli_epi64(bits, 52),
                                                 _mm_castpd_si128(_mm_set1_pd(TWO_TO_52)))),
                   _mm_set1_pd(TWO_TO_52));
    const __m128d whole =  // the mantissa in [1, 2)
        _mm_or_pd(_mm_castsi128_pd(_mm_and_si128(bits, mantissa)), one);
    const __m128d halved = _mm_cmpgt_pd(whole, _mm_set1_pd(SQRT2));
    const __m128d m = _mm_or_pd(_mm_and_pd(halved, _mm_mul_pd(whole, _mm_set1_pd(0.5))),
                                _mm_andnot_pd(halved, whole));
    const __m128d exponent =
        _mm_add_pd(_mm_sub_pd(biased, _mm_set1_pd(1023.0)), _mm_and_pd(halved, one));
    const __m128d s = _mm_div_pd(_mm_sub_pd(m, one), _mm_add_pd(m, one));
    const __m128d s2 = _mm_mul_pd(s, s);
    __m128d p = _mm_set1_pd(1.0 / 11.0);
    p = _mm_add_pd(_mm_mul_pd(p, s2), _mm_set1_pd(1.0 / 9.0));
    p = _mm_add_pd(_mm_mul_pd(p, s2), _mm_set1_pd(1.0 / 7.0));
    p = _mm_add_pd(_mm_mul_pd(p, s2), _mm_set1_pd(1.0 / 5.0));
    p = _mm_add_pd(_mm_mul_pd(p, s2), _mm_set1_pd(1.0 / 3.0));
    p = _mm_add_pd(_mm_mul_pd(p, s2), one);
    return _mm_add_pd(exponent, _mm_mul_pd(_mm_mul_pd(s, p), _mm_set1_pd(TWO_OVER_LN2)));
}

// compressMu or compressA of the two floats in x's low lanes, with their bits.
inline __m128 compressLanes(Law law, __m128 x) {
    // Subnormals as zeros of their sign, decided on the bits.
    const __m128i exponent = _mm_and_si128(_mm_castps_si128(x), _mm_set1_epi32(0x7F800000));
    const __m128 subnormal = _mm_castsi128_ps(_mm_cmpeq_epi32(exponent, _mm_setzero_si128()));
    x = _mm_andnot_ps(_mm_andnot_ps(_mm_castsi128_ps(_mm_set1_epi32(INT32_MIN)), subnormal), x);
    const __m128d wide = _mm_cvtps_pd(x);
    const __m128d a = _mm_and_pd(wide, _mm_castsi128_pd(_mm_set1_epi64x(INT64_MAX)));
    __m128d c;
    if (law == Law::MuLaw) {
        c = _mm_div_pd(logTwoLanes(_mm_add_pd(_mm_set1_pd(1.0), _mm_mul_pd(_mm_set1_pd(MU), a))),
                       _mm_set1_pd(MU_LOG2));
    } else {
        const __m128d scaled = _mm_mul_pd(_mm_set1_pd(A), a);
        const __m128d low = _mm_div_pd(scaled, _mm_set1_pd(A_LOG));
        const __m128d high = _mm_div_pd(
            _mm_add_pd(_mm_set1_pd(1.0), _mm_mul_pd(logTwoLanes(scaled), _mm_set1_pd(LN2))),
            _mm_set1_pd(A_LOG));
        const __m128d below = _mm_cmplt_pd(a, _mm_set1_pd(1.0 / A));
        c = _mm_or_pd(_mm_and_pd(below, low), _mm_andnot_pd(below, high));
    }
    const __m128 sign = _mm_and_ps(x, _mm_castsi128_ps(_mm_set1_epi32(INT32_MIN)));
    const __m128 compressed = _mm_or_ps(_mm_cvtpd_ps(c), sign);
    // Zero, NaN and |x| from 1e30 up pass as they are.
    const __m128d passes =
        _mm_or_pd(_mm_cmpnlt_pd(a, _mm_set1_pd(UNTOUCHED)), _mm_cmpeq_pd(a, _mm_setzero_pd()));
    const __m128 passing = _mm_castpd_ps(passes);
    const __m128 lanes = _mm_shuffle_ps(passing, passing, _MM_SHUFFLE(2, 0, 2, 0));
    return _mm_or_ps(_mm_and_ps(lanes, x), _mm_andnot_ps(lanes, compressed));
}

#endif

inline float compress(Law law, float x) {
    return law == Law::MuLaw ? compressMu(x) : law == Law::ALaw ? compressA(x) : x;
}
// What the reducers hold, as the output hears it: held to the law's range, then expanded (a
// subnormal result as a zero of its sign).
inline float expand(Law law, float y) {
    if (law == Law::Linear) return y;
    const float within = y > 1.0f ? 1.0f : y < -1.0f ? -1.0f : y;
    return withoutSubnormal(law == Law::MuLaw ? expandMu(within) : expandA(within));
}
// A sample held under one law as another holds it: what the listener hears, compressed anew.
inline float reencode(Law from, Law to, float y) { return compress(to, expand(from, y)); }
// The largest step of the reducers' grid as the output hears it, for steps of `step` in the
// compressed signal: the one at full scale, where the expansion is steepest.
inline float heardStep(Law law, float step) {
    if (law == Law::Linear || !(step > 0.0f)) return step;
    return static_cast<float>(1.0 - double(expand(law, static_cast<float>(1.0 - double(step)))));
}

// The law's compression of samples[at[k]] for k < count, in place, with compressMu's or
// compressA's bits (on x86 two samples at a time).
inline void compressTaken(Law law, float* samples, const int32_t* at, int32_t count) {
    int32_t k = 0;
#if defined(__SSE2__)
    for (; k + 2 <= count; k += 2) {
        float* a = samples + at[k];
        float* b = samples + at[k + 1];
        const __m128 y = compressLanes(law, _mm_unpacklo_ps(_mm_load_ss(a), _mm_load_ss(b)));
        _mm_store_ss(a, y);
        _mm_store_ss(b, _mm_shuffle_ps(y, y, 1));
    }
#endif
    for (; k < count; ++k) {
        float& x = samples[at[k]];
        x = compress(law, x);
    }
}

}  // namespace companding

// Random numbers keyed by the seed, a stream (what they are for), a channel and a position: a
// counter, not a state, so any split of a stream into blocks gives the same numbers.
enum class RandomStream : uint64_t { Dither = 1, Jitter = 2, Lfo = 3 };

inline uint64_t randomBits(uint32_t seed, RandomStream stream, uint32_t channel, int64_t at) {
    uint64_t z = (uint64_t{seed} << 32 | uint64_t(stream) << 24 | channel) * 0x9E3779B97F4A7C15ull +
                 static_cast<uint64_t>(at) * 0xD1B54A32D192ED03ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;  // splitmix64's finalizer
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Two numbers in [0, 1), 24 bits each: exact in single precision.
inline float firstUniform(uint64_t bits) { return float(bits >> 40) * 0x1p-24f; }
inline float secondUniform(uint64_t bits) { return float((bits >> 16) & 0xFFFFFF) * 0x1p-24f; }

}  // namespace grindlet::dsp

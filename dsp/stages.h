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

#include "float_bits.h"
#include "portable_math.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grindlet::dsp {

// A subnormal becomes a zero of its sign; anything else stays. Read from the bits, so a
// processor that treats subnormals as zero (DAZ) judges them as one that does not.
inline float withoutSubnormal(float v) {
    constexpr uint32_t EXPONENT = 0x7F800000u, SIGN = 0x80000000u;
    const uint32_t bits = floatBits(v);
    return (bits & EXPONENT) == 0 ? floatFromBits(bits & SIGN) : v;
}

// A two-pole low-pass (the cookbook's, from the bilinear transform), in transposed direct form
// II, single precision.
struct LowPass {
    float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;

    // cutoff / sample rate in (0, 0.5), and the pole pair's Q (0.7071 alone is Butterworth; a
    // fourth-order Butterworth is 0.5412 then 1.3066).
    static LowPass at(double cutoffShare, double q) { return at(Cutoff::of(cutoffShare), q); }

    // A cutoff's sine and cosine, worked out once for the sections that share it.
    struct Cutoff {
        double sine, cosine;
        static Cutoff of(double cutoffShare) {
            return {sineOfTurns(cutoffShare), sineOfTurns(cutoffShare + 0.25)};
        }
    };
    static LowPass at(const Cutoff& cutoff, double q) {
        const double sine = cutoff.sine, cosine = cutoff.cosine;
        // One division: the LFO moves the anti-aliasing's cutoff every few dozen frames.
        const double alpha = sine * (0.5 / q);  // 0.5 / q folds where q is a constant
        const double perA0 = 1.0 / (1.0 + alpha);
        LowPass f;
        f.b1 = static_cast<float>((1.0 - cosine) * perA0);
        f.b0 = static_cast<float>((1.0 - cosine) * 0.5 * perA0);
        f.b2 = f.b0;
        f.a1 = static_cast<float>(-2.0 * cosine * perA0);
        f.a2 = static_cast<float>((1.0 - alpha) * perA0);
        return f;
    }

    struct State {
        float z1 = 0.0f, z2 = 0.0f;
    };

    // Below this a value is silence, set to 0: the input, and the output, which feeds both
    // states. Then every value stays far above the denormal range (the states are the output
    // times coefficients no smaller than 1e-8, or the input's, and their exact differences), so
    // a host that flushes denormals gets the same bits. A NaN or an infinity in the input is
    // silence too: one bad sample cannot silence the filter for good. (A stable section's output
    // of inputs below 1e30 stays finite, so the output needs the silence check alone.)
    static constexpr float SILENCE = 1e-15f;
    static float clean(float v) {
        return std::fabs(v) >= SILENCE && std::fabs(v) < 1e30f ? v : 0.0f;
    }
    static float quiet(float v) { return std::fabs(v) >= SILENCE ? v : 0.0f; }

    // One sample x (clean) through the section. The feedback's chain from one output to the
    // next is a product, a difference and a sum: the terms of x are added off it.
    [[gnu::always_inline]] float step(float x, float& z1, float& z2) const {
        const float y = quiet(b0 * x + z1);
        z1 = (b1 * x + z2) - a1 * y;
        z2 = b2 * x - a2 * y;
        return y;
    }

    // out may be in. The coefficients are copied first: the stores through out could otherwise
    // be them, and they would be loaded again every sample.
    void run(State& s, const float* in, float* out, int32_t frames) const {
        const LowPass f = *this;
        float z1 = s.z1, z2 = s.z2;
        for (int32_t i = 0; i < frames; ++i) out[i] = f.step(clean(in[i]), z1, z2);
        s = {z1, z2};
    }

    // The same on two channels in one pass (outA may be a, outB b): their chains are
    // independent, so each runs in the other's latency. Each channel gets run()'s bits.
    void runTwo(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                int32_t frames) const {
#if defined(__SSE2__)
        runTwoLanes(sa, sb, a, b, outA, outB, frames);
#else
        runTwoPlain(sa, sb, a, b, outA, outB, frames);
#endif
    }

#if defined(__SSE2__)
    // runTwoPlain's bits with the channels in two lanes of a vector: fewer instructions wait on
    // the feedback, so more of what follows runs beside it.
    void runTwoLanes(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                     int32_t frames) const {
        const __m128 c0 = _mm_set1_ps(b0), c1 = _mm_set1_ps(b1), c2 = _mm_set1_ps(b2);
        const __m128 d1 = _mm_set1_ps(a1), d2 = _mm_set1_ps(a2);
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        const __m128 silence = _mm_set1_ps(SILENCE), loud = _mm_set1_ps(1e30f);
        __m128 z1 = _mm_setr_ps(sa.z1, sb.z1, 0.0f, 0.0f);
        __m128 z2 = _mm_setr_ps(sa.z2, sb.z2, 0.0f, 0.0f);
        for (int32_t i = 0; i < frames; ++i) {
            __m128 x = _mm_unpacklo_ps(_mm_load_ss(a + i), _mm_load_ss(b + i));
            const __m128 size = _mm_and_ps(x, magnitude);
            x = _mm_and_ps(x, _mm_and_ps(_mm_cmpge_ps(size, silence), _mm_cmplt_ps(size, loud)));
            __m128 y = _mm_add_ps(_mm_mul_ps(c0, x), z1);
            y = _mm_and_ps(y, _mm_cmpge_ps(_mm_and_ps(y, magnitude), silence));
            z1 = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(c1, x), z2), _mm_mul_ps(d1, y));
            z2 = _mm_sub_ps(_mm_mul_ps(c2, x), _mm_mul_ps(d2, y));
            _mm_store_ss(outA + i, y);
            _mm_store_ss(outB + i, _mm_shuffle_ps(y, y, 1));
        }
        alignas(16) float lanes[2][4];
        _mm_store_ps(lanes[0], z1);
        _mm_store_ps(lanes[1], z2);
        sa = {lanes[0][0], lanes[1][0]};
        sb = {lanes[0][1], lanes[1][1]};
    }
#endif

    void runTwoPlain(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                     int32_t frames) const {
        const LowPass f = *this;
        float za1 = sa.z1, za2 = sa.z2, zb1 = sb.z1, zb2 = sb.z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float ya = f.step(clean(a[i]), za1, za2);
            const float yb = f.step(clean(b[i]), zb1, zb2);
            outA[i] = ya;
            outB[i] = yb;
        }
        sa = {za1, za2};
        sb = {zb1, zb2};
    }

    // Two sections in one pass (a fourth-order filter): the second works on the first's last
    // output while the first computes its next, so their latencies overlap.
    static void runPair(const LowPass& first, const LowPass& second, State& s1, State& s2,
                        const float* in, float* out, int32_t frames) {
#if defined(__SSE2__)
        runPairLanes(first, second, s1, s2, in, out, frames);
#else
        runPairPlain(first, second, s1, s2, in, out, frames);
#endif
    }

#if defined(__SSE2__)
    // runPairPlain's bits with the two sections in two lanes of a vector, the second one frame
    // behind (as runPairTwoLanes).
    static void runPairLanes(const LowPass& first, const LowPass& second, State& s1, State& s2,
                             const float* in, float* out, int32_t frames) {
        if (frames <= 0) return;
        const LowPass f = first, g = second;
        const float y0 = f.step(clean(in[0]), s1.z1, s1.z2);
        const __m128 b0 = _mm_setr_ps(f.b0, g.b0, 0.0f, 0.0f);
        const __m128 b1 = _mm_setr_ps(f.b1, g.b1, 0.0f, 0.0f);
        const __m128 b2 = _mm_setr_ps(f.b2, g.b2, 0.0f, 0.0f);
        const __m128 a1 = _mm_setr_ps(f.a1, g.a1, 0.0f, 0.0f);
        const __m128 a2 = _mm_setr_ps(f.a2, g.a2, 0.0f, 0.0f);
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        const __m128 silence = _mm_set1_ps(SILENCE), loud = _mm_set1_ps(1e30f);
        __m128 z1 = _mm_setr_ps(s1.z1, s2.z1, 0.0f, 0.0f);
        __m128 z2 = _mm_setr_ps(s1.z2, s2.z2, 0.0f, 0.0f);
        __m128 y = _mm_set_ss(y0);
        for (int32_t i = 1; i < frames; ++i) {
            __m128 x = _mm_load_ss(in + i);
            const __m128 size = _mm_and_ps(x, magnitude);
            x = _mm_and_ps(x, _mm_and_ps(_mm_cmpge_ps(size, silence), _mm_cmplt_ps(size, loud)));
            const __m128 both = _mm_unpacklo_ps(x, y);  // x of frame i, the first's y of i - 1
            y = _mm_add_ps(_mm_mul_ps(b0, both), z1);
            y = _mm_and_ps(y, _mm_cmpge_ps(_mm_and_ps(y, magnitude), silence));
            z1 = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(b1, both), z2), _mm_mul_ps(a1, y));
            z2 = _mm_sub_ps(_mm_mul_ps(b2, both), _mm_mul_ps(a2, y));
            out[i - 1] = _mm_cvtss_f32(_mm_shuffle_ps(y, y, 1));
        }
        alignas(16) float lanes[3][4];
        _mm_store_ps(lanes[0], z1);
        _mm_store_ps(lanes[1], z2);
        _mm_store_ps(lanes[2], y);
        s1 = {lanes[0][0], lanes[1][0]};
        s2 = {lanes[0][1], lanes[1][1]};
        out[frames - 1] = g.step(lanes[2][0], s2.z1, s2.z2);
    }
#endif

    static void runPairPlain(const LowPass& first, const LowPass& second, State& s1, State& s2,
                             const float* in, float* out, int32_t frames) {
        const LowPass f = first, g = second;
        float u1 = s1.z1, u2 = s1.z2, v1 = s2.z1, v2 = s2.z2;
        for (int32_t i = 0; i < frames; ++i) out[i] = g.step(f.step(clean(in[i]), u1, u2), v1, v2);
        s1 = {u1, u2};
        s2 = {v1, v2};
    }

    // runPair on two channels in one pass, in place (sa: the first channel's two states).
    static void runPairTwo(const LowPass& first, const LowPass& second, State* sa, State* sb,
                           float* a, float* b, int32_t frames) {
#if defined(__SSE2__)
        runPairTwoLanes(first, second, sa, sb, a, b, frames);
#else
        runPairTwoPlain(first, second, sa, sb, a, b, frames);
#endif
    }

    static void runPairTwoPlain(const LowPass& first, const LowPass& second, State* sa, State* sb,
                                float* a, float* b, int32_t frames) {
        const LowPass f = first, g = second;
        float ua1 = sa[0].z1, ua2 = sa[0].z2, va1 = sa[1].z1, va2 = sa[1].z2;
        float ub1 = sb[0].z1, ub2 = sb[0].z2, vb1 = sb[1].z1, vb2 = sb[1].z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float ya = f.step(clean(a[i]), ua1, ua2);
            const float yb = f.step(clean(b[i]), ub1, ub2);
            const float wa = g.step(ya, va1, va2);
            const float wb = g.step(yb, vb1, vb2);
            a[i] = wa;
            b[i] = wb;
        }
        sa[0] = {ua1, ua2};
        sa[1] = {va1, va2};
        sb[0] = {ub1, ub2};
        sb[1] = {vb1, vb2};
    }

#if defined(__SSE2__)
    // runPairTwoPlain's bits with its four sections in the lanes of one vector: the first
    // sections of a and b on frame i, the second sections on frame i - 1 (the first's output of
    // the pass before). Each lane does the plain loop's operations in its order, and no value is
    // a NaN, so every lane rounds as the scalar section does.
    static void runPairTwoLanes(const LowPass& first, const LowPass& second, State* sa, State* sb,
                                float* a, float* b, int32_t frames) {
        if (frames <= 0) return;
        const LowPass f = first, g = second;
        // Frame 0 through the first sections alone: the second sections start one frame behind.
        float ya = f.step(clean(a[0]), sa[0].z1, sa[0].z2);
        float yb = f.step(clean(b[0]), sb[0].z1, sb[0].z2);
        const __m128 b0 = _mm_setr_ps(f.b0, f.b0, g.b0, g.b0);
        const __m128 b1 = _mm_setr_ps(f.b1, f.b1, g.b1, g.b1);
        const __m128 b2 = _mm_setr_ps(f.b2, f.b2, g.b2, g.b2);
        const __m128 a1 = _mm_setr_ps(f.a1, f.a1, g.a1, g.a1);
        const __m128 a2 = _mm_setr_ps(f.a2, f.a2, g.a2, g.a2);
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        const __m128 silence = _mm_set1_ps(SILENCE), loud = _mm_set1_ps(1e30f);
        __m128 z1 = _mm_setr_ps(sa[0].z1, sb[0].z1, sa[1].z1, sb[1].z1);
        __m128 z2 = _mm_setr_ps(sa[0].z2, sb[0].z2, sa[1].z2, sb[1].z2);
        __m128 y = _mm_setr_ps(ya, yb, 0.0f, 0.0f);
        for (int32_t i = 1; i < frames; ++i) {
            __m128 x = _mm_unpacklo_ps(_mm_load_ss(a + i), _mm_load_ss(b + i));
            const __m128 size = _mm_and_ps(x, magnitude);
            x = _mm_and_ps(x, _mm_and_ps(_mm_cmpge_ps(size, silence), _mm_cmplt_ps(size, loud)));
            const __m128 in = _mm_movelh_ps(x, y);  // x of frame i, the first's y of i - 1
            y = _mm_add_ps(_mm_mul_ps(b0, in), z1);
            y = _mm_and_ps(y, _mm_cmpge_ps(_mm_and_ps(y, magnitude), silence));
            z1 = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(b1, in), z2), _mm_mul_ps(a1, y));
            z2 = _mm_sub_ps(_mm_mul_ps(b2, in), _mm_mul_ps(a2, y));
            const __m128 high = _mm_movehl_ps(y, y);
            a[i - 1] = _mm_cvtss_f32(high);
            b[i - 1] = _mm_cvtss_f32(_mm_shuffle_ps(high, high, 1));
        }
        alignas(16) float lanes[3][4];
        _mm_store_ps(lanes[0], z1);
        _mm_store_ps(lanes[1], z2);
        _mm_store_ps(lanes[2], y);
        sa[0] = {lanes[0][0], lanes[1][0]};
        sb[0] = {lanes[0][1], lanes[1][1]};
        sa[1] = {lanes[0][2], lanes[1][2]};
        sb[1] = {lanes[0][3], lanes[1][3]};
        // The last frame through the second sections.
        a[frames - 1] = g.step(lanes[2][0], sa[1].z1, sa[1].z2);
        b[frames - 1] = g.step(lanes[2][1], sb[1].z1, sb[1].z2);
    }
#endif
};

// Quantization laws: the signal is compressed before the reducers and expanded after them, so
// that the steps are finer near silence. |x| above 1 follows the same curve; infinities and NaN
// pass as they are. Per sample, so the logarithm and the power here take their exponents from
// the bits and need no library call; their series stop where a float's precision is far
// exceeded (errors below 3e-11 in the logarithm, 1e-11 relative in the power).
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
    const double a = std::fabs(double(x));
    if (!(a < UNTOUCHED) || a == 0.0) return x;
    return std::copysign(static_cast<float>(logTwo(1.0 + MU * a) / MU_LOG2), x);
}
inline float expandMu(float y) {
    const double a = std::fabs(double(y));
    if (!(a < 64.0) || a == 0.0) return y;
    return std::copysign(static_cast<float>((powerTwo(MU_LOG2 * a) - 1.0) / MU), y);
}
inline float compressA(float x) {
    const double a = std::fabs(double(x));
    if (!(a < UNTOUCHED) || a == 0.0) return x;
    const double c = a < 1.0 / A ? A * a / A_LOG : (1.0 + logTwo(A * a) * LN2) / A_LOG;
    return std::copysign(static_cast<float>(c), x);
}
inline float expandA(float y) {
    const double a = std::fabs(double(y));
    if (!(a < 64.0) || a == 0.0) return y;
    const double x = a < 1.0 / A_LOG ? a * A_LOG / A : powerTwo((a * A_LOG - 1.0) / LN2) / A;
    return std::copysign(static_cast<float>(x), y);
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

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
    static LowPass at(double cutoffShare, double q) {
        const double sine = sineOfTurns(cutoffShare);
        const double cosine = sineOfTurns(cutoffShare + 0.25);
        const double alpha = sine / (2.0 * q);
        const double a0 = 1.0 + alpha;
        LowPass f;
        f.b0 = static_cast<float>((1.0 - cosine) / 2.0 / a0);
        f.b1 = static_cast<float>((1.0 - cosine) / a0);
        f.b2 = f.b0;
        f.a1 = static_cast<float>(-2.0 * cosine / a0);
        f.a2 = static_cast<float>((1.0 - alpha) / a0);
        return f;
    }

    struct State {
        float z1 = 0.0f, z2 = 0.0f;
    };

    // Below this a value is silence, set to 0: the input, and the output, which feeds both
    // states. Then every value stays far above the denormal range (the states are the output
    // times coefficients no smaller than 1e-8, or the input's, and their exact differences), so
    // a host that flushes denormals gets the same bits. A NaN or an infinity is silence too: one
    // bad sample cannot silence the filter for good.
    static constexpr float SILENCE = 1e-15f;
    static float clean(float v) {
        return std::fabs(v) >= SILENCE && std::fabs(v) < 1e30f ? v : 0.0f;
    }

    // out may be in.
    void run(State& s, const float* in, float* out, int32_t frames) const {
        float z1 = s.z1, z2 = s.z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float x = clean(in[i]);
            const float y = clean(b0 * x + z1);
            z1 = b1 * x - a1 * y + z2;
            z2 = b2 * x - a2 * y;
            out[i] = y;
        }
        s.z1 = z1;
        s.z2 = z2;
    }

    // The same on two channels in one pass, in place: their chains are independent, so each
    // runs in the other's latency. Each channel gets run()'s bits.
    void runTwo(State& sa, State& sb, float* a, float* b, int32_t frames) const {
        float za1 = sa.z1, za2 = sa.z2, zb1 = sb.z1, zb2 = sb.z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float xa = clean(a[i]);
            const float xb = clean(b[i]);
            const float ya = clean(b0 * xa + za1);
            const float yb = clean(b0 * xb + zb1);
            za1 = b1 * xa - a1 * ya + za2;
            zb1 = b1 * xb - a1 * yb + zb2;
            za2 = b2 * xa - a2 * ya;
            zb2 = b2 * xb - a2 * yb;
            a[i] = ya;
            b[i] = yb;
        }
        sa = {za1, za2};
        sb = {zb1, zb2};
    }

    // Two sections in one pass (a fourth-order filter): the second works on the first's last
    // output while the first computes its next, so their latencies overlap.
    static void runPair(const LowPass& first, const LowPass& second, State& s1, State& s2,
                        const float* in, float* out, int32_t frames) {
        float u1 = s1.z1, u2 = s1.z2, v1 = s2.z1, v2 = s2.z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float x = clean(in[i]);
            const float y = clean(first.b0 * x + u1);
            u1 = first.b1 * x - first.a1 * y + u2;
            u2 = first.b2 * x - first.a2 * y;
            const float w = clean(second.b0 * y + v1);
            v1 = second.b1 * y - second.a1 * w + v2;
            v2 = second.b2 * y - second.a2 * w;
            out[i] = w;
        }
        s1 = {u1, u2};
        s2 = {v1, v2};
    }

    // runPair on two channels in one pass, in place (sa: the first channel's two states).
    static void runPairTwo(const LowPass& first, const LowPass& second, State* sa, State* sb,
                           float* a, float* b, int32_t frames) {
        float ua1 = sa[0].z1, ua2 = sa[0].z2, va1 = sa[1].z1, va2 = sa[1].z2;
        float ub1 = sb[0].z1, ub2 = sb[0].z2, vb1 = sb[1].z1, vb2 = sb[1].z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float xa = clean(a[i]);
            const float xb = clean(b[i]);
            const float ya = clean(first.b0 * xa + ua1);
            const float yb = clean(first.b0 * xb + ub1);
            ua1 = first.b1 * xa - first.a1 * ya + ua2;
            ub1 = first.b1 * xb - first.a1 * yb + ub2;
            ua2 = first.b2 * xa - first.a2 * ya;
            ub2 = first.b2 * xb - first.a2 * yb;
            const float wa = clean(second.b0 * ya + va1);
            const float wb = clean(second.b0 * yb + vb1);
            va1 = second.b1 * ya - second.a1 * wa + va2;
            vb1 = second.b1 * yb - second.a1 * wb + vb2;
            va2 = second.b2 * ya - second.a2 * wa;
            vb2 = second.b2 * yb - second.a2 * wb;
            a[i] = wa;
            b[i] = wb;
        }
        sa[0] = {ua1, ua2};
        sa[1] = {va1, va2};
        sb[0] = {ub1, ub2};
        sb[1] = {vb1, vb2};
    }
};

// Quantization laws: the signal is compressed before the reducers and expanded after them, so
// that the steps are finer near silence. |x| above 1 follows the same curve; infinities and NaN
// pass as they are. Per sample, so the logarithm and the power here take their exponents from
// the bits and need no library call; their series stop where a float's precision is far
// exceeded (errors below 1e-11).
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
    double exponent = double(int64_t(bits >> EXPONENT_SHIFT) - int64_t(EXPONENT_BIAS));
    const uint64_t mantissaBits = (bits & MANTISSA) | (EXPONENT_BIAS << EXPONENT_SHIFT);
    double m;  // [1, 2)
    std::memcpy(&m, &mantissaBits, sizeof m);
    if (m > SQRT2) {
        m = m * 0.5;  // exact
        exponent = exponent + 1.0;
    }
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

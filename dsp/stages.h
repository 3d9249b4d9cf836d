// The engine's own stages around the reducers, each off at its default: low-pass filters
// (the anti-aliasing before the reduction, the tone after it), companding (Mu-law, A-law),
// TPDF dither and the random numbers of dither, jitter and the random LFO. Same bits on every
// platform: only + − × ÷ in a pinned order, and our own sine, powers and logarithms
// (portable_math.h); and the same bits whether or not the processor flushes denormals, as no
// value here ever becomes one (see LowPass::run).
#pragma once

#include <cmath>
#include <cstdint>

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

    // Below this a value is silence, set to 0: inputs, and the state after each sample. Every
    // other value then stays far above the denormal range (products of coefficients no smaller
    // than 1e-8 with values of 1e-15 and more, and their exact differences), so a host that
    // flushes denormals gets the same bits. NaN and infinities are cleared from the state too:
    // one bad sample cannot silence the filter for good.
    static constexpr float SILENCE = 1e-15f;
    static float clean(float v) {
        return std::fabs(v) >= SILENCE && std::fabs(v) < 1e30f ? v : 0.0f;
    }

    // out may be in.
    void run(State& s, const float* in, float* out, int32_t frames) const {
        float z1 = s.z1, z2 = s.z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float x = clean(in[i]);
            const float y = b0 * x + z1;
            z1 = clean(b1 * x - a1 * y + z2);
            z2 = clean(b2 * x - a2 * y);
            out[i] = y;
        }
        s.z1 = z1;
        s.z2 = z2;
    }
};

// Quantization laws: the signal is compressed before the reducers and expanded after them, so
// that the steps are finer near silence. |x| above 1 follows the same curve; infinities and NaN
// pass as they are.
namespace companding {

constexpr double MU = 255.0;
constexpr double MU_LOG2 = 8.0;  // log2(1 + 255)
constexpr double A = 87.6;
constexpr double A_LOG = 5.472780997942346;  // 1 + ln 87.6
constexpr double LN2 = 0.69314718055994530941723212145818;
constexpr double UNTOUCHED = 1e30;  // at and above this (and NaN), a sample passes as it is

inline float compressMu(float x) {
    const double a = std::fabs(double(x));
    if (!(a < UNTOUCHED) || a == 0.0) return x;
    return std::copysign(static_cast<float>(binaryLogarithm(1.0 + MU * a) / MU_LOG2), x);
}
inline float expandMu(float y) {
    const double a = std::fabs(double(y));
    if (!(a < 64.0) || a == 0.0) return y;
    return std::copysign(static_cast<float>((powerOfTwo(MU_LOG2 * a) - 1.0) / MU), y);
}
inline float compressA(float x) {
    const double a = std::fabs(double(x));
    if (!(a < UNTOUCHED) || a == 0.0) return x;
    const double c = a < 1.0 / A ? A * a / A_LOG : (1.0 + binaryLogarithm(A * a) * LN2) / A_LOG;
    return std::copysign(static_cast<float>(c), x);
}
inline float expandA(float y) {
    const double a = std::fabs(double(y));
    if (!(a < 64.0) || a == 0.0) return y;
    const double x = a < 1.0 / A_LOG ? a * A_LOG / A : powerOfTwo((a * A_LOG - 1.0) / LN2) / A;
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

// The stages' filters: two-pole low-pass sections (the cookbook's, from the bilinear transform)
// in transposed direct form II, single precision, run on one or two channels, alone or two in a
// row (a fourth-order filter). Each pass has a plain loop, the reference and the WebAssembly
// build's, and on x86 the same sections in the lanes of a vector: a lane does the plain loop's
// operations in its order, and no value is ever a NaN (every pass takes clean samples: see
// cleanBlock), so every lane rounds as its scalar section does. The tests hold each vector pass
// to its plain one.
#pragma once

#include <cmath>
#include <cstdint>

#include "portable_math.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grindlet::dsp {

struct LowPass {
    // A low-pass section's numerator is b0·(1, 2, 1) exactly: the cookbook's b1, rounded from
    // (1 - cos)·perA0, is twice its b0, rounded from the same product halved (exact), and b2 is
    // b0. So b1·x is b0·x doubled, bit for bit, and only b0 is kept: b0·x is formed once a
    // sample. (Made by at(); the default passes nothing.)
    float b0 = 0.0f, a1 = 0.0f, a2 = 0.0f;

    // A cutoff's sine and cosine, worked out once for the sections that share it.
    struct Cutoff {
        double sine, cosine;
        static Cutoff of(double cutoffShare) {
            return {sineOfTurns(cutoffShare), sineOfTurns(cutoffShare + 0.25)};
        }
    };

    // cutoff / sample rate in (0, 0.5), and the pole pair's Q (0.7071 alone is Butterworth; a
    // fourth-order Butterworth is 0.5412 then 1.3066).
    static LowPass at(double cutoffShare, double q) { return at(Cutoff::of(cutoffShare), q); }
    static LowPass at(const Cutoff& cutoff, double q) {
        const double sine = cutoff.sine, cosine = cutoff.cosine;
        // One division: the LFO moves the anti-aliasing's cutoff every few dozen frames.
        const double alpha = sine * (0.5 / q);  // 0.5 / q folds where q is a constant
        const double perA0 = 1.0 / (1.0 + alpha);
        LowPass f;
        f.b0 = static_cast<float>((1.0 - cosine) * 0.5 * perA0);
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
    // silence too (clean): one bad sample cannot silence the filter for good. (A stable section's output
    // of inputs below 1e30 stays finite, so the output needs the silence check alone.)
    static constexpr float SILENCE = 1e-15f;
    static constexpr float LOUDEST = 1e30f;
    static float clean(float v) {
        return std::fabs(v) >= SILENCE && std::fabs(v) < LOUDEST ? v : 0.0f;
    }
    static float quiet(float v) { return std::fabs(v) >= SILENCE ? v : 0.0f; }
    // clean() of every sample, from in to out (which may be in): what each pass below takes.
    // Once, ahead of a pass, four samples at a time, rather than in the feedback's loop.
    static void cleanBlock(const float* in, float* out, int32_t frames);

    // One sample x (clean) through the section. The feedback's chain from one output to the
    // next is a product, a difference and a sum: the terms of x are added off it.
    [[gnu::always_inline]] float step(float x, float& z1, float& z2) const {
        const float bx = b0 * x;  // b2·x; doubled, b1·x
        const float y = quiet(bx + z1);
        z1 = ((bx + bx) + z2) - a1 * y;
        z2 = bx - a2 * y;
        return y;
    }

    // Clean samples in; out may be in. The coefficients are copied first: the stores through
    // out could otherwise be them, and they would be loaded again every sample.
    void run(State& s, const float* in, float* out, int32_t frames) const {
        const LowPass f = *this;
        float z1 = s.z1, z2 = s.z2;
        for (int32_t i = 0; i < frames; ++i) out[i] = f.step(in[i], z1, z2);
        s = {z1, z2};
    }

    // The same on two channels in one pass (outA may be a, outB b): their chains are
    // independent, so each runs in the other's latency. Each channel gets run()'s bits.
    void runTwo(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                int32_t frames) const;
    void runTwoPlain(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                     int32_t frames) const {
        const LowPass f = *this;
        float za1 = sa.z1, za2 = sa.z2, zb1 = sb.z1, zb2 = sb.z2;
        for (int32_t i = 0; i < frames; ++i) {
            const float ya = f.step(a[i], za1, za2);
            const float yb = f.step(b[i], zb1, zb2);
            outA[i] = ya;
            outB[i] = yb;
        }
        sa = {za1, za2};
        sb = {zb1, zb2};
    }

    // Two sections in a row (a fourth-order filter) on one channel, from in to out (which may be
    // in; s: the sections' states); the second works on the first's last output while the first
    // computes its next.
    static void runPair(const LowPass* sections, State* s, const float* in, float* out,
                        int32_t frames);
    static void runPairPlain(const LowPass* sections, State* s, const float* in, float* out,
                             int32_t frames) {
        const LowPass f = sections[0], g = sections[1];
        float u1 = s[0].z1, u2 = s[0].z2, v1 = s[1].z1, v2 = s[1].z2;
        for (int32_t i = 0; i < frames; ++i) out[i] = g.step(f.step(in[i], u1, u2), v1, v2);
        s[0] = {u1, u2};
        s[1] = {v1, v2};
    }

    // runPair on two channels in one pass (sa, sb: each channel's two states).
    static void runPairTwo(const LowPass* sections, State* sa, State* sb, const float* a,
                           const float* b, float* outA, float* outB, int32_t frames);
    static void runPairTwoPlain(const LowPass* sections, State* sa, State* sb, const float* a,
                                const float* b, float* outA, float* outB, int32_t frames) {
        runPairPlain(sections, sa, a, outA, frames);
        runPairPlain(sections, sb, b, outB, frames);
    }
};

// Where a filter after the reducers (the tone) runs beside the one before them (the
// anti-aliasing) of the next block: the tone's own samples in, the output, its states.
struct ToneBeside {
    LowPass tone;
    LowPass::State* states;  // one a channel
    const float* in[2];
    float* out[2];
};

// runPair (channels 1) or runPairTwo (2) on `frames` frames from in[] to out[], and the tone of
// `beside` on its first `frames` frames, in one pass: each filter's chain runs in the other's
// latency. Each filter gets the bits of its own pass.
// states[c]: channel c's two sections' states.
void runPairsBeside(const LowPass* sections, LowPass::State* const* states, const float* const* in,
                    float* const* out, int32_t count, const ToneBeside& beside, int32_t frames);

#if defined(__SSE2__)

// Up to four sections, one in each lane of a vector (a lane without a section computes zeros).
struct SectionLanes {
    __m128 b0, a1, a2, z1, z2;

    // Built in registers, not through an array in memory: a vector loaded from four separate
    // stores waits for them all, and a pass of a few dozen frames starts with seven.
    SectionLanes(const LowPass* const (&sections)[4], LowPass::State* const (&states)[4])
        : b0(across(sections, &LowPass::b0)),
          a1(across(sections, &LowPass::a1)),
          a2(across(sections, &LowPass::a2)),
          z1(across(sections, states, &LowPass::State::z1)),
          z2(across(sections, states, &LowPass::State::z2)) {}

    // One coefficient, or one state, of each lane's section (0 in a lane without one).
    [[gnu::always_inline]] static __m128 across(const LowPass* const (&sections)[4],
                                                float LowPass::*field) {
        const auto of = [&](int lane) { return sections[lane] ? sections[lane]->*field : 0.0f; };
        return _mm_setr_ps(of(0), of(1), of(2), of(3));
    }
    [[gnu::always_inline]] static __m128 across(const LowPass* const (&sections)[4],
                                                LowPass::State* const (&states)[4],
                                                float LowPass::State::*field) {
        const auto of = [&](int lane) { return sections[lane] ? states[lane]->*field : 0.0f; };
        return _mm_setr_ps(of(0), of(1), of(2), of(3));
    }

    static __m128 magnitude(__m128 v) {
        return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)));
    }
    // LowPass::clean in every lane.
    static __m128 clean(__m128 x) {
        const __m128 size = magnitude(x);
        return _mm_and_ps(x, _mm_and_ps(_mm_cmpge_ps(size, _mm_set1_ps(LowPass::SILENCE)),
                                        _mm_cmplt_ps(size, _mm_set1_ps(LowPass::LOUDEST))));
    }
    // LowPass::step in every lane. Unchecked, it leaves out the silence check, most of the
    // feedback's chain, and clears in `loud` each lane where the check would have changed the
    // output (below SILENCE, or not a number): where every lane stayed loud, every value is the
    // checked step's.
    template <bool Checked = true>
    [[gnu::always_inline]] __m128 step(__m128 x, __m128& loud) {
        const __m128 bx = _mm_mul_ps(b0, x);
        __m128 y = _mm_add_ps(bx, z1);
        const __m128 heard = _mm_cmpge_ps(magnitude(y), _mm_set1_ps(LowPass::SILENCE));
        if constexpr (Checked) {
            y = _mm_and_ps(y, heard);
        } else {
            loud = _mm_and_ps(loud, heard);
        }
        z1 = _mm_sub_ps(_mm_add_ps(_mm_add_ps(bx, bx), z2), _mm_mul_ps(a1, y));
        z2 = _mm_sub_ps(bx, _mm_mul_ps(a2, y));
        return y;
    }
    [[gnu::always_inline]] __m128 step(__m128 x) {
        __m128 unused = _mm_setzero_ps();
        return step<true>(x, unused);
    }
    static __m128 allLoud() { return _mm_castsi128_ps(_mm_set1_epi32(-1)); }
    // Whether the lanes in `used` (bit k: lane k) stayed loud.
    static bool stayedLoud(__m128 loud, int used) { return (_mm_movemask_ps(loud) & used) == used; }

    void store(LowPass::State* const (&states)[4]) const {
        alignas(16) float c[2][4];
        _mm_store_ps(c[0], z1);
        _mm_store_ps(c[1], z2);
        for (int lane = 0; lane < 4; ++lane) {
            if (states[lane] != nullptr) *states[lane] = {c[0][lane], c[1][lane]};
        }
    }
};

// Two floats in the low lanes (the upper two zero).
inline __m128 twoLanes(const float* a, const float* b) {
    return _mm_unpacklo_ps(_mm_load_ss(a), _mm_load_ss(b));
}
inline float lane(__m128 v, int index) {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    return lanes[index];
}

#endif

}  // namespace grindlet::dsp

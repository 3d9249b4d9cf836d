// The stages' filters: two-pole sections run on one or two channels, alone or two in a row (a
// fourth-order filter), each pass with a plain loop (the reference, and the WebAssembly build's)
// and on x86 the same sections in the lanes of a vector, a lane doing the plain loop's
// operations in its order, so that every lane rounds as its scalar section does. The tests hold
// each vector pass to its plain one.
//
// A section is a state-variable filter whose two integrators follow the trapezoidal rule (the
// bilinear transform of the analog section s1' = ω(x − k·s1 − s2), s2' = ω·s1), written as
// the update of its two states, so that the feedback from one state to the next is a difference,
// a product and a sum, and the output comes off the states beside it:
//     y   = (p·s1 + q·s2) + r·x
//     d   = x − s2
//     s1' = m·s1 + c·d
//     s2' = (s2 + c·s1) + e·d
// Why it stays bounded however its cutoff moves, even from one sample to the next: with the
// prewarped g = tan(π·cutoff/rate), the state update is s' = C(g)·s + b(g)·x where C(g) =
// (I + gA)(I − gA)⁻¹ is the Cayley transform of the analog section's A = [[−k, −1], [1, 0]].
// As A + Aᵀ = diag(−2k, 0) is negative semidefinite, |(I + gA)v| <= |(I − gA)v| for every v,
// so |C(g)·s| <= |s| (Euclidean) for every g >= 0: no sequence of cutoffs can make the state
// grow by itself. Two steps contract strictly (equality at both would need the state's first
// component to vanish twice in a row, which C(g) rules out for g > 0), and with the cutoffs
// kept within [LOWEST_SHARE, HIGHEST_SHARE] the contraction has a margin: the state stays
// within a fixed multiple of the input's peak, and y with it. The same holds for the unrounded
// update: single-precision rounding moves C by a few parts in 10^8, far inside that margin.
//
// No value here is ever subnormal, so a processor that flushes subnormals (FTZ/DAZ) gives the
// same bits: inputs below SILENCE enter as zeros (clean), states that fall below it are set to
// zero (quiet), and no coefficient is nearer zero than SMALLEST_COEFFICIENT unless it is zero.
// Then every product is 0 or at least 2^-100, and every sum a multiple of 2^-123.
#pragma once

#include <cmath>
#include <cstdint>

#include "portable_math.h"
#include "processor_versions.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grindlet::dsp {

struct SectionState {
    float s1 = 0.0f, s2 = 0.0f;
};

struct FilterSection {
    // The update above; the default passes nothing.
    float p = 0.0f, q = 0.0f, r = 0.0f, m = 0.0f, c = 0.0f, e = 0.0f;

    // Below this a value is silence: the input's samples and the states (see above). A NaN or
    // an infinity in the input is silence too (clean): one bad sample cannot silence a filter
    // for good.
    static constexpr float SILENCE = 1e-15f;
    static constexpr float LOUDEST = 1e30f;
    static constexpr double SMALLEST_COEFFICIENT = 1e-14;
    // The cutoffs' shares of the sample rate a section is made for: above the highest one the
    // warp of the bilinear transform runs away, below the lowest one nothing is left to hear.
    static constexpr double HIGHEST_SHARE = 0.45, LOWEST_SHARE = 1e-4;

    static float clean(float v) {
        return std::fabs(v) >= SILENCE && std::fabs(v) < LOUDEST ? v : 0.0f;
    }
    static float quiet(float v) { return std::fabs(v) >= SILENCE ? v : 0.0f; }
    // clean() of every sample, from in to out (which may be in): what each pass below takes.
    // Once, ahead of a pass, four samples at a time, rather than in the feedback's loop. Returns
    // the loudest sample cleaned.
    static float cleanBlock(const float* in, float* out, int32_t frames);

    // One clean sample x through the section; states in s.
    [[gnu::always_inline]] float step(float x, SectionState& s) const {
        const float y = (p * s.s1 + q * s.s2) + r * x;
        const float d = x - s.s2;
        const float t1 = m * s.s1 + c * d;
        const float t2 = (s.s2 + c * s.s1) + e * d;
        s.s1 = quiet(t1);
        s.s2 = quiet(t2);
        return y;
    }

    // Clean samples in; out may be in. The coefficients are copied first: the stores through
    // out could otherwise be them, and they would be loaded again every sample.
    void run(SectionState& s, const float* in, float* out, int32_t frames) const {
        const FilterSection f = *this;
        SectionState z = s;
        for (int32_t i = 0; i < frames; ++i) out[i] = f.step(in[i], z);
        s = z;
    }

    // The same on two channels in one pass (outA may be a, outB b): their chains are
    // independent, so each runs in the other's latency. Each channel gets run()'s bits.
    void runTwo(SectionState& sa, SectionState& sb, const float* a, const float* b, float* outA,
                float* outB, int32_t frames) const;
    void runTwoPlain(SectionState& sa, SectionState& sb, const float* a, const float* b,
                     float* outA, float* outB, int32_t frames) const {
        const FilterSection f = *this;
        SectionState za = sa, zb = sb;
        for (int32_t i = 0; i < frames; ++i) {
            const float ya = f.step(a[i], za);
            const float yb = f.step(b[i], zb);
            outA[i] = ya;
            outB[i] = yb;
        }
        sa = za;
        sb = zb;
    }

    // Two sections in a row (a fourth-order filter) on one channel, from in to out (which may be
    // in; s: the sections' states); the second works on the first's last output while the first
    // computes its next.
    static void runPair(const FilterSection* sections, SectionState* s, const float* in, float* out,
                        int32_t frames);
    static void runPairPlain(const FilterSection* sections, SectionState* s, const float* in,
                             float* out, int32_t frames) {
        const FilterSection f = sections[0], g = sections[1];
        SectionState u = s[0], v = s[1];
        for (int32_t i = 0; i < frames; ++i) out[i] = g.step(f.step(in[i], u), v);
        s[0] = u;
        s[1] = v;
    }

    // runPair on two channels in one pass (sa, sb: each channel's two states).
    static void runPairTwo(const FilterSection* sections, SectionState* sa, SectionState* sb,
                           const float* a, const float* b, float* outA, float* outB,
                           int32_t frames);
    static void runPairTwoPlain(const FilterSection* sections, SectionState* sa, SectionState* sb,
                                const float* a, const float* b, float* outA, float* outB,
                                int32_t frames) {
        runPairPlain(sections, sa, a, outA, frames);
        runPairPlain(sections, sb, b, outB, frames);
    }
};

// A state that is not a pair of numbers (no input can make one: see above) starts afresh.
inline void keepFinite(SectionState& s) {
    if (!(std::fabs(s.s1) <= 3.4e38f && std::fabs(s.s2) <= 3.4e38f)) s = {};
}

// The anti-aliasing: a fourth-order elliptic low-pass as two sections, within 0.1 dB of 0 dB up
// to its passband edge and at least 33.8 dB down from 5/3 of it on, for a passband edge at
// `share` of the sample rate. Its analog prototype is designed by scripts/design-antialias.py.
void antialiasSections(double share, FilterSection* two);
// The tone: a second-order Butterworth low-pass, -3 dB at `share` of the sample rate.
FilterSection toneSection(double share);

// Where a filter after the reducers (the tone) runs beside the one before them (the
// anti-aliasing) of the next block: the tone's own samples in, the output, its states.
struct ToneBeside {
    FilterSection tone;
    SectionState* states[2];  // one a channel
    const float* in[2];
    float* out[2];
};

// runPair (channels 1) or runPairTwo (2) on `frames` frames from in[] to out[], and the tone of
// `beside` on its first `frames` frames, in one pass: each filter's chain runs in the other's
// latency. Each filter gets the bits of its own pass.
// states[c]: channel c's two sections' states.
void runPairsBeside(const FilterSection* sections, SectionState* const* states,
                    const float* const* in, float* const* out, int32_t count,
                    const ToneBeside& beside, int32_t frames);

#if defined(__SSE2__)

// Up to four sections, one in each lane of a vector (a lane without a section computes zeros).
struct SectionLanes {
    __m128 p, q, r, m, c, e, s1, s2;

    // Built in registers, not through an array in memory: a vector loaded from four separate
    // stores waits for them all, and a pass of a few dozen frames starts with eight.
    SectionLanes(const FilterSection* const (&sections)[4], SectionState* const (&states)[4])
        : p(across(sections, &FilterSection::p)),
          q(across(sections, &FilterSection::q)),
          r(across(sections, &FilterSection::r)),
          m(across(sections, &FilterSection::m)),
          c(across(sections, &FilterSection::c)),
          e(across(sections, &FilterSection::e)),
          s1(across(sections, states, &SectionState::s1)),
          s2(across(sections, states, &SectionState::s2)) {}

    // One coefficient, or one state, of each lane's section (0 in a lane without one).
    [[gnu::always_inline]] static __m128 across(const FilterSection* const (&sections)[4],
                                                float FilterSection::*field) {
        const auto of = [&](int lane) { return sections[lane] ? sections[lane]->*field : 0.0f; };
        return _mm_setr_ps(of(0), of(1), of(2), of(3));
    }
    [[gnu::always_inline]] static __m128 across(const FilterSection* const (&sections)[4],
                                                SectionState* const (&states)[4],
                                                float SectionState::*field) {
        const auto of = [&](int lane) { return sections[lane] ? states[lane]->*field : 0.0f; };
        return _mm_setr_ps(of(0), of(1), of(2), of(3));
    }

    static __m128 magnitude(__m128 v) {
        return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)));
    }
    // FilterSection::clean in every lane.
    static __m128 clean(__m128 x) {
        const __m128 size = magnitude(x);
        return _mm_and_ps(x, _mm_and_ps(_mm_cmpge_ps(size, _mm_set1_ps(FilterSection::SILENCE)),
                                        _mm_cmplt_ps(size, _mm_set1_ps(FilterSection::LOUDEST))));
    }
    // FilterSection::step in every lane. Unchecked, it leaves the silence check out of the
    // states' feedback and keeps in `smallest` the smallest state it made in each lane: where
    // that stayed at or above SILENCE in every lane, every value is the checked step's.
    template <bool Checked = true>
    [[gnu::always_inline]] __m128 step(__m128 x, __m128& smallest) {
        const __m128 y =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(p, s1), _mm_mul_ps(q, s2)), _mm_mul_ps(r, x));
        const __m128 d = _mm_sub_ps(x, s2);
        __m128 t1 = _mm_add_ps(_mm_mul_ps(m, s1), _mm_mul_ps(c, d));
        __m128 t2 = _mm_add_ps(_mm_add_ps(s2, _mm_mul_ps(c, s1)), _mm_mul_ps(e, d));
        if constexpr (Checked) {
            const __m128 silence = _mm_set1_ps(FilterSection::SILENCE);
            t1 = _mm_and_ps(t1, _mm_cmpge_ps(magnitude(t1), silence));
            t2 = _mm_and_ps(t2, _mm_cmpge_ps(magnitude(t2), silence));
        } else {
            smallest = _mm_min_ps(smallest, _mm_min_ps(magnitude(t1), magnitude(t2)));
        }
        s1 = t1;
        s2 = t2;
        return y;
    }
    [[gnu::always_inline]] __m128 step(__m128 x) {
        __m128 unused = _mm_setzero_ps();
        return step<true>(x, unused);
    }
    static __m128 noneSmall() { return _mm_set1_ps(FilterSection::LOUDEST); }
    // Whether the lanes in `used` (bit k: lane k) kept every state at or above SILENCE (a NaN
    // fails too).
    static bool stayedLoud(__m128 smallest, int used) {
        const int loud =
            _mm_movemask_ps(_mm_cmpge_ps(smallest, _mm_set1_ps(FilterSection::SILENCE)));
        return (loud & used) == used;
    }

    void store(SectionState* const (&states)[4]) const {
        alignas(16) float v[2][4];
        _mm_store_ps(v[0], s1);
        _mm_store_ps(v[1], s2);
        for (int lane = 0; lane < 4; ++lane) {
            if (states[lane] != nullptr) *states[lane] = {v[0][lane], v[1][lane]};
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

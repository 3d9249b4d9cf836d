#include "filters.h"

#include <algorithm>

namespace grindlet::dsp {

namespace {

float coefficient(double v) {
    return std::fabs(v) < FilterSection::SMALLEST_COEFFICIENT ? 0.0f : static_cast<float>(v);
}

// A cutoff's prewarp as the sine and cosine of π·share, from one series of x² (|x| < π/2 needs
// no reduction), to x^17 and x^18: g = sine / cosine, without its division.
struct Warp {
    double sine, cosine;
    explicit Warp(double share) {
        const double within = share < FilterSection::LOWEST_SHARE    ? FilterSection::LOWEST_SHARE
                              : share > FilterSection::HIGHEST_SHARE ? FilterSection::HIGHEST_SHARE
                                                                     : share;
        constexpr double PI = 3.14159265358979323846;
        const double x = PI * within, x2 = x * x;
        // Horner over the reciprocal factorials, alternating in sign, from 1/17! and 1/18!.
        double s = 1.0 / 355687428096000.0, c = 1.0 / 6402373705728000.0;
        constexpr double SINE[] = {
            1.0 / 1307674368000.0, 1.0 / 6227020800.0, 1.0 / 39916800.0, 1.0 / 362880.0,
            1.0 / 5040.0,          1.0 / 120.0,        1.0 / 6.0,        1.0};
        constexpr double COSINE[] = {1.0 / 20922789888000.0,
                                     1.0 / 87178291200.0,
                                     1.0 / 479001600.0,
                                     1.0 / 3628800.0,
                                     1.0 / 40320.0,
                                     1.0 / 720.0,
                                     1.0 / 24.0,
                                     1.0 / 2.0,
                                     1.0};
        for (double k : SINE) s = k - x2 * s;
        for (double k : COSINE) c = k - x2 * c;
        sine = x * s;
        cosine = c;
    }
};

// A section's coefficients (Zavalishin's and Simper's trapezoidal state-variable filter) from its
// integrators' a1 = 1/(1 + g(g + k)), a2 = g·a1, a3 = g·a2, each formed over a common
// denominator E = cos² + w·sin·(w·sin + k·cos), where g = w·tan: band = a1·s1 − a2·s2 + a2·x,
// low = a2·s1 + (1 − a3)·s2 + a3·x, high = x − k·band − low, and each state's next value is twice
// its integrator's output less itself.
struct Integrators {
    double a1, a2, a3;
    // invE: 1/E, where E comes from denominator() for the same warp, w and k.
    Integrators(const Warp& warp, double w, double invE)
        : a1(warp.cosine * warp.cosine * invE),
          a2(w * warp.sine * warp.cosine * invE),
          a3(w * warp.sine * w * warp.sine * invE) {}
    static double denominator(const Warp& warp, double w, double k) {
        const double ws = w * warp.sine;
        return warp.cosine * warp.cosine + ws * (ws + k * warp.cosine);
    }
    FilterSection withOutput(double p, double q, double r) const {
        FilterSection f;
        f.p = coefficient(p);
        f.q = coefficient(q);
        f.r = coefficient(r);
        f.m = coefficient(2.0 * a1 - 1.0);
        f.c = coefficient(2.0 * a2);
        f.e = coefficient(2.0 * a3);
        return f;
    }
    FilterSection lowPass() const { return withOutput(a2, 1.0 - a3, a3); }
    // gain·(high + ρ·low): a pair of zeros at ω = √ρ.
    FilterSection withZeros(double k, double zeroSquared, double gain) const {
        return withOutput(gain * (-k * a1 - a2 + zeroSquared * a2),
                          gain * (k * a2 - 1.0 + a3 + zeroSquared * (1.0 - a3)),
                          gain * (1.0 - k * a2 - a3 + zeroSquared * a3));
    }
};

// The anti-aliasing's analog prototype (scripts/design-antialias.py): a fourth-order elliptic
// low-pass with its passband edge at 1, 0.1 dB of ripple, its stopband 33.8 dB down from 5/3
// on. Each section: its poles' ω0 and Q, its zeros' ω; the gentler section first.
struct PrototypeSection {
    double w0, q, zero;
};
constexpr PrototypeSection ELLIPTIC[2] = {
    {0.89704613946124956, 0.65354790242359295, 3.9732723614588306},
    {1.1290671689241274, 2.927643785400599, 1.7769014186686121},
};
// An even order's response starts at the ripple's trough: the peaks of the ripple are 0 dB.
constexpr double ELLIPTIC_GAIN = 0.98855309465693886;
constexpr double BUTTERWORTH_DAMPING = 1.4142135623730950488;  // 1/Q, Q = √½

#if defined(__SSE2__)

// A section at rest: a silent channel's. Its states are zero, so a pass without the check
// would be undone every time: such passes run checked at once.
bool resting(const SectionState& s) { return s.s1 == 0.0f && s.s2 == 0.0f; }

// Two sections in a row on `Channels` channels, from in[] to out[], in the lanes of vectors: the
// first section on frame i, the second on frame i - 1 (the first's output of the pass before),
// and with a tone beside, the tone on frame i - 1 of its own samples. Mono: lanes first, second,
// tone. Stereo: first a, first b, second a, second b, and the tone of both in a second vector.
// Unchecked (see SectionLanes::step), a pass that heard silence returns false and leaves the
// states as they were: the output is then written again by the checked pass, which needs the
// input intact (out[] not in[]).
template <int Channels, bool WithTone, bool Checked>
[[gnu::always_inline]] inline bool pairsInLanes(const FilterSection* sections,
                                                SectionState* const* states, const float* const* in,
                                                float* const* out, const ToneBeside* beside,
                                                int32_t frames) {
    if (frames <= 0) return true;
    SectionState s[2][2] = {}, t[2] = {};  // the states worked on: [channel][section], tone
    for (int c = 0; c < Channels; ++c) {
        s[c][0] = states[c][0];
        s[c][1] = states[c][1];
        if constexpr (WithTone) t[c] = *beside->states[c];
    }
    const FilterSection& f = sections[0];
    const FilterSection& g = sections[1];
    const float* a = in[0];
    const float* b = Channels == 2 ? in[1] : nullptr;
    float* outA = out[0];
    float* outB = Channels == 2 ? out[1] : nullptr;
    // Frame 0 through the first sections alone: the second sections start one frame behind.
    const float ya = f.step(a[0], s[0][0]);
    float yb = 0.0f;
    if constexpr (Channels == 2) yb = f.step(b[0], s[1][0]);
    const FilterSection* tone = WithTone ? &beside->tone : nullptr;
    const FilterSection* sectionLanes[4] = {&f, &g, tone, nullptr};
    SectionState* stateLanes[4] = {&s[0][0], &s[0][1], WithTone ? &t[0] : nullptr, nullptr};
    const FilterSection* toneSectionLanes[4] = {};
    SectionState* toneStateLanes[4] = {};
    int used = WithTone ? 0b0111 : 0b0011;  // the lanes with a section
    if constexpr (Channels == 2) {
        sectionLanes[1] = &f;
        sectionLanes[2] = sectionLanes[3] = &g;
        stateLanes[1] = &s[1][0];
        stateLanes[2] = &s[0][1];
        stateLanes[3] = &s[1][1];
        used = 0b1111;
        toneSectionLanes[0] = toneSectionLanes[1] = tone;
        if constexpr (WithTone) {
            toneStateLanes[0] = &t[0];
            toneStateLanes[1] = &t[1];
        }
    }
    __m128 y = _mm_setr_ps(ya, yb, 0.0f, 0.0f);
    SectionLanes lanes(sectionLanes, stateLanes);
    SectionLanes toneLanes(toneSectionLanes, toneStateLanes);
    __m128 smallest = SectionLanes::noneSmall(), toneSmallest = SectionLanes::noneSmall();
    for (int32_t i = 1; i < frames; ++i) {
        const int32_t t1 = i - 1;  // the frame the second sections and the tone work on
        if constexpr (Channels == 2) {
            const __m128 x = twoLanes(a + i, b + i);
            // x of frame i, the first's y of frame t1
            y = lanes.step<Checked>(_mm_movelh_ps(x, y), smallest);
            const __m128 high = _mm_movehl_ps(y, y);
            outA[t1] = _mm_cvtss_f32(high);
            outB[t1] = _mm_cvtss_f32(_mm_shuffle_ps(high, high, 1));
            if constexpr (WithTone) {
                const __m128 toned = toneLanes.step<Checked>(
                    twoLanes(beside->in[0] + t1, beside->in[1] + t1), toneSmallest);
                _mm_store_ss(beside->out[0] + t1, toned);
                _mm_store_ss(beside->out[1] + t1, _mm_shuffle_ps(toned, toned, 1));
            }
        } else {
            // x of frame i, the first's y of frame t1, and the tone's sample t1.
            __m128 x = _mm_load_ss(a + i);
            if constexpr (WithTone) x = twoLanes(a + i, beside->in[0] + t1);
            y = lanes.step<Checked>(_mm_unpacklo_ps(x, y), smallest);
            outA[t1] = lane(y, 1);
            if constexpr (WithTone) beside->out[0][t1] = lane(y, 2);
        }
    }
    if constexpr (!Checked) {
        const bool toneStayedLoud =
            Channels == 1 || !WithTone || SectionLanes::stayedLoud(toneSmallest, 0b0011);
        if (!SectionLanes::stayedLoud(smallest, used) || !toneStayedLoud) return false;
    }
    lanes.store(stateLanes);
    // The last frame through the second sections, and the tone's.
    const int32_t last = frames - 1;
    outA[last] = g.step(lane(y, 0), s[0][1]);
    if constexpr (Channels == 2) outB[last] = g.step(lane(y, 1), s[1][1]);
    if constexpr (WithTone) {
        if constexpr (Channels == 2) {
            const __m128 toned =
                toneLanes.step(twoLanes(beside->in[0] + last, beside->in[1] + last));
            _mm_store_ss(beside->out[0] + last, toned);
            _mm_store_ss(beside->out[1] + last, _mm_shuffle_ps(toned, toned, 1));
            toneLanes.store(toneStateLanes);
        } else {
            beside->out[0][last] = tone->step(beside->in[0][last], t[0]);
        }
    }
    for (int c = 0; c < Channels; ++c) {
        states[c][0] = s[c][0];
        states[c][1] = s[c][1];
        if constexpr (WithTone) *beside->states[c] = t[c];
    }
    return true;
}

// The pass unchecked where it can be undone and is likely to hold, else (or where it heard
// silence) checked.
template <int Channels, bool WithTone>
[[gnu::always_inline]] inline void pairsChecked(const FilterSection* sections,
                                                SectionState* const* states, const float* const* in,
                                                float* const* out, const ToneBeside* beside,
                                                int32_t frames) {
    bool unchecked = frames > 1;
    for (int c = 0; c < Channels; ++c) {
        unchecked =
            unchecked && in[c] != out[c] && !resting(states[c][0]) && !resting(states[c][1]);
        if constexpr (WithTone)
            unchecked =
                unchecked && beside->in[c] != beside->out[c] && !resting(*beside->states[c]);
    }
    if (unchecked &&
        pairsInLanes<Channels, WithTone, false>(sections, states, in, out, beside, frames))
        return;
    pairsInLanes<Channels, WithTone, true>(sections, states, in, out, beside, frames);
}

// One section on two channels, in the two low lanes, as pairsInLanes is checked or not.
template <bool Checked>
[[gnu::always_inline]] inline bool twoInLanes(const FilterSection& f, SectionState& sa,
                                              SectionState& sb, const float* a, const float* b,
                                              float* outA, float* outB, int32_t frames) {
    SectionState la = sa, lb = sb;
    SectionState* const stateLanes[4] = {&la, &lb, nullptr, nullptr};
    SectionLanes lanes({&f, &f, nullptr, nullptr}, stateLanes);
    __m128 smallest = SectionLanes::noneSmall();
    for (int32_t i = 0; i < frames; ++i) {
        const __m128 y = lanes.step<Checked>(twoLanes(a + i, b + i), smallest);
        _mm_store_ss(outA + i, y);
        _mm_store_ss(outB + i, _mm_shuffle_ps(y, y, 1));
    }
    if (!Checked && !SectionLanes::stayedLoud(smallest, 0b0011)) return false;
    lanes.store(stateLanes);
    sa = la;
    sb = lb;
    return true;
}

#endif

}  // namespace

void antialiasSections(double share, FilterSection* two) {
    const Warp warp(share);
    double e[2], zeroSquared[2];
    for (int k = 0; k < 2; ++k) {
        const PrototypeSection& s = ELLIPTIC[k];
        e[k] = Integrators::denominator(warp, s.w0, 1.0 / s.q);
        zeroSquared[k] = (s.zero / s.w0) * (s.zero / s.w0);
    }
    // One division for both sections: 1/E0 = E1/(E0·E1), and the other way round.
    const double both = 1.0 / (e[0] * e[1]);
    const double inverse[2] = {e[1] * both, e[0] * both};
    for (int k = 0; k < 2; ++k) {
        const PrototypeSection& s = ELLIPTIC[k];
        // Each section passes 0 Hz unchanged; the first carries the whole filter's gain.
        const double gain = (k == 0 ? ELLIPTIC_GAIN : 1.0) / zeroSquared[k];
        two[k] = Integrators(warp, s.w0, inverse[k]).withZeros(1.0 / s.q, zeroSquared[k], gain);
    }
}

FilterSection toneSection(double share) {
    const Warp warp(share);
    const double inverse = 1.0 / Integrators::denominator(warp, 1.0, BUTTERWORTH_DAMPING);
    return Integrators(warp, 1.0, inverse).lowPass();
}

#if defined(__SSE2__)

GRINDLET_WIDE_TOO float FilterSection::cleanBlock(const float* in, float* out, int32_t frames) {
    int32_t i = 0;
    __m128 peaks = _mm_setzero_ps();
    for (; i + 4 <= frames; i += 4) {
        const __m128 cleaned = SectionLanes::clean(_mm_loadu_ps(in + i));
        peaks = _mm_max_ps(peaks, SectionLanes::magnitude(cleaned));
        _mm_storeu_ps(out + i, cleaned);
    }
    float peak = std::max(std::max(lane(peaks, 0), lane(peaks, 1)),
                          std::max(lane(peaks, 2), lane(peaks, 3)));
    for (; i < frames; ++i) {
        out[i] = clean(in[i]);
        peak = std::max(peak, std::fabs(out[i]));
    }
    return peak;
}

GRINDLET_WIDE_TOO void FilterSection::runTwo(SectionState& sa, SectionState& sb, const float* a,
                                             const float* b, float* outA, float* outB,
                                             int32_t frames) const {
    const bool unchecked = frames > 1 && a != outA && b != outB && !resting(sa) && !resting(sb);
    if (unchecked && twoInLanes<false>(*this, sa, sb, a, b, outA, outB, frames)) return;
    twoInLanes<true>(*this, sa, sb, a, b, outA, outB, frames);
}

GRINDLET_WIDE_TOO void FilterSection::runPair(const FilterSection* sections, SectionState* s,
                                              const float* in, float* out, int32_t frames) {
    SectionState* const states[1] = {s};
    const float* const ins[1] = {in};
    float* const outs[1] = {out};
    pairsChecked<1, false>(sections, states, ins, outs, nullptr, frames);
}

GRINDLET_WIDE_TOO void FilterSection::runPairTwo(const FilterSection* sections, SectionState* sa,
                                                 SectionState* sb, const float* a, const float* b,
                                                 float* outA, float* outB, int32_t frames) {
    SectionState* const states[2] = {sa, sb};
    const float* const ins[2] = {a, b};
    float* const outs[2] = {outA, outB};
    pairsChecked<2, false>(sections, states, ins, outs, nullptr, frames);
}

GRINDLET_WIDE_TOO void runPairsBeside(const FilterSection* sections, SectionState* const* states,
                                      const float* const* in, float* const* out, int32_t count,
                                      const ToneBeside& beside, int32_t frames) {
    if (count == 2) {
        pairsChecked<2, true>(sections, states, in, out, &beside, frames);
    } else {
        pairsChecked<1, true>(sections, states, in, out, &beside, frames);
    }
}

#else

float FilterSection::cleanBlock(const float* in, float* out, int32_t frames) {
    float peak = 0.0f;
    for (int32_t i = 0; i < frames; ++i) {
        out[i] = clean(in[i]);
        peak = std::max(peak, std::fabs(out[i]));
    }
    return peak;
}

void FilterSection::runTwo(SectionState& sa, SectionState& sb, const float* a, const float* b,
                           float* outA, float* outB, int32_t frames) const {
    runTwoPlain(sa, sb, a, b, outA, outB, frames);
}

void FilterSection::runPair(const FilterSection* sections, SectionState* s, const float* in,
                            float* out, int32_t frames) {
    runPairPlain(sections, s, in, out, frames);
}

void FilterSection::runPairTwo(const FilterSection* sections, SectionState* sa, SectionState* sb,
                               const float* a, const float* b, float* outA, float* outB,
                               int32_t frames) {
    runPairTwoPlain(sections, sa, sb, a, b, outA, outB, frames);
}

void runPairsBeside(const FilterSection* sections, SectionState* const* states,
                    const float* const* in, float* const* out, int32_t count,
                    const ToneBeside& beside, int32_t frames) {
    for (int32_t c = 0; c < count; ++c)
        FilterSection::runPairPlain(sections, states[c], in[c], out[c], frames);
    if (count == 2) {
        beside.tone.runTwoPlain(*beside.states[0], *beside.states[1], beside.in[0], beside.in[1],
                                beside.out[0], beside.out[1], frames);
    } else {
        beside.tone.run(*beside.states[0], beside.in[0], beside.out[0], frames);
    }
}

#endif

}  // namespace grindlet::dsp

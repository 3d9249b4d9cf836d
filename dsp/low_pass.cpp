#include "low_pass.h"

namespace grindlet::dsp {

namespace {

#if defined(__SSE2__)

// A section at rest: a silent channel's. Its outputs are below SILENCE, so a pass without the
// check would be undone every time: such passes run checked at once.
bool resting(const LowPass::State& s) { return s.z1 == 0.0f && s.z2 == 0.0f; }

// Two sections in a row on `Channels` channels, from in[] to out[], in the lanes of vectors: the
// first section on frame i, the second on frame i - 1 (the first's output of the pass before),
// and with a tone beside, the tone on frame i - 1 of its own samples. Mono: lanes first, second,
// tone. Stereo: first a, first b, second a, second b, and the tone of both in a second vector.
// Unchecked (see SectionLanes::step), a pass that heard silence returns false and leaves the
// states as they were: the output is then written again by the checked pass, which needs the
// input intact (out[] not in[]).
template <int Channels, bool WithTone, bool Checked>
bool pairsInLanes(const LowPass* sections, LowPass::State* const* states, const float* const* in,
                  float* const* out, const ToneBeside* beside, int32_t frames) {
    if (frames <= 0) return true;
    LowPass::State s[2][2] = {}, t[2] = {};  // the states worked on: [channel][section], tone
    for (int c = 0; c < Channels; ++c) {
        s[c][0] = states[c][0];
        s[c][1] = states[c][1];
        if constexpr (WithTone) t[c] = beside->states[c];
    }
    const LowPass& f = sections[0];
    const LowPass& g = sections[1];
    const float* a = in[0];
    const float* b = Channels == 2 ? in[1] : nullptr;
    float* outA = out[0];
    float* outB = Channels == 2 ? out[1] : nullptr;
    // Frame 0 through the first sections alone: the second sections start one frame behind.
    const float ya = f.step(a[0], s[0][0].z1, s[0][0].z2);
    float yb = 0.0f;
    if constexpr (Channels == 2) yb = f.step(b[0], s[1][0].z1, s[1][0].z2);
    const LowPass* tone = WithTone ? &beside->tone : nullptr;
    const LowPass* sectionLanes[4] = {&f, &g, tone, nullptr};
    LowPass::State* stateLanes[4] = {&s[0][0], &s[0][1], WithTone ? &t[0] : nullptr, nullptr};
    const LowPass* toneSectionLanes[4] = {};
    LowPass::State* toneStateLanes[4] = {};
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
    SectionLanes lanes(sectionLanes, stateLanes);
    SectionLanes toneLanes(toneSectionLanes, toneStateLanes);
    __m128 loud = SectionLanes::allLoud(), toneLoud = SectionLanes::allLoud();
    __m128 y = _mm_setr_ps(ya, yb, 0.0f, 0.0f);
    for (int32_t i = 1; i < frames; ++i) {
        const int32_t t1 = i - 1;  // the frame the second sections and the tone work on
        if constexpr (Channels == 2) {
            const __m128 x = twoLanes(a + i, b + i);
            // x of frame i, the first's y of frame t1
            y = lanes.step<Checked>(_mm_movelh_ps(x, y), loud);
            const __m128 high = _mm_movehl_ps(y, y);
            outA[t1] = _mm_cvtss_f32(high);
            outB[t1] = _mm_cvtss_f32(_mm_shuffle_ps(high, high, 1));
            if constexpr (WithTone) {
                const __m128 toned = toneLanes.step<Checked>(
                    twoLanes(beside->in[0] + t1, beside->in[1] + t1), toneLoud);
                _mm_store_ss(beside->out[0] + t1, toned);
                _mm_store_ss(beside->out[1] + t1, _mm_shuffle_ps(toned, toned, 1));
            }
        } else {
            // x of frame i, the first's y of frame t1, and the tone's sample t1.
            __m128 x = _mm_load_ss(a + i);
            if constexpr (WithTone) x = twoLanes(a + i, beside->in[0] + t1);
            y = lanes.step<Checked>(_mm_unpacklo_ps(x, y), loud);
            outA[t1] = lane(y, 1);
            if constexpr (WithTone) beside->out[0][t1] = lane(y, 2);
        }
    }
    if constexpr (!Checked) {
        const bool toneStayedLoud =
            Channels == 1 || !WithTone || SectionLanes::stayedLoud(toneLoud, 0b0011);
        if (!SectionLanes::stayedLoud(loud, used) || !toneStayedLoud) return false;
    }
    lanes.store(stateLanes);
    // The last frame through the second sections, and the tone's.
    const int32_t last = frames - 1;
    outA[last] = g.step(lane(y, 0), s[0][1].z1, s[0][1].z2);
    if constexpr (Channels == 2) outB[last] = g.step(lane(y, 1), s[1][1].z1, s[1][1].z2);
    if constexpr (WithTone) {
        if constexpr (Channels == 2) {
            const __m128 toned =
                toneLanes.step(twoLanes(beside->in[0] + last, beside->in[1] + last));
            _mm_store_ss(beside->out[0] + last, toned);
            _mm_store_ss(beside->out[1] + last, _mm_shuffle_ps(toned, toned, 1));
            toneLanes.store(toneStateLanes);
        } else {
            beside->out[0][last] = tone->step(beside->in[0][last], t[0].z1, t[0].z2);
        }
    }
    for (int c = 0; c < Channels; ++c) {
        states[c][0] = s[c][0];
        states[c][1] = s[c][1];
        if constexpr (WithTone) beside->states[c] = t[c];
    }
    return true;
}

// The pass unchecked where it can be undone and is likely to hold, else (or where it heard
// silence) checked.
template <int Channels, bool WithTone>
void pairsChecked(const LowPass* sections, LowPass::State* const* states, const float* const* in,
                  float* const* out, const ToneBeside* beside, int32_t frames) {
    bool unchecked = frames > 1;
    for (int c = 0; c < Channels; ++c) {
        unchecked =
            unchecked && in[c] != out[c] && !resting(states[c][0]) && !resting(states[c][1]);
        if constexpr (WithTone)
            unchecked = unchecked && beside->in[c] != beside->out[c] && !resting(beside->states[c]);
    }
    if (unchecked &&
        pairsInLanes<Channels, WithTone, false>(sections, states, in, out, beside, frames))
        return;
    pairsInLanes<Channels, WithTone, true>(sections, states, in, out, beside, frames);
}

// One section on two channels, in the two low lanes, as pairsInLanes is checked or not.
template <bool Checked>
bool twoInLanes(const LowPass& f, LowPass::State& sa, LowPass::State& sb, const float* a,
                const float* b, float* outA, float* outB, int32_t frames) {
    LowPass::State la = sa, lb = sb;
    LowPass::State* const stateLanes[4] = {&la, &lb, nullptr, nullptr};
    SectionLanes lanes({&f, &f, nullptr, nullptr}, stateLanes);
    __m128 loud = SectionLanes::allLoud();
    for (int32_t i = 0; i < frames; ++i) {
        const __m128 y = lanes.step<Checked>(twoLanes(a + i, b + i), loud);
        _mm_store_ss(outA + i, y);
        _mm_store_ss(outB + i, _mm_shuffle_ps(y, y, 1));
    }
    if (!Checked && !SectionLanes::stayedLoud(loud, 0b0011)) return false;
    lanes.store(stateLanes);
    sa = la;
    sb = lb;
    return true;
}

#endif

}  // namespace

#if defined(__SSE2__)

void LowPass::cleanBlock(const float* in, float* out, int32_t frames) {
    int32_t i = 0;
    for (; i + 4 <= frames; i += 4)
        _mm_storeu_ps(out + i, SectionLanes::clean(_mm_loadu_ps(in + i)));
    for (; i < frames; ++i) out[i] = clean(in[i]);
}

void LowPass::runTwo(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                     int32_t frames) const {
    const bool unchecked = frames > 1 && a != outA && b != outB && !resting(sa) && !resting(sb);
    if (unchecked && twoInLanes<false>(*this, sa, sb, a, b, outA, outB, frames)) return;
    twoInLanes<true>(*this, sa, sb, a, b, outA, outB, frames);
}

void LowPass::runPair(const LowPass* sections, State* s, const float* in, float* out,
                      int32_t frames) {
    State* const states[1] = {s};
    const float* const ins[1] = {in};
    float* const outs[1] = {out};
    pairsChecked<1, false>(sections, states, ins, outs, nullptr, frames);
}

void LowPass::runPairTwo(const LowPass* sections, State* sa, State* sb, const float* a,
                         const float* b, float* outA, float* outB, int32_t frames) {
    State* const states[2] = {sa, sb};
    const float* const ins[2] = {a, b};
    float* const outs[2] = {outA, outB};
    pairsChecked<2, false>(sections, states, ins, outs, nullptr, frames);
}

void runPairsBeside(const LowPass* sections, LowPass::State* const* states, const float* const* in,
                    float* const* out, int32_t count, const ToneBeside& beside, int32_t frames) {
    if (count == 2) {
        pairsChecked<2, true>(sections, states, in, out, &beside, frames);
    } else {
        pairsChecked<1, true>(sections, states, in, out, &beside, frames);
    }
}

#else

void LowPass::cleanBlock(const float* in, float* out, int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) out[i] = clean(in[i]);
}

void LowPass::runTwo(State& sa, State& sb, const float* a, const float* b, float* outA, float* outB,
                     int32_t frames) const {
    runTwoPlain(sa, sb, a, b, outA, outB, frames);
}

void LowPass::runPair(const LowPass* sections, State* s, const float* in, float* out,
                      int32_t frames) {
    runPairPlain(sections, s, in, out, frames);
}

void LowPass::runPairTwo(const LowPass* sections, State* sa, State* sb, const float* a,
                         const float* b, float* outA, float* outB, int32_t frames) {
    runPairTwoPlain(sections, sa, sb, a, b, outA, outB, frames);
}

void runPairsBeside(const LowPass* sections, LowPass::State* const* states, const float* const* in,
                    float* const* out, int32_t count, const ToneBeside& beside, int32_t frames) {
    for (int32_t c = 0; c < count; ++c)
        LowPass::runPairPlain(sections, states[c], in[c], out[c], frames);
    if (count == 2) {
        beside.tone.runTwoPlain(beside.states[0], beside.states[1], beside.in[0], beside.in[1],
                                beside.out[0], beside.out[1], frames);
    } else {
        beside.tone.run(beside.states[0], beside.in[0], beside.out[0], frames);
    }
}

#endif

}  // namespace grindlet::dsp

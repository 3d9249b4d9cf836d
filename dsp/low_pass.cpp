#include "low_pass.h"

namespace grindlet::dsp {

namespace {

#if defined(__SSE2__)

// Two sections in a row on `Channels` channels, in place, in the lanes of vectors: the first
// section on frame i, the second on frame i - 1 (the first's output of the pass before), and
// with a tone beside, the tone on frame i - 1 of its own samples. Mono: lanes first, second,
// tone. Stereo: first a, first b, second a, second b, and the tone of both in a second vector.
template <int Channels, bool WithTone>
void pairsInLanes(const LowPass* sections, LowPass::State* const* states, float* const* channels,
                  const ToneBeside* beside, int32_t frames) {
    if (frames <= 0) return;
    const LowPass& f = sections[0];
    const LowPass& g = sections[1];
    float* a = channels[0];
    float* b = Channels == 2 ? channels[1] : nullptr;
    // Frame 0 through the first sections alone: the second sections start one frame behind.
    const float ya = f.step(LowPass::clean(a[0]), states[0][0].z1, states[0][0].z2);
    float yb = 0.0f;
    if constexpr (Channels == 2)
        yb = f.step(LowPass::clean(b[0]), states[1][0].z1, states[1][0].z2);
    const LowPass* tone = nullptr;
    LowPass::State* toneStates = nullptr;
    if constexpr (WithTone) {
        tone = &beside->tone;
        toneStates = beside->states;
    }
    const LowPass* sectionLanes[4] = {&f, &g, tone, nullptr};
    LowPass::State* stateLanes[4] = {&states[0][0], &states[0][1], toneStates, nullptr};
    const LowPass* toneSectionLanes[4] = {};
    LowPass::State* toneStateLanes[4] = {};
    if constexpr (Channels == 2) {
        sectionLanes[1] = &f;
        sectionLanes[2] = sectionLanes[3] = &g;
        stateLanes[1] = &states[1][0];
        stateLanes[2] = &states[0][1];
        stateLanes[3] = &states[1][1];
        toneSectionLanes[0] = toneSectionLanes[1] = tone;
        if constexpr (WithTone) {
            toneStateLanes[0] = &toneStates[0];
            toneStateLanes[1] = &toneStates[1];
        }
    }
    SectionLanes lanes(sectionLanes, stateLanes);
    SectionLanes toneLanes(toneSectionLanes, toneStateLanes);
    __m128 y = _mm_setr_ps(ya, yb, 0.0f, 0.0f);
    for (int32_t i = 1; i < frames; ++i) {
        const int32_t t = i - 1;  // the frame the second sections and the tone work on
        if constexpr (Channels == 2) {
            const __m128 x = SectionLanes::clean(twoLanes(a + i, b + i));
            y = lanes.step(_mm_movelh_ps(x, y));  // x of frame i, the first's y of frame t
            const __m128 high = _mm_movehl_ps(y, y);
            a[t] = _mm_cvtss_f32(high);
            b[t] = _mm_cvtss_f32(_mm_shuffle_ps(high, high, 1));
            if constexpr (WithTone) {
                const __m128 toned = toneLanes.step(
                    SectionLanes::clean(twoLanes(beside->in[0] + t, beside->in[1] + t)));
                _mm_store_ss(beside->out[0] + t, toned);
                _mm_store_ss(beside->out[1] + t, _mm_shuffle_ps(toned, toned, 1));
            }
        } else {
            // x of frame i, the first's y of frame t, and the tone's sample t.
            __m128 x = _mm_load_ss(a + i);
            if constexpr (WithTone) x = twoLanes(a + i, beside->in[0] + t);
            y = lanes.step(_mm_unpacklo_ps(SectionLanes::clean(x), y));
            a[t] = lane(y, 1);
            if constexpr (WithTone) beside->out[0][t] = lane(y, 2);
        }
    }
    lanes.store(stateLanes);
    // The last frame through the second sections, and the tone's.
    const int32_t last = frames - 1;
    a[last] = g.step(lane(y, 0), states[0][1].z1, states[0][1].z2);
    if constexpr (Channels == 2) b[last] = g.step(lane(y, 1), states[1][1].z1, states[1][1].z2);
    if constexpr (WithTone) {
        if constexpr (Channels == 2) {
            const __m128 toned = toneLanes.step(
                SectionLanes::clean(twoLanes(beside->in[0] + last, beside->in[1] + last)));
            _mm_store_ss(beside->out[0] + last, toned);
            _mm_store_ss(beside->out[1] + last, _mm_shuffle_ps(toned, toned, 1));
            toneLanes.store(toneStateLanes);
        } else {
            beside->out[0][last] =
                tone->step(LowPass::clean(beside->in[0][last]), toneStates[0].z1, toneStates[0].z2);
        }
    }
}

#endif

}  // namespace

#if defined(__SSE2__)

void LowPass::runPair(const LowPass* sections, State* s, float* samples, int32_t frames) {
    State* const states[1] = {s};
    float* const channels[1] = {samples};
    pairsInLanes<1, false>(sections, states, channels, nullptr, frames);
}

void LowPass::runPairTwo(const LowPass* sections, State* sa, State* sb, float* a, float* b,
                         int32_t frames) {
    State* const states[2] = {sa, sb};
    float* const channels[2] = {a, b};
    pairsInLanes<2, false>(sections, states, channels, nullptr, frames);
}

void runPairsBeside(const LowPass* sections, LowPass::State* const* states, float* const* channels,
                    int32_t count, const ToneBeside& beside, int32_t frames) {
    if (count == 2) {
        pairsInLanes<2, true>(sections, states, channels, &beside, frames);
    } else {
        pairsInLanes<1, true>(sections, states, channels, &beside, frames);
    }
}

#else

void LowPass::runPair(const LowPass* sections, State* s, float* samples, int32_t frames) {
    runPairPlain(sections, s, samples, frames);
}

void LowPass::runPairTwo(const LowPass* sections, State* sa, State* sb, float* a, float* b,
                         int32_t frames) {
    runPairTwoPlain(sections, sa, sb, a, b, frames);
}

void runPairsBeside(const LowPass* sections, LowPass::State* const* states, float* const* channels,
                    int32_t count, const ToneBeside& beside, int32_t frames) {
    for (int32_t c = 0; c < count; ++c)
        LowPass::runPairPlain(sections, states[c], channels[c], frames);
    if (count == 2) {
        beside.tone.runTwoPlain(beside.states[0], beside.states[1], beside.in[0], beside.in[1],
                                beside.out[0], beside.out[1], frames);
    } else {
        beside.tone.run(beside.states[0], beside.in[0], beside.out[0], frames);
    }
}

#endif

}  // namespace grindlet::dsp

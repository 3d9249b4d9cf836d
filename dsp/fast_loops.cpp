#include "fast_loops.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "quantize_block.h"
#include "quantize_vector.h"
#include "reference_loops.h"

namespace grindlet::dsp::fast {

namespace {

constexpr int32_t LANES = 4;
constexpr uint32_t MANTISSA_BITS = 23;
constexpr uint32_t MANTISSA_MASK = 0x7FFFFFu;
constexpr uint32_t IMPLICIT_ONE = 0x800000u;  // 2^23: a binade's first value, in its places
constexpr uint32_t BINADE_END = 0x1000000u;   // 2^24: the next binade's first value
constexpr uint32_t EXPONENT_MASK = 0xFFu;
constexpr uint32_t EXPONENT_BIAS = 127;
constexpr uint32_t EXPONENT_SPECIAL = 255;
// A hold step below 2^23 has places no coarser than 1.0, so adding 1.0 stays exact.
constexpr uint32_t LARGEST_STEP_EXPONENT = 22;
// Shorter ramps are cheaper sample by sample than through the closed form.
constexpr int32_t MIN_STRETCH = 8;

// The hold step and the phase counted in places of the step's binade (its last mantissa bit).
struct PhaseGrid {
    uint32_t step;   // the hold step, in [2^23, 2^24) places
    uint32_t one;    // 1.0 in places: a power of two
    uint32_t shift;  // log2(one)
};

bool gridFor(float step, PhaseGrid& grid) {
    if (!(step >= 1.0f)) return false;  // NaN as well
    const uint32_t bits = floatBits(step);
    const uint32_t exponent = ((bits >> MANTISSA_BITS) & EXPONENT_MASK) - EXPONENT_BIAS;
    if (exponent > LARGEST_STEP_EXPONENT) return false;
    grid.step = (bits & MANTISSA_MASK) | IMPLICIT_ONE;
    grid.shift = MANTISSA_BITS - exponent;
    grid.one = 1u << grid.shift;
    return true;
}

// The phase in places, when it is a whole number of them and at most twice the step's binade
// (which keeps every later value below 2^25 places).
bool toPlaces(float phase, const PhaseGrid& grid, uint32_t& places) {
    const double scaled = double(phase) * double(grid.one);
    if (!(scaled >= 0.0 && scaled <= double(BINADE_END))) return false;
    places = static_cast<uint32_t>(scaled);
    return double(places) == scaled;
}

float fromPlaces(uint32_t places, uint32_t shift) {
    // A place is 2^-shift: the product by it is the exact quotient, without a division.
    constexpr uint32_t doubleExponentShift = 52;
    constexpr uint64_t doubleExponentOfOne = 1023;
    const uint64_t placeBits = (doubleExponentOfOne - shift) << doubleExponentShift;
    double place;
    std::memcpy(&place, &placeBits, sizeof place);
    return static_cast<float>(double(places) * place);
}

// A phase sum in places, rounded as the single-precision addition rounds it: from 2^24 places
// on (the next binade) only even counts exist, and a tie goes to the multiple of four.
inline uint32_t roundPlaces(uint32_t places) {
    if (places >= BINADE_END && (places & 1u) != 0) places += (places & 2u) != 0 ? 1u : ~0u;
    return places;
}

// Samples from a phase below the step up to (not including) the next take.
inline uint32_t samplesBeforeTake(uint32_t places, const PhaseGrid& grid) {
    return (grid.step - places + grid.one - 1) >> grid.shift;
}

// What a take in Step writes at once where it may write past its run: two vectors.
constexpr int32_t SPILL_SAMPLES = 8;

// Long runs of one value with 32-byte stores where the processor has them (the same bits).
constexpr int32_t WIDE_FILL_FROM = 16;

#if defined(__GNUC__)
__attribute__((target("avx"))) void fillWide(float* out, int32_t count, float value) {
    constexpr int32_t WIDE_LANES = 8;
    const __m256 v = _mm256_set1_ps(value);
    int32_t i = 0;
    for (; i + WIDE_LANES <= count; i += WIDE_LANES) _mm256_storeu_ps(out + i, v);
    if (i < count) _mm256_storeu_ps(out + count - WIDE_LANES, v);  // overlaps the run's own end
}

bool hasWideStores() { return __builtin_cpu_supports("avx"); }
#else
void fillWide(float*, int32_t, float) {}
bool hasWideStores() { return false; }
#endif

// out[0, count) = the value in every lane of v.
inline void fillVector(float* out, int32_t count, __m128 v) {
    if (count >= WIDE_FILL_FROM && hasWideStores()) {
        fillWide(out, count, _mm_cvtss_f32(v));
        return;
    }
    int32_t i = 0;
    for (; i + 2 * LANES <= count; i += 2 * LANES) {
        _mm_storeu_ps(out + i, v);
        _mm_storeu_ps(out + i + LANES, v);
    }
    if (i + LANES <= count) {
        _mm_storeu_ps(out + i, v);
        i += LANES;
    }
    if (i == count) return;
    if (count >= LANES) {
        _mm_storeu_ps(out + count - LANES, v);  // overlaps the run's own end
    } else {
        for (; i < count; ++i) _mm_store_ss(out + i, v);
    }
}

inline void fill(float* out, int32_t count, float value) {
    fillVector(out, count, _mm_set1_ps(value));
}

// How many ramp values from ramp on are ramp + j * constant exactly: while the value stays
// strictly inside its binade and the addition of rampStep never ties, every rounded addition
// adds the same number of places. Returns 0 where that does not hold.
int32_t constantStretch(float ramp, float rampStep, int32_t limit, float& constant) {
    const uint32_t bits = floatBits(ramp);
    const uint32_t exponent = (bits >> MANTISSA_BITS) & EXPONENT_MASK;
    if (exponent == 0 || exponent == EXPONENT_SPECIAL) return 0;  // zero, subnormal, not finite
    if (((floatBits(rampStep) >> MANTISSA_BITS) & EXPONENT_MASK) == EXPONENT_SPECIAL) return 0;
    const float next = addInOrder(ramp, rampStep);
    const uint32_t nextBits = floatBits(next);
    if ((nextBits >> MANTISSA_BITS) != (bits >> MANTISSA_BITS)) return 0;  // sign or binade
    // Below this the binade's half place is too fine to name as a normal float.
    if (exponent <= MANTISSA_BITS + 1) return 0;
    // The addition's rounding error, exact in double unless rampStep is far below the binade's
    // place, where no tie is possible. A tie (half a place) rounds to even and breaks the
    // constant: every other addition would round the other way.
    const double error = (double(ramp) + double(rampStep)) - double(next);
    const float halfPlace = floatFromBits((exponent - MANTISSA_BITS - 1) << MANTISSA_BITS);
    if (std::fabs(error) == double(halfPlace)) return 0;
    const int64_t from = (bits & MANTISSA_MASK) | IMPLICIT_ONE;
    const int64_t change = int64_t((nextBits & MANTISSA_MASK) | IMPLICIT_ONE) - from;
    constant = next - ramp;
    // Room to the binade's edges, less one place: the whole run usually fits.
    const int64_t room =
        change > 0 ? int64_t(BINADE_END) - 1 - from : from - int64_t(IMPLICIT_ONE) - 1;
    const int64_t perSample = change > 0 ? change : -change;
    if (room <= 0) return 0;  // a power of two heading down: the next value is in the binade below
    if (perSample * limit <= room) return limit;
    return static_cast<int32_t>(room / perSample);
}

}  // namespace

namespace {

// rampToward in every lane: each lane's ramp stops at its target in its slope's direction.
inline __m128 rampTowardLanes(__m128 ramp, __m128 target, __m128 rising, __m128 falling) {
    const __m128 past = _mm_or_ps(_mm_and_ps(rising, _mm_cmpgt_ps(ramp, target)),
                                  _mm_and_ps(falling, _mm_cmplt_ps(ramp, target)));
    return _mm_or_ps(_mm_and_ps(past, target), _mm_andnot_ps(past, ramp));
}

// rampValueOrZero in every lane.
inline __m128 rampValuesOrZero(__m128 v) {
    const __m128i magnitude = _mm_and_si128(_mm_castps_si128(v), _mm_set1_epi32(0x7FFFFFFF));
    const __m128i tiny = _mm_cmplt_epi32(
        magnitude, _mm_set1_epi32(static_cast<int32_t>(floatBits(SMALLEST_RAMP_VALUE))));
    return _mm_andnot_ps(_mm_castsi128_ps(_mm_and_si128(tiny, _mm_set1_epi32(0x7FFFFFFF))), v);
}

}  // namespace

float rampRun(float* out, int32_t count, float ramp, float rampStep, float target) {
    // The stretch's values are the plain additions', each stopped at the target as the plain
    // loop stops it: the additions never turn back, so once past the target they stay past.
    const __m128 rising = _mm_set1_ps(rampStep > 0.0f ? floatFromBits(~0u) : 0.0f);
    const __m128 falling = _mm_set1_ps(rampStep < 0.0f ? floatFromBits(~0u) : 0.0f);
    const __m128 targets = _mm_set1_ps(target);
    if (count <= 0) return ramp;
    // The first value is the ramp as it comes (a stretch stops every value it writes).
    out[0] = ramp;
    ramp = rampToward(addInOrder(ramp, rampStep), target, rampStep);
    int32_t i = 1;
    while (i < count) {
        float constant = 0.0f;
        const int32_t stretch =
            count - i >= MIN_STRETCH ? constantStretch(ramp, rampStep, count - i, constant) : 0;
        if (stretch == 0) {
            // Where one stretch fails the next few usually do too (a ramp across zero or a
            // binade's edge): a few plain samples before asking again.
            const int32_t plain = count - i < MIN_STRETCH ? count - i : MIN_STRETCH;
            for (int32_t j = 0; j < plain; ++j) {
                out[i++] = ramp;
                ramp = rampToward(addInOrder(ramp, rampStep), target, rampStep);
            }
            continue;
        }
        // Every ramp + j * constant below is exact: it is a value of the binade.
        const __m128 c = _mm_set1_ps(constant);
        __m128 v = _mm_add_ps(_mm_set1_ps(ramp), _mm_mul_ps(_mm_set_ps(3.0f, 2.0f, 1.0f, 0.0f), c));
        const __m128 increment = _mm_mul_ps(_mm_set1_ps(float(LANES)), c);
        int32_t j = 0;
        for (; j + LANES <= stretch; j += LANES) {
            _mm_storeu_ps(out + i + j, rampTowardLanes(v, targets, rising, falling));
            v = _mm_add_ps(v, increment);
        }
        for (; j < stretch; ++j)
            out[i + j] = rampToward(ramp + static_cast<float>(j) * constant, target, rampStep);
        ramp = rampToward(ramp + static_cast<float>(stretch) * constant, target, rampStep);
        i += stretch;
    }
    return ramp;
}

// Four taken samples at once, quantized as the loop would quantize each.
template <int16_t Mode, bool Quantize>
inline __m128 takeFour(const VectorQuantizer<Mode>& quantize, __m128 x) {
    if constexpr (Quantize) return quantize(x);
    return x;
}

// The same for "Linear", whose ramps work on the takes: unquantized, tiny magnitudes are zero.
template <int16_t Mode, bool Quantize>
inline __m128 takeFourForRamps(const VectorQuantizer<Mode>& quantize, __m128 x) {
    if constexpr (Quantize) return quantize(x);
    return rampValuesOrZero(x);
}

// Runs of one length without a branch: four samples in one store; five to eight in two that
// may overlap.
inline void fillFour(float* out, int32_t, __m128 v) { _mm_storeu_ps(out, v); }
inline void fillFiveToEight(float* out, int32_t count, __m128 v) {
    _mm_storeu_ps(out, v);
    _mm_storeu_ps(out + count - LANES, v);
}

// Takes four at a time from `take` on while four whole periods fit: gather, quantize together,
// fill each one's run. Returns the first take after them.
template <int16_t Mode, bool Quantize, class FillRun>
inline int32_t stepGroups(const VectorQuantizer<Mode>& quantize, const float* in, float* out,
                          int32_t take, int32_t count, int32_t period, float& held,
                          FillRun fillRun) {
    for (; take + LANES * period <= count; take += LANES * period) {
        const __m128 x =
            _mm_setr_ps(in[take], in[take + period], in[take + 2 * period], in[take + 3 * period]);
        const __m128 taken = takeFour<Mode, Quantize>(quantize, x);
        fillRun(out + take, period, _mm_shuffle_ps(taken, taken, _MM_SHUFFLE(0, 0, 0, 0)));
        fillRun(out + take + period, period, _mm_shuffle_ps(taken, taken, _MM_SHUFFLE(1, 1, 1, 1)));
        fillRun(out + take + 2 * period, period,
                _mm_shuffle_ps(taken, taken, _MM_SHUFFLE(2, 2, 2, 2)));
        const __m128 last = _mm_shuffle_ps(taken, taken, _MM_SHUFFLE(3, 3, 3, 3));
        fillRun(out + take + 3 * period, period, last);
        held = _mm_cvtss_f32(last);
    }
    return take;
}

// Takes from `take` on when fewer than four whole periods are left (at least one sample).
inline int32_t takesLeft(int32_t take, int32_t count, int32_t period) {
    const int32_t left = count - take;
    return 1 + (left > period) + (left > 2 * period) + (left > 3 * period);
}

// "Step" once the phase after a take repeats: from then on a take comes every `period`
// samples, with the same phase after each. Starts `firstHold` samples before a take (period - 1
// right after one); fills and takes up to count and returns the samples after the last take
// (or since from).
template <int16_t Mode, bool Quantize>
int32_t periodicSteps(const QuantizerState& quantizer, const float* in, float* out, int32_t from,
                      int32_t count, int32_t period, int32_t firstHold, float& held) {
    const VectorQuantizer<Mode> quantize(quantizer);
    if (firstHold >= count - from) {
        fill(out + from, count - from, held);
        return count - from;
    }
    fill(out + from, firstHold, held);
    int32_t take = from + firstHold;
    // The holds of a sampler's usual rates (4 to 8 samples) are filled without branches.
    if (period == LANES) {
        take = stepGroups<Mode, Quantize>(quantize, in, out, take, count, period, held, fillFour);
    } else if (period > LANES && period <= 2 * LANES) {
        take = stepGroups<Mode, Quantize>(quantize, in, out, take, count, period, held,
                                          fillFiveToEight);
    } else {
        take = stepGroups<Mode, Quantize>(quantize, in, out, take, count, period, held, fillVector);
    }
    if (take >= count) return count - 1 - (take - period);
    // The last one to four takes, quantized together as well (a lane whose take lies past the
    // block repeats the first one's sample and is not used).
    const int32_t takes = takesLeft(take, count, period);
    alignas(16) float taken[LANES];
    const auto sampleOf = [&](int32_t k) { return in[k < takes ? take + k * period : take]; };
    _mm_store_ps(taken, takeFour<Mode, Quantize>(quantize, _mm_setr_ps(sampleOf(0), sampleOf(1),
                                                                       sampleOf(2), sampleOf(3))));
    for (int32_t k = 0; k < takes; ++k, take += period)
        fill(out + take, period < count - take ? period : count - take, taken[k]);
    held = taken[takes - 1];
    return count - 1 - (take - period);
}

// rampIncrement on four lanes, in double precision as the reference forms it.
inline __m128 rampIncrementsWide(__m128 held, __m128 previous, __m128d factor) {
    const __m128d low =
        multiplyLanesInOrder(_mm_sub_pd(_mm_cvtps_pd(held), _mm_cvtps_pd(previous)), factor);
    const __m128d high =
        multiplyLanesInOrder(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(held, held)),
                                        _mm_cvtps_pd(_mm_movehl_ps(previous, previous))),
                             factor);
    return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
}

// The same in single precision where held - previous is exact in it (always, between two
// quantized samples of a block): then the double product, rounded once, is the single one.
// Whether the difference is exact is told by its rounding error, formed exactly (two-sum).
inline __m128 rampIncrements(__m128 held, __m128 previous, __m128 factor, __m128d factorWide) {
    const __m128 difference = _mm_sub_ps(held, previous);
    const __m128 heldPart = _mm_add_ps(difference, previous);
    const __m128 previousPart = _mm_sub_ps(heldPart, difference);
    const __m128 error = _mm_add_ps(_mm_sub_ps(held, heldPart), _mm_sub_ps(previousPart, previous));
    if (_mm_movemask_ps(_mm_cmpeq_ps(error, _mm_setzero_ps())) != 0xF) {
        return rampValuesOrZero(
            rampIncrementsWide(held, previous, factorWide));  // inexact, infinite or NaN
    }
    return rampValuesOrZero(multiplyLanesInOrder(difference, factor));
}

inline float lastLane(__m128 v) {
    return _mm_cvtss_f32(_mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)));
}

// The four lanes to out[0], out[stride], out[2 * stride], out[3 * stride].
inline void scatter(float* out, int32_t stride, __m128 v) {
    _mm_store_ss(out, v);
    _mm_store_ss(out + stride, _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1)));
    _mm_store_ss(out + 2 * stride, _mm_movehl_ps(v, v));
    _mm_store_ss(out + 3 * stride, _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)));
}

// The ramps of four segments side by side: the segments' takes in x, the take before them in
// the last lane of held. Writes segment j to dest[j * period, (j + 1) * period) and leaves in
// each lane its take's registers, the ramp one step past the segment's end.
struct RampLanes {
    __m128 held, previous, rampStep, ramp;
};

// Inlined into both of its loops: a call per group costs more than the group's arithmetic.
template <int16_t Mode, bool Quantize>
[[gnu::always_inline]] inline void rampGroup(const VectorQuantizer<Mode>& quantize, __m128 x,
                                             float* dest, int32_t period, __m128 factorSingle,
                                             __m128d factorWide, RampLanes& lanes) {
    // In locals: the stores below go through float pointers, which may alias the lanes' vectors.
    const __m128 carry = lanes.held;
    const __m128 held = takeFourForRamps<Mode, Quantize>(quantize, x);
    const __m128 previous = _mm_move_ss(_mm_shuffle_ps(held, held, _MM_SHUFFLE(2, 1, 0, 3)),
                                        _mm_shuffle_ps(carry, carry, _MM_SHUFFLE(3, 3, 3, 3)));
    const __m128 rampStep = rampIncrements(held, previous, factorSingle, factorWide);
    const __m128 rising = _mm_cmpgt_ps(rampStep, _mm_setzero_ps());
    const __m128 falling = _mm_cmplt_ps(rampStep, _mm_setzero_ps());
    __m128 ramp = previous;
    // Four steps of four segments are a 4 x 4 block whose columns are the lanes: transposed,
    // its rows are four samples of one segment each.
    int32_t m = 0;
    for (; m + LANES <= period; m += LANES) {
        __m128 rows[LANES];
        for (int32_t k = 0; k < LANES; ++k) {
            rows[k] = ramp;
            ramp = rampTowardLanes(addLanesInOrder(ramp, rampStep), held, rising, falling);
        }
        _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
        for (int32_t j = 0; j < LANES; ++j) _mm_storeu_ps(dest + j * period + m, rows[j]);
    }
    for (; m < period; ++m) {
        scatter(dest + m, period, ramp);
        ramp = rampTowardLanes(addLanesInOrder(ramp, rampStep), held, rising, falling);
    }
    lanes = {held, previous, rampStep, ramp};
}

inline float lane(__m128 v, int32_t k) {
    alignas(16) float values[LANES];
    _mm_store_ps(values, v);
    return values[k];
}

// Up to this period the last one to four takes of a block also run as a group, through a
// buffer on the stack (cheaper than taking them one by one with their ramps).
constexpr int32_t GROUPED_LAST_TAKES_UP_TO = 16;

// "Linear" once the phase after a take repeats: a take every `period` samples. The ramps of
// four segments are independent (each take restarts the ramp), so they run side by side in the
// lanes of one vector, each lane doing the reference's own additions. Starts `firstHold`
// samples before a take (period - 1 right after one); returns the samples after the last take
// (or since from).
template <int16_t Mode, bool Quantize>
int32_t periodicRamps(const QuantizerState& quantizer, const float* in, float* out, int32_t from,
                      int32_t count, int32_t period, int32_t firstHold, float factor,
                      LinearRegisters& r) {
    // The takes here are quantized by lanes of one vector quantizer, alone or four at once: the
    // same bits as the sample quantizer wherever it applies, which the caller has checked.
    const VectorQuantizer<Mode> quantize(quantizer);
    const int32_t before = period - 1;
    if (firstHold >= count - from) {
        r.ramp = rampRun(out + from, count - from, r.ramp, r.rampStep, r.held);
        return count - from;
    }
    r.ramp = rampRun(out + from, firstHold, r.ramp, r.rampStep, r.held);
    int32_t take = from + firstHold;
    const __m128d factorWide = _mm_set1_pd(double(factor));
    const __m128 factorSingle = _mm_set1_ps(factor);
    // The last lane of each group carries into the next; the registers are written once, after.
    RampLanes lanes{_mm_set1_ps(r.held), _mm_set1_ps(r.previous), _mm_set1_ps(r.rampStep),
                    _mm_set1_ps(r.ramp)};
    bool grouped = false;
    for (; take + LANES * period <= count; take += LANES * period) {
        const __m128 x =
            _mm_setr_ps(in[take], in[take + period], in[take + 2 * period], in[take + 3 * period]);
        rampGroup<Mode, Quantize>(quantize, x, out + take, period, factorSingle, factorWide, lanes);
        grouped = true;
    }
    if (take < count && period <= GROUPED_LAST_TAKES_UP_TO) {
        // The rest, one to four takes: a lane whose take lies past the block repeats the first
        // one's sample, and its segment is not copied out. The registers are those of the last
        // take that is in the block, its ramp the one after the block's last sample.
        const int32_t takes = takesLeft(take, count, period);
        const auto sampleOf = [&](int32_t k) { return in[k < takes ? take + k * period : take]; };
        alignas(16) float segments[LANES * GROUPED_LAST_TAKES_UP_TO];
        rampGroup<Mode, Quantize>(quantize,
                                  _mm_setr_ps(sampleOf(0), sampleOf(1), sampleOf(2), sampleOf(3)),
                                  segments, period, factorSingle, factorWide, lanes);
        const int32_t written = count - take;
        std::memcpy(out + take, segments, static_cast<size_t>(written) * sizeof(float));
        const int32_t last = takes - 1;
        const int32_t lastSegment = written - last * period;  // 1 to period samples
        r.previous = lane(lanes.previous, last);
        r.held = lane(lanes.held, last);
        r.rampStep = lane(lanes.rampStep, last);
        r.ramp =
            lastSegment < period ? segments[last * period + lastSegment] : lane(lanes.ramp, last);
        return count - 1 - (take + last * period);
    }
    if (grouped) {
        r.previous = lastLane(lanes.previous);
        r.held = lastLane(lanes.held);
        r.rampStep = lastLane(lanes.rampStep);
        r.ramp = lastLane(lanes.ramp);
    }
    int32_t lastTake = take - period;
    for (; take < count; take += period) {
        r.previous = r.held;
        r.held = _mm_cvtss_f32(takeFourForRamps<Mode, Quantize>(quantize, _mm_set_ss(in[take])));
        r.rampStep = rampIncrement(r.held, r.previous, factor);
        out[take] = r.previous;
        r.ramp = rampToward(addInOrder(r.previous, r.rampStep), r.held, r.rampStep);
        const int32_t run = before < count - take - 1 ? before : count - take - 1;
        r.ramp = rampRun(out + take + 1, run, r.ramp, r.rampStep, r.held);
        lastTake = take;
    }
    return count - 1 - lastTake;
}

// One period adds period * one - step (and at most one place where a sum is rounded into the
// next binade): no fixed point unless the step is that close to a whole number of samples. Inline,
// as it turns every other step away at the cost of two instructions.
inline bool mayRepeat(const PhaseGrid& grid) {
    const uint32_t fraction = grid.step & (grid.one - 1);
    return fraction <= 1 || fraction >= grid.one - 1;
}

// The steady state of a block after a block at the same step: the phase after its first take
// is already a fixed point, so the periodic tail can start at once, without the walk (which sees
// the repeat only after two takes on the general path) or the routines' set-up. The same
// arithmetic as the walk: a hold from the phase to the take, the take (minus the step, plus
// one), and one more period to see the phase after the take repeat.
bool startsPeriodic(float holdPhase, const PhaseGrid& grid, int32_t count, PeriodicStart& start) {
    uint32_t phase = 0;
    if (!toPlaces(holdPhase, grid, phase)) return false;
    const uint32_t firstHold = phase < grid.step ? samplesBeforeTake(phase, grid) : 0;
    if (firstHold >= static_cast<uint32_t>(count)) return false;  // no take here: one hold
    const uint32_t atTake = roundPlaces(phase + (firstHold << grid.shift));
    const uint32_t afterTake = roundPlaces(atTake - grid.step + grid.one);
    if (afterTake >= grid.step) return false;  // a take at every sample: the walk's own case
    const uint32_t period = samplesBeforeTake(afterTake, grid) + 1;
    const uint32_t nextTake = roundPlaces(afterTake + ((period - 1) << grid.shift));
    if (roundPlaces(nextTake - grid.step + grid.one) != afterTake) return false;
    start = {static_cast<int32_t>(firstHold), static_cast<int32_t>(period), afterTake, grid.shift};
    return true;
}

// How a block runs: its periodic tail from the start, or the walk on the phase grid, or (a step
// the grid cannot hold) the plain loop.
enum class BlockRun { Periodic, Walk, Plain };

// The memo holds the schedule its phase implies. A tail that ended s samples after a take
// (s < period) left the phase at afterTake plus s samples, rounded as the walk rounds it (only
// at s = period - 1, where it may reach the next binade). Below s = period - 1 the phase stays
// below the step, so the next take is period - 1 - s samples on; at it the phase is the take's
// phase of every period before (the same sum, rounded alike), so the phase after it is afterTake
// again. A memo made for another phase or step is not used.
inline BlockRun blockRun(const RateReducerState& state, float step, int32_t count, bool tailApplies,
                         PhaseGrid& grid, PeriodicStart& start) {
    if (tailApplies && floatBits(state.holdPhase) == state.periodic.phaseBits &&
        floatBits(step) == state.periodic.stepBits) {
        start = state.periodic.start;
        return BlockRun::Periodic;
    }
    if (!gridFor(step, grid)) return BlockRun::Plain;
    if (tailApplies && mayRepeat(grid) && startsPeriodic(state.holdPhase, grid, count, start))
        return BlockRun::Periodic;
    return BlockRun::Walk;
}

// The phase after a periodic tail that ended sinceTake samples after a take (or, in a block
// with no take, before the next one), and the memo of where the next block's tail starts.
inline void endPeriodic(RateReducerState& state, float step, const PeriodicStart& start,
                        int32_t sinceTake) {
    const uint32_t phase =
        roundPlaces(start.afterTake + (static_cast<uint32_t>(sinceTake) << start.shift));
    state.holdPhase = fromPlaces(phase, start.shift);
    state.periodic = {floatBits(state.holdPhase),
                      floatBits(step),
                      {start.period - 1 - sinceTake, start.period, start.afterTake, start.shift}};
}

// Samples since the last take at the end of a block that takes nothing.
inline int32_t sinceTakeWithoutTake(const PeriodicStart& start, int32_t count) {
    return start.period - 1 - start.firstHold + count;
}

// Walks one block on the phase grid, the same for both routines: samples off the grid one by
// one (the routine's reference sample), then runs between takes and the takes, and the rest to
// the routine's periodic tail once the phase after a take repeats. The routine says what a run,
// a take and a tail write. Its hooks:
//   r                          the registers (phase, held value, ...), loaded and stored by the caller
//   sample(i)                  sample i exactly as the reference loop does it, phase included
//   hold(i, n)                 samples i..i+n-1 between takes (the phase is the walk's)
//   take(i)                    sample i takes a new input sample
//   takeEverySample(i, count)  a step of 1.0: samples i..count-1 all taken; false if it cannot
//   canRepeat(), repeat(i, count, period)  the periodic tail from i on; returns the samples
//                              since its last take
//
// Why the phase in places is exact: the phase starts on the grid (a whole number of the step
// binade's places, checked by toPlaces) and each sample adds 1.0, a power of two no finer than
// a place because the step is below 2^23 (LARGEST_STEP_EXPONENT), so every sum below the step's
// binade end is exact; only the one addition that crosses into the next binade rounds, and
// roundPlaces rounds it as the float addition does (ties to even). A take subtracts the step
// from a phase at most twice the step: both are multiples of the place and the difference is
// below the binade, so `phase -= step` is exact too.
template <class Routine>
void walkPhase(Routine& routine, int32_t count, const PhaseGrid& grid) {
    int32_t i = 0;
    uint32_t phase = 0;
    // Off the grid (a finer step before), sample by sample: the first take puts it on.
    while (i < count && !toPlaces(routine.r.phase, grid, phase)) routine.sample(i++);
    if (i == count) return;
    uint32_t afterLastTake = ~0u;  // no phase in places reaches this
    while (i < count) {
        if (phase < grid.step) {
            const uint32_t before = samplesBeforeTake(phase, grid);
            const auto left = static_cast<uint32_t>(count - i);
            const uint32_t run = before < left ? before : left;
            routine.hold(i, static_cast<int32_t>(run));
            i += static_cast<int32_t>(run);
            phase = roundPlaces(phase + (run << grid.shift));  // exact until the last addition
            if (i == count) break;
        }
        // A step of 1.0 with the phase past it: every sample is taken, the phase stays.
        if (grid.step == grid.one && routine.takeEverySample(i, count)) break;
        phase -= grid.step;
        routine.take(i++);
        phase = roundPlaces(phase + grid.one);
        if (phase == afterLastTake && phase < grid.step && routine.canRepeat()) {
            // A fixed point: every later take comes the same number of samples apart.
            const auto period = static_cast<int32_t>(samplesBeforeTake(phase, grid)) + 1;
            const int32_t sinceTake = routine.repeat(i, count, period);
            phase = roundPlaces(phase + (static_cast<uint32_t>(sinceTake) << grid.shift));
            break;
        }
        afterLastTake = phase;
    }
    routine.r.phase = fromPlaces(phase, grid.shift);
}

// The quantizer of a take. Where the vector quantizer applies, one lane of it: the same bits as
// quantizeSample (the vector path's own guarantee) without its branches on the sample's
// magnitude, which noise-like audio mispredicts at almost every take.
template <int16_t Mode, bool Quantize>
struct TakeQuantizer {
    explicit TakeQuantizer(const QuantizerState& q)
        : state(q), lanes(q), lanesApply(VectorQuantizer<Mode>::applies(q)) {}
    float operator()(float x) const {
        if constexpr (!Quantize) return x;
        if (lanesApply) return _mm_cvtss_f32(lanes(_mm_set_ss(x)));
        return quantizeSample<Mode>(state, x);
    }
    QuantizerState state;
    VectorQuantizer<Mode> lanes;
    bool lanesApply;
};

template <int16_t Mode, bool Quantize>
struct StepRoutine {
    StepRegisters r;
    QuantizerState quantizer;
    const float* in;
    float* out;
    float step;
    bool took;  // whether any sample was taken; the periodic tail runs only after a take

    void sample(int32_t i) {
        took |= stepSample<Mode, Quantize>(r, quantizer, in[i], out + i, step);
    }
    TakeQuantizer<Mode, Quantize> quantizeTake;
    int32_t end;        // the block's sample count
    bool spill;         // out shares no sample with in: a take may write past its run
    int32_t prefilled;  // samples after the last take that already hold its value

    void hold(int32_t i, int32_t n) {
        if (n > prefilled) fill(out + i, n, r.held);
    }
    void take(int32_t i) {
        r.held = quantizeTake(in[i]);
        took = true;
        // A fill's branches per take cost more than the take itself where holds are short (a
        // rate that does not divide the sample rate: 8,000 Hz at 44,100). Two unconditional
        // stores cover the take and the seven samples after it; the next take overwrites what
        // lies past the run. Only where that cannot clobber input not yet read.
        if (spill && i + SPILL_SAMPLES <= end) {
            const __m128 v = _mm_set1_ps(r.held);
            _mm_storeu_ps(out + i, v);
            _mm_storeu_ps(out + i + LANES, v);
            prefilled = SPILL_SAMPLES - 1;
        } else {
            out[i] = r.held;
            prefilled = 0;
        }
    }
    bool takeEverySample(int32_t i, int32_t count) {
        const int32_t left = count - i;
        took = true;
        if constexpr (Quantize) {
            if (quantizeBlockApplies(quantizer)) {
                quantizeBlock<Mode>(quantizer, in + i, out + i, left);
            } else {
                for (int32_t j = i; j < count; ++j) out[j] = quantizeSample<Mode>(quantizer, in[j]);
            }
        } else if (in != out) {
            std::memmove(out + i, in + i, static_cast<size_t>(left) * sizeof(float));
        }
        r.held = out[count - 1];
        return true;
    }
    bool canRepeat() const { return !Quantize || VectorQuantizer<Mode>::applies(quantizer); }
    int32_t repeat(int32_t from, int32_t count, int32_t period) {
        return periodicSteps<Mode, Quantize>(quantizer, in, out, from, count, period, period - 1,
                                             r.held);
    }
};

template <int16_t Mode, bool Quantize>
struct LinearRoutine {
    LinearRegisters r;
    QuantizerState quantizer;
    const float* in;
    float* out;
    float step;
    float factor;

    void sample(int32_t i) {
        linearSample<Mode, Quantize>(r, quantizer, in[i], out + i, step, factor);
    }
    void hold(int32_t i, int32_t n) { r.ramp = rampRun(out + i, n, r.ramp, r.rampStep, r.held); }
    void take(int32_t i) {
        r.previous = r.held;
        r.held = takeRampSample<Mode, Quantize>(quantizer, in[i]);
        r.rampStep = rampIncrement(r.held, r.previous, factor);
        out[i] = r.previous;
        r.ramp = rampToward(addInOrder(r.previous, r.rampStep), r.held, r.rampStep);
    }
    // The output is the taken samples one sample late.
    bool takeEverySample(int32_t i, int32_t count) {
        if (!canRepeat()) return false;
        const int32_t left = count - i;
        if constexpr (Quantize) {
            r.held = quantizeBlockDelayed<Mode>(quantizer, in + i, out + i, left, r.held);
        } else {
            // The takes as the ramp takes them, one sample late.
            for (int32_t j = i; j < count; ++j) {
                const float taken = rampValueOrZero(in[j]);
                out[j] = r.held;
                r.held = taken;
            }
        }
        r.previous = out[count - 1];
        r.rampStep = rampIncrement(r.held, r.previous, factor);
        r.ramp = rampToward(addInOrder(r.previous, r.rampStep), r.held, r.rampStep);
        return true;
    }
    bool canRepeat() const { return !Quantize || VectorQuantizer<Mode>::applies(quantizer); }
    int32_t repeat(int32_t from, int32_t count, int32_t period) {
        return periodicRamps<Mode, Quantize>(quantizer, in, out, from, count, period, period - 1,
                                             factor, r);
    }
};

// The walk that only records where a Step block takes: each take's frame, and for every frame
// the takes so far.
struct TakesRoutine {
    StepRegisters r;  // the phase; no value is held
    float step;
    int32_t* takes;
    int32_t* holds;
    int32_t taken;
    int32_t end;  // the block's frame count

    void sample(int32_t i) {  // stepSample's phase, in its order
        const bool take = r.phase >= step;
        r.phase = (take ? r.phase - step : r.phase) + 1.0f;
        takes[taken] = i;
        taken += take ? 1 : 0;
        holds[i] = taken;
    }
    // As the reducer's fills: a hold's branch on its length would be mispredicted at every
    // change of it, so up to eight frames are two unconditional stores (the next take writes
    // over what lies past the run), where they stay within the block.
    void hold(int32_t i, int32_t n) {
        const __m128i count = _mm_set1_epi32(taken);
        if (n <= 2 * LANES && i + 2 * LANES <= end) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(holds + i), count);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(holds + i + LANES), count);
            return;
        }
        for (int32_t j = i; j < i + n; ++j) holds[j] = taken;
    }
    void take(int32_t i) {
        takes[taken++] = i;
        holds[i] = taken;
    }
    bool takeEverySample(int32_t i, int32_t count) {
        for (int32_t j = i; j < count; ++j) take(j);
        return true;
    }
    bool canRepeat() const { return true; }
    // As periodicSteps: the first take period - 1 frames on, then one every period.
    int32_t repeat(int32_t from, int32_t count, int32_t period) {
        if (period - 1 >= count - from) {
            hold(from, count - from);
            return count - from;
        }
        hold(from, period - 1);
        int32_t at = from + period - 1;
        for (; at < count; at += period) {
            take(at);
            hold(at + 1, std::min(period - 1, count - at - 1));
        }
        return count - 1 - (at - period);
    }
};

int32_t findTakes(float& phase, float step, int32_t count, int32_t* takes, int32_t* holds) {
    PhaseGrid grid;
    if (count < 0 || !gridFor(step, grid)) return -1;
    TakesRoutine routine{{phase, 0.0f}, step, takes, holds, 0, count};
    walkPhase(routine, count, grid);
    phase = routine.r.phase;
    return routine.taken;
}

template <int16_t Mode, bool Quantize>
bool stepLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step) {
    PhaseGrid grid;
    PeriodicStart start;
    const bool tailApplies = !Quantize || VectorQuantizer<Mode>::applies(state.quantizer);
    switch (blockRun(state, step, count, tailApplies, grid, start)) {
        case BlockRun::Plain:
            return reference::stepLoop<Mode, Quantize>(state, in, out, count, step);
        case BlockRun::Periodic:
            if (start.firstHold >= count) {  // (from the memo) no take in this block
                fill(out, count, state.heldValue);
                endPeriodic(state, step, start, sinceTakeWithoutTake(start, count));
                return false;
            }
            endPeriodic(
                state, step, start,
                periodicSteps<Mode, Quantize>(state.quantizer, in, out, 0, count, start.period,
                                              start.firstHold, state.heldValue));
            return true;
        case BlockRun::Walk:
            break;
    }
    const bool spill = out + count <= in || in + count <= out;
    StepRoutine<Mode, Quantize> routine{loadStep(state),
                                        state.quantizer,
                                        in,
                                        out,
                                        step,
                                        false,
                                        TakeQuantizer<Mode, Quantize>(state.quantizer),
                                        count,
                                        spill,
                                        0};
    walkPhase(routine, count, grid);
    storeStep(state, routine.r);
    return routine.took;
}

template <int16_t Mode, bool Quantize>
void linearLoop(RateReducerState& state, const float* in, float* out, int32_t count, float step,
                float factor) {
    PhaseGrid grid;
    PeriodicStart start;
    const bool tailApplies = !Quantize || VectorQuantizer<Mode>::applies(state.quantizer);
    switch (blockRun(state, step, count, tailApplies, grid, start)) {
        case BlockRun::Plain:
            reference::linearLoop<Mode, Quantize>(state, in, out, count, step, factor);
            return;
        case BlockRun::Periodic: {
            LinearRegisters r = loadLinear(state);
            if (start.firstHold >= count) {  // (from the memo) no take in this block
                r.ramp = rampRun(out, count, r.ramp, r.rampStep, r.held);
                storeLinear(state, r);
                endPeriodic(state, step, start, sinceTakeWithoutTake(start, count));
                return;
            }
            const int32_t sinceTake = periodicRamps<Mode, Quantize>(
                state.quantizer, in, out, 0, count, start.period, start.firstHold, factor, r);
            storeLinear(state, r);
            endPeriodic(state, step, start, sinceTake);
            return;
        }
        case BlockRun::Walk:
            break;
    }
    LinearRoutine<Mode, Quantize> routine{
        loadLinear(state), state.quantizer, in, out, step, factor};
    walkPhase(routine, count, grid);
    storeLinear(state, routine.r);
}

#define GRINDLET_FAST_LOOPS(MODE, QUANTIZE)                                                    \
    template bool stepLoop<MODE, QUANTIZE>(RateReducerState&, const float*, float*, int32_t,   \
                                           float);                                             \
    template void linearLoop<MODE, QUANTIZE>(RateReducerState&, const float*, float*, int32_t, \
                                             float, float);
GRINDLET_FAST_LOOPS(QUANT_MODE_FLOOR, true)
GRINDLET_FAST_LOOPS(QUANT_MODE_FLOOR, false)
GRINDLET_FAST_LOOPS(QUANT_MODE_ROUND, true)
GRINDLET_FAST_LOOPS(QUANT_MODE_ROUND, false)
GRINDLET_FAST_LOOPS(QUANT_MODE_INSIDE, true)
GRINDLET_FAST_LOOPS(QUANT_MODE_INSIDE, false)
#undef GRINDLET_FAST_LOOPS

}  // namespace grindlet::dsp::fast

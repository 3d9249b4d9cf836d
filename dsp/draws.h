// Settings drawn at random, for augmentation: each control a fixed value, a range (uniform, or
// on a log scale where the control's slider is logarithmic) or a list of choices, and a coin
// that leaves an item as it is. An item's draw is a function of a 64-bit key alone, made of
// splitmix64 and our own powers and logarithms, so it is the same on every platform and costs a
// few dozen operations.
#pragma once

#include <cstdint>

#include "controls.h"
#include "portable_math.h"

namespace grindlet::dsp {

struct DrawRule {
    enum class Kind : uint8_t { Fixed, Range, Choices };
    Kind kind = Kind::Fixed;
    double low = 0.0, high = 0.0;  // Fixed: low; Range: from low to high
    bool logarithmic = false;
    static constexpr int32_t MOST_CHOICES = 8;
    int16_t choices[MOST_CHOICES] = {};  // Choices: the indices drawn among
    int32_t choiceCount = 0;
};

struct DrawRules {
    double p = 1.0;  // the share of items the effect is applied to
    // Every control but the effect's seed, which each item draws for itself.
    DrawRule rules[CONTROL_COUNT];
};

// splitmix64's finalizer: every bit of the key reaches every bit of the result.
constexpr uint64_t mixedBits(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One key from two: a call's key and an item of it, a seed and a count.
constexpr uint64_t keyOf(uint64_t first, uint64_t second) {
    return mixedBits(mixedBits(first + 0x9E3779B97F4A7C15ull) ^ (second * 0xD1B54A32D192ED03ull));
}

// A number in [0, 1) with 53 bits, the `stream`th of a key.
inline double uniformOf(uint64_t key, uint64_t stream) {
    return double(keyOf(key, stream) >> 11) * 0x1p-53;
}

// The coin's stream: apart from every control's (a control's index), so that a control joining
// the table moves no item's coin.
constexpr uint64_t COIN_STREAM = uint64_t{1} << 20;

// Whether the coin says an item keyed `key` goes through the effect.
inline bool applied(const DrawRules& rules, uint64_t key) {
    return uniformOf(key, COIN_STREAM) < rules.p;
}

// The effect's random sequence an item follows: 0 to 2^24 - 1.
constexpr double SEED_SPAN = 16777216.0;

// Every control's value for an item keyed `key`, in the table's units (a choice: its index).
inline void drawValues(const DrawRules& rules, uint64_t key, double* values) {
    for (size_t c = 0; c < CONTROL_COUNT; ++c) {
        const DrawRule& rule = rules.rules[c];
        const double u = uniformOf(key, c);
        if (c == CONTROL_SEED) {
            values[c] = wholeBelow(u * SEED_SPAN);
            continue;
        }
        switch (rule.kind) {
            case DrawRule::Kind::Fixed:
                values[c] = rule.low;
                break;
            case DrawRule::Kind::Range:
                values[c] = rule.logarithmic && rule.low > 0.0
                                ? rule.low * powerOfTwo(u * binaryLogarithm(rule.high / rule.low))
                                : rule.low + (rule.high - rule.low) * u;
                if (values[c] > rule.high) values[c] = rule.high;
                break;
            case DrawRule::Kind::Choices: {
                auto k = static_cast<int32_t>(u * double(rule.choiceCount));
                if (k >= rule.choiceCount) k = rule.choiceCount - 1;
                values[c] = double(rule.choices[k]);
                break;
            }
        }
    }
}

}  // namespace grindlet::dsp

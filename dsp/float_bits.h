// A float's IEEE 754 bit pattern and back: how the signal code reads exponents, and how
// everything that compares samples compares them (bit for bit: -0.0, +0.0 and NaN payloads
// differ).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace grindlet {

inline uint32_t floatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float floatFromBits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A subnormal becomes a zero of its sign; anything else stays. Read from the bits, so a
// processor that treats subnormals as zero (DAZ) judges them as one that does not.
inline float withoutSubnormal(float v) {
    constexpr uint32_t EXPONENT = 0x7F800000u, SIGN = 0x80000000u;
    const uint32_t bits = floatBits(v);
    return (bits & EXPONENT) == 0 ? floatFromBits(bits & SIGN) : v;
}

// A double rounded to a float, a result under the smallest normal float as a zero of its sign.
// Decided on the double: a processor that flushes tiny results judges them before rounding, so
// it would flush a double just under the smallest normal that rounds up to it.
inline float floatWithoutSubnormal(double v) {
    constexpr double SMALLEST_NORMAL = 0x1p-126;
    constexpr double ROUNDS_TO_IT = 0x1p-126 - 0x1p-150;  // halfway from the largest subnormal
    const double magnitude = std::fabs(v);
    if (!(magnitude < SMALLEST_NORMAL)) return static_cast<float>(v);  // NaN too
    const double kept = magnitude >= ROUNDS_TO_IT ? SMALLEST_NORMAL : 0.0;
    return static_cast<float>(std::signbit(v) ? -kept : kept);
}

}  // namespace grindlet

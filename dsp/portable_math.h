// Sine, powers of two and binary logarithms with the same bits on every platform. The C
// library's sin, exp and pow differ in their last bits between glibc, MinGW (the x87 fsin) and
// WebAssembly runtimes; these use only + − × ÷ on doubles, floor, frexp and ldexp (or their
// exact stand-ins here), each of which IEEE 754 defines exactly, so a signal or a setting made
// with them is the same wherever it is made.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace grindlet {

// sin(2π·turns). The fraction of a turn is taken exactly (floor, and a difference of numbers
// within a factor of two of each other), folded into a quarter turn by sin's symmetries (each
// fold a Sterbenz-exact difference), then the Taylor series to x^19: |x| <= π/2 leaves an error
// below 5e-14, far under a float's step.
// floor(x), without the library call SSE2 leaves it to (it has no rounding instruction): a
// double of 2^52 or more in size is whole already, and below that the conversion to a 64-bit
// integer cuts toward zero exactly. A whole x (±0 among them) comes back as it is.
inline double wholeBelow(double x) {
    constexpr double WHOLE_FROM = 4503599627370496.0;  // 2^52
    if (!(std::fabs(x) < WHOLE_FROM)) return x;        // also NaN and the infinities
    const double cut = static_cast<double>(static_cast<int64_t>(x));
    if (cut == x) return x;
    return cut > x ? cut - 1.0 : cut;
}

inline double sineOfTurns(double turns) {
    constexpr double TWO_PI = 6.283185307179586476925286766559;
    double r = turns - wholeBelow(turns);  // [0, 1)
    if (r > 0.75) {
        r = r - 1.0;  // (-0.25, 0)
    } else if (r > 0.25) {
        r = 0.5 - r;  // [-0.25, 0.25)
    }
    const double x = r * TWO_PI;
    const double x2 = x * x;
    // 1/n! for odd n from 19 down to 3, alternating in sign; constants fold exactly at compile time.
    constexpr double C19 = -1.0 / 121645100408832000.0, C17 = 1.0 / 355687428096000.0,
                     C15 = -1.0 / 1307674368000.0, C13 = 1.0 / 6227020800.0,
                     C11 = -1.0 / 39916800.0, C9 = 1.0 / 362880.0, C7 = -1.0 / 5040.0,
                     C5 = 1.0 / 120.0, C3 = -1.0 / 6.0;
    double p = C19;
    p = p * x2 + C17;
    p = p * x2 + C15;
    p = p * x2 + C13;
    p = p * x2 + C11;
    p = p * x2 + C9;
    p = p * x2 + C7;
    p = p * x2 + C5;
    p = p * x2 + C3;
    return x + x * (x2 * p);
}

// 2^x. The whole part goes to the exponent exactly (ldexp); 2^f for |f| <= 1/2 is e^(f ln 2)
// by its Taylor series to the 14th power, in Horner's form with the coefficients 1/k! folded at
// compile time (no division at run time: the stages call this per sample): relative error
// below 1e-16.
inline double powerOfTwo(double x) {
    constexpr double LN2 = 0.69314718055994530941723212145818;
    constexpr double C[] = {1.0,
                            1.0,
                            1.0 / 2.0,
                            1.0 / 6.0,
                            1.0 / 24.0,
                            1.0 / 120.0,
                            1.0 / 720.0,
                            1.0 / 5040.0,
                            1.0 / 40320.0,
                            1.0 / 362880.0,
                            1.0 / 3628800.0,
                            1.0 / 39916800.0,
                            1.0 / 479001600.0,
                            1.0 / 6227020800.0,
                            1.0 / 87178291200.0};
    const double whole = wholeBelow(x + 0.5);
    const double y = (x - whole) * LN2;  // |y| <= 0.347
    double p = C[14];
    for (int k = 13; k >= 0; --k) p = p * y + C[k];
    // p·2^whole: a product with a normal power of two is exact, as ldexp is (called only
    // beyond, where the power or the result leaves the normal range).
    constexpr double MOST_DIRECT = 1000.0;
    if (!(std::fabs(whole) <= MOST_DIRECT)) return std::ldexp(p, static_cast<int>(whole));
    constexpr int EXPONENT_SHIFT = 52, EXPONENT_BIAS = 1023;
    const uint64_t scaleBits = static_cast<uint64_t>(static_cast<int64_t>(whole) + EXPONENT_BIAS)
                               << EXPONENT_SHIFT;
    double scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return p * scale;
}

// log2(x) for a finite x > 0. The exponent comes off exactly (frexp); for the mantissa m,
// scaled into [√½, √2), log2 m = 2·atanh(s)/ln 2 with s = (m − 1)/(m + 1), |s| < 0.172, by its
// odd series to s^23: relative error below 1e-16.
inline double binaryLogarithm(double x) {
    constexpr double LN2 = 0.69314718055994530941723212145818;
    constexpr double SQRT_HALF = 0.70710678118654752440084436210485;
    // 1/n for odd n, folded at compile time.
    constexpr double INVERSE[] = {1.0,        1.0 / 3.0,  1.0 / 5.0,  1.0 / 7.0,
                                  1.0 / 9.0,  1.0 / 11.0, 1.0 / 13.0, 1.0 / 15.0,
                                  1.0 / 17.0, 1.0 / 19.0, 1.0 / 21.0, 1.0 / 23.0};
    int exponent = 0;
    double m = std::frexp(x, &exponent);  // [0.5, 1)
    if (m < SQRT_HALF) {
        m = m * 2.0;  // exact
        exponent -= 1;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    double p = INVERSE[11];
    for (int k = 10; k >= 0; --k) p = p * s2 + INVERSE[k];
    return double(exponent) + 2.0 * s * p / LN2;
}

}  // namespace grindlet

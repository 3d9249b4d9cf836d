// The float values at the edges that the signal code's tests and fuzz targets all feed it:
// signed zeros, infinities, NaN of both signs, subnormals, the largest finite and the smallest
// normal floats, and 2^23, from which a float has no fraction. One table; each user adds the
// ordinary values of its own domain with withSpecialFloats.
#pragma once

#include <array>
#include <cstddef>
#include <limits>

namespace grindlet::test {

inline constexpr float SPECIAL_FLOATS[] = {
    0.0f,
    -0.0f,
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::quiet_NaN(),
    -std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::denorm_min(),  // 1e-45
    -std::numeric_limits<float>::denorm_min(),
    1e-40f,  // a subnormal with more bits
    -1e-40f,
    std::numeric_limits<float>::max(),
    -std::numeric_limits<float>::max(),
    std::numeric_limits<float>::min(),  // the smallest normal
    -std::numeric_limits<float>::min(),
    3e38f,
    8388608.0f,  // 2^23
};

inline constexpr size_t SPECIAL_FLOAT_COUNT = sizeof SPECIAL_FLOATS / sizeof SPECIAL_FLOATS[0];

// A domain's own values followed by the special ones, as one table.
template <size_t N>
constexpr std::array<float, N + SPECIAL_FLOAT_COUNT> withSpecialFloats(const float (&own)[N]) {
    std::array<float, N + SPECIAL_FLOAT_COUNT> all{};
    for (size_t i = 0; i < N; ++i) all[i] = own[i];
    for (size_t i = 0; i < SPECIAL_FLOAT_COUNT; ++i) all[N + i] = SPECIAL_FLOATS[i];
    return all;
}

}  // namespace grindlet::test

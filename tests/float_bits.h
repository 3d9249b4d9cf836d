// Float comparison by bit pattern, so that -0.0 and +0.0 (and NaN payloads) differ.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace grindlet::test {

inline uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline ::testing::AssertionResult sameBits(float actual, float expected) {
    if (bitsOf(actual) == bitsOf(expected)) return ::testing::AssertionSuccess();
    char text[160];
    std::snprintf(text, sizeof text, "%.9g (0x%08x), expected %.9g (0x%08x)", actual,
                  bitsOf(actual), expected, bitsOf(expected));
    return ::testing::AssertionFailure() << text;
}

inline ::testing::AssertionResult sameBits(const std::vector<float>& actual,
                                           const std::vector<float>& expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "size " << actual.size() << ", expected " << expected.size();
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        auto result = sameBits(actual[i], expected[i]);
        if (!result) return ::testing::AssertionFailure() << "sample " << i << ": " << result.message();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace grindlet::test

// Float comparison by bit pattern, so that -0.0 and +0.0 (and NaN payloads) differ.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/float_bits.h"

namespace grindlet::test {

inline ::testing::AssertionResult sameBits(float actual, float expected) {
    if (floatBits(actual) == floatBits(expected)) return ::testing::AssertionSuccess();
    char text[160];
    std::snprintf(text, sizeof text, "%.9g (0x%08x), expected %.9g (0x%08x)", actual,
                  floatBits(actual), expected, floatBits(expected));
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
        if (!result)
            return ::testing::AssertionFailure() << "sample " << i << ": " << result.message();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace grindlet::test

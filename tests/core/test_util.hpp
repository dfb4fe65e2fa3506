// Helpers shared by the core tests: the exact bits of a float, and bit-exact comparison of float lists.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

namespace tessaray::core::test {

// A float's exact bits, so that -0.0 and NaN payloads compare as they are.
inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Element-wise bit equality of two float lists.
inline void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(bits(got[i]), bits(want[i])) << "element " << i;
}

}  // namespace tessaray::core::test

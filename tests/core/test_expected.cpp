// Tests of Expected and the TESSARAY_TRY macros.
#include <gtest/gtest.h>

#include <string>

#include "core/expected.hpp"

namespace tessaray {
namespace {

// An error that cannot be made without its text.
struct Refusal {
    explicit Refusal(std::string t) : text(std::move(t)) {}
    std::string text;
};

Expected<void, Refusal> check(int n) {
    if (n < 0) return unexpected(Refusal("negative"));
    return {};
}

Expected<int, Refusal> half(int n) {
    TESSARAY_TRY(check(n));
    if (n % 2 != 0) return unexpected(Refusal("odd"));
    return n / 2;
}

// Two assignments on one line need temporaries of their own.
Expected<int, Refusal> quarter_sum(int a, int b) {
    // clang-format off
    TESSARAY_TRY_ASSIGN(int x, half(a)); TESSARAY_TRY_ASSIGN(int y, half(b));
    // clang-format on
    TESSARAY_TRY_ASSIGN(x, half(x));
    return x + y;
}

TEST(Expected, VoidWithAnErrorThatHasNoDefault) {
    EXPECT_TRUE(check(1).has_value());
    auto refused = check(-1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "negative");
}

TEST(Expected, TryPassesTheFirstError) {
    EXPECT_EQ(quarter_sum(8, 2).value(), 3);
    EXPECT_EQ(quarter_sum(-8, 3).error().text, "negative");
    EXPECT_EQ(quarter_sum(8, 3).error().text, "odd");
    EXPECT_EQ(quarter_sum(6, 2).error().text, "odd");
}

}  // namespace
}  // namespace tessaray

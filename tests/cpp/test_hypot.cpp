// hypot gives the reference library's bits on every machine: the values of
// glibc 2.35+ on x86-64, where the reference results were made.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "linalg/hypot.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kMin = std::numeric_limits<double>::denorm_min();

struct Case {
    double x, y, want;
};

class Hypot : public ::testing::TestWithParam<Case> {};

TEST_P(Hypot, EdgeValues) {
    const Case c = GetParam();
    const double got = orvelle::hypot(c.x, c.y);
    if (std::isnan(c.want))
        EXPECT_TRUE(std::isnan(got)) << got;
    else
        EXPECT_EQ(got, c.want);
}

// Infinity wins over NaN; no overflow near the top of the range, no loss
// to underflow at the bottom.
INSTANTIATE_TEST_SUITE_P(
    Values, Hypot,
    ::testing::Values(Case{3, -4, 5}, Case{0, 0, 0}, Case{-0.0, 7, 7}, Case{kInf, kNan, kInf}, Case{kNan, -kInf, kInf},
                      Case{kNan, 1, kNan}, Case{1e308, 1e308, 1.4142135623730951e308},
                      Case{3 * kMin, 4 * kMin, 5 * kMin}, Case{1, 1e-300, 1}, Case{0x1p-1000, 0x1p-1000, 0x1.6a09e667f3bcdp-1000}));

// The reference library on the machine kind the reference results come from.
TEST(Hypot, SameBitsAsGlibcOnX86_64) {
#if defined(__x86_64__) && defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 35)
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.5, 1.0);
    std::uniform_int_distribution<int> exponent(-1074, 1023);
    int differ = 0;
    for (int i = 0; i < 200000; ++i) {
        const double x = std::ldexp(unit(rng), exponent(rng));
        // Half the pairs of like size, where the correction step matters most.
        const double y = i % 2 ? x * unit(rng) * 2.0 : std::ldexp(unit(rng), exponent(rng));
        const double a = orvelle::hypot(x, y), b = std::hypot(x, y);
        if (std::memcmp(&a, &b, sizeof a) != 0 && ++differ <= 3) ADD_FAILURE() << x << ", " << y;
    }
    EXPECT_EQ(differ, 0);
#else
    GTEST_SKIP() << "the reference is glibc 2.35+ on x86-64";
#endif
}

}  // namespace

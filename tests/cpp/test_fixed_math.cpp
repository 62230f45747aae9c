// exp, log and lgamma of our own: close to the C library's everywhere, and
// the bits written below on every machine (gcc and clang at any -march, zig's
// clang for aarch64 gave these).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "util/fixed_math.hpp"

namespace orvelle {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::int64_t ulps(double a, double b) {
    std::int64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x > y ? x - y : y - x;
}

// Against glibc over the ranges the t distribution reaches and beyond: exp and
// log within 2 units in the last place, lgamma within 2e-14 of max(1, |value|)
// (below 16 it is lgamma(x + n) - log of a product, which cancels).
TEST(FixedMath, CloseToTheLibrary) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> exponent(-700, 700), argument(-740, 709), small(-5, 16);
    std::int64_t worst_exp = 0, worst_log = 0;
    double worst_lgamma = 0;
    for (int i = 0; i < 200000; ++i) {
        const double e = argument(rng), l = std::exp(exponent(rng)), g = std::exp(small(rng));
        worst_exp = std::max(worst_exp, ulps(fixed_exp(e), std::exp(e)));
        worst_log = std::max(worst_log, ulps(fixed_log(l), std::log(l)));
        worst_lgamma = std::max(worst_lgamma, std::fabs(fixed_lgamma(g) - std::lgamma(g)) /
                                                  std::max(1.0, std::fabs(std::lgamma(g))));
    }
    EXPECT_LE(worst_exp, 2);
    EXPECT_LE(worst_log, 2);
    EXPECT_LE(worst_lgamma, 2e-14);
}

struct Bits {
    double (*f)(double);
    double x, want;
};

class FixedBits : public ::testing::TestWithParam<Bits> {};

TEST_P(FixedBits, SameOnEveryMachine) {
    const Bits b = GetParam();
    const double got = b.f(b.x);
    if (std::isnan(b.want))
        EXPECT_TRUE(std::isnan(got)) << got;
    else
        EXPECT_EQ(got, b.want) << std::hexfloat << got << " for " << b.x;
}

INSTANTIATE_TEST_SUITE_P(
    Values, FixedBits,
    ::testing::Values(Bits{fixed_exp, -20.5, 0x1.57a3afeed00acp-30}, Bits{fixed_exp, 0.3, 0x1.599058c8c1a96p+0},
                      Bits{fixed_exp, 1.0, 0x1.5bf0a8b14576ap+1}, Bits{fixed_exp, 100.25, 0x1.8c39b9134bac4p+144},
                      Bits{fixed_log, 1e-5, -0x1.7069e2aa2aa5bp+3}, Bits{fixed_log, 0.75, -0x1.269621134db92p-2},
                      Bits{fixed_log, 3.0, 0x1.193ea7aad030bp+0}, Bits{fixed_log, 1e10, 0x1.7069e2aa2aa5bp+4},
                      Bits{fixed_lgamma, 0.5, 0x1.250d048e7a1cp-1}, Bits{fixed_lgamma, 4.5, 0x1.3a140a3a623dp+1},
                      Bits{fixed_lgamma, 14.5, 0x1.7dcde38e22919p+4},
                      Bits{fixed_lgamma, 50000.5, 0x1.df7b755276d48p+18},
                      // The edges: no overflow, no NaN from a finite argument in range.
                      Bits{fixed_exp, 0.0, 1.0}, Bits{fixed_exp, 710.0, kInf}, Bits{fixed_exp, -746.0, 0.0},
                      Bits{fixed_exp, -kInf, 0.0}, Bits{fixed_exp, kNan, kNan}, Bits{fixed_log, 1.0, 0.0},
                      Bits{fixed_log, 0.0, -kInf}, Bits{fixed_log, -1.0, kNan}, Bits{fixed_log, kInf, kInf},
                      Bits{fixed_lgamma, 0.0, kNan}, Bits{fixed_lgamma, -2.5, kNan},
                      Bits{fixed_lgamma, kInf, kInf}));

}  // namespace
}  // namespace orvelle

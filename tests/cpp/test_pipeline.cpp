#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analysis/pipeline.hpp"

using namespace orvelle;

struct CountCase {
    double ratio;
    std::size_t lines;
    std::int64_t count;
};

class RandomTokenCount : public ::testing::TestWithParam<CountCase> {};

// ratio × lines, truncated toward zero, saturated; NaN gives 0. Zero and
// negative counts are passed on as they are.
TEST_P(RandomTokenCount, TruncatesAndSaturates) {
    EXPECT_EQ(random_token_count(GetParam().ratio, GetParam().lines), GetParam().count);
}

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Rules, RandomTokenCount,
    ::testing::Values(CountCase{0.8, 3, 2}, CountCase{0.5, 3, 1}, CountCase{0.0, 3, 0}, CountCase{-1.0, 3, -3},
                      CountCase{-0.5, 3, -1}, CountCase{std::nan(""), 3, 0}, CountCase{0.8, 0, 0},
                      CountCase{2.0, 1159, 2318}, CountCase{1e300, 3, kMax}, CountCase{-1e300, 3, kMin},
                      CountCase{std::numeric_limits<double>::infinity(), 1, kMax},
                      CountCase{9223372036854775808.0, 1, kMax}, CountCase{-9223372036854775808.0, 1, kMin}));

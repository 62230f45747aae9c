// Mean bias ratio per space, plain and of absolute values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "calc_support.hpp"
#include "space/calculator.hpp"

namespace orvelle {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Calculator with_ratios(const std::vector<std::pair<std::string, std::vector<double>>>& spaces) {
    Calculator calc;
    for (const auto& [name, values] : spaces) {
        OrderedTable<double> t;
        for (std::size_t j = 0; j < values.size(); ++j) t.insert(test::numbered("t", j), values[j]);
        calc.bias.insert(name, t);
    }
    return calc;
}

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || test::bits_of(a) == test::bits_of(b);
}

struct AverageCase {
    const char* label;
    std::vector<double> ratios;
    double plain;
    double absolute;
    friend void PrintTo(const AverageCase& c, std::ostream* os) { *os << c.label; }
};

class BiasAverages : public ::testing::TestWithParam<AverageCase> {};

TEST_P(BiasAverages, PlainAndAbsolute) {
    const AverageCase& c = GetParam();
    const Calculator calc = with_ratios({{"Space of he", c.ratios}});
    const OrderedTable<double> plain = calc.bias_sum_average();
    const OrderedTable<double> absolute = calc.bias_asb_sum_average();
    ASSERT_EQ(plain.size(), 1u);
    ASSERT_EQ(absolute.size(), 1u);
    ASSERT_NE(plain.find("Space of he"), nullptr);
    ASSERT_NE(absolute.find("Space of he"), nullptr);
    EXPECT_TRUE(same(*plain.find("Space of he"), c.plain)) << c.label << ": " << *plain.find("Space of he");
    EXPECT_TRUE(same(*absolute.find("Space of he"), c.absolute)) << c.label << ": " << *absolute.find("Space of he");
}

INSTANTIATE_TEST_SUITE_P(
    Table, BiasAverages,
    ::testing::Values(
        AverageCase{"single ratio", {0.5}, 0.5, 0.5},
        AverageCase{"mixed signs", {1.0, -3.0}, -1.0, 2.0},
        AverageCase{"left to right sum", {0.1, 0.2, 0.3}, ((0.1 + 0.2) + 0.3) / 3.0, ((0.1 + 0.2) + 0.3) / 3.0},
        // Summed backwards the first is 1 / 3, the second 0.
        AverageCase{"insertion order decides cancellation", {1.0, 1e16, -1e16}, 0.0, 6666666666666667.0},
        AverageCase{"insertion order decides cancellation, reversed", {-1e16, 1e16, 1.0}, 1.0 / 3.0,
                    6666666666666667.0},
        AverageCase{"negative zero only", {-0.0}, 0.0, 0.0},
        AverageCase{"NaN propagates", {1.0, kNaN, 2.0}, kNaN, kNaN},
        AverageCase{"minus infinity", {-kInf, 1.0}, -kInf, kInf},
        AverageCase{"opposite infinities", {kInf, -kInf}, kNaN, kInf},
        AverageCase{"empty table", {}, kNaN, kNaN}),
    [](const auto& info) { return test::numbered("case", info.index); });

TEST(BiasAverages, KeysInSpaceOrderAndStableOnRepeat) {
    const Calculator calc = with_ratios({{"Space of she", {1, 2}}, {"Space of he", {-1}}, {"Space of it", {3}}});
    for (int repeat = 0; repeat < 2; ++repeat) {
        for (const OrderedTable<double>& t : {calc.bias_sum_average(), calc.bias_asb_sum_average()}) {
            ASSERT_EQ(t.size(), 3u);
            EXPECT_EQ(t.entry(0).first, "Space of she");
            EXPECT_EQ(t.entry(1).first, "Space of he");
            EXPECT_EQ(t.entry(2).first, "Space of it");
        }
    }
    EXPECT_EQ(*calc.bias_sum_average().find("Space of she"), 1.5);
    EXPECT_EQ(*calc.bias_asb_sum_average().find("Space of he"), 1.0);
}

// Without NaN, the absolute mean bounds the plain mean's magnitude, with
// equality when every ratio has the same sign.
TEST(BiasAverages, AbsoluteBoundsPlain) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal(0.2, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> v(1 + rng() % 300);
        for (double& x : v) x = normal(rng);
        std::vector<double> pos(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) pos[i] = std::fabs(v[i]);
        const Calculator calc = with_ratios({{"mixed", v}, {"positive", pos}});
        const auto plain = calc.bias_sum_average();
        const auto absolute = calc.bias_asb_sum_average();
        EXPECT_GE(*absolute.find("mixed"), std::fabs(*plain.find("mixed")));
        EXPECT_EQ(*absolute.find("positive"), *plain.find("positive"));
    }
}

}  // namespace
}  // namespace orvelle

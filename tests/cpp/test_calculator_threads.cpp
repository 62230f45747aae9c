// The batched similarity kernel: every value equal bit for bit to the single
// pair function, whatever the thread count, lane tail or number of centres.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "calc_support.hpp"
#include "space/calculator.hpp"
#include "space/similarity_table.hpp"

namespace orvelle {
namespace {

struct Shape {
    std::size_t rows;
    std::size_t width;
    std::size_t centres;
    friend void PrintTo(const Shape& s, std::ostream* os) {
        *os << s.rows << " rows x " << s.width << " against " << s.centres << " centres";
    }
};

class SimilarityTable : public ::testing::TestWithParam<Shape> {};

TEST_P(SimilarityTable, EqualsSinglePairOnEveryThreadCount) {
    const Shape sh = GetParam();
    std::mt19937_64 rng(sh.rows * 1000003 + sh.width * 101 + sh.centres);
    std::normal_distribution<double> normal(0.0, 3.0);
    std::vector<std::vector<double>> data(sh.rows, std::vector<double>(sh.width));
    for (auto& row : data) {
        for (double& x : row) x = normal(rng);
    }
    // Rows the kernel must not treat specially.
    if (sh.rows > 3 && sh.width > 0) {
        std::fill(data[1].begin(), data[1].end(), 0.0);
        data[2][0] = std::numeric_limits<double>::quiet_NaN();
        data[3][sh.width - 1] = std::numeric_limits<double>::infinity();
    }
    std::vector<std::vector<double>> centres(sh.centres, std::vector<double>(sh.width));
    for (auto& c : centres) {
        for (double& x : c) x = normal(rng);
    }
    if (sh.centres > 1) std::fill(centres[1].begin(), centres[1].end(), 0.0);

    std::vector<const double*> rows;
    for (const auto& row : data) rows.push_back(row.data());

    std::vector<std::uint64_t> expected;
    for (std::size_t s = 0; s < sh.centres; ++s) {
        for (std::size_t j = 0; j < sh.rows; ++j) expected.push_back(test::bits_of(cos_similarity(data[j], centres[s])));
    }
    for (unsigned threads : {1u, 2u, 3u, 8u, 64u}) {
        const std::vector<double> got = cos_similarity_table(rows, sh.width, centres, threads);
        ASSERT_EQ(got.size(), expected.size());
        std::size_t wrong = 0;
        for (std::size_t k = 0; k < got.size(); ++k) wrong += test::bits_of(got[k]) != expected[k];
        EXPECT_EQ(wrong, 0u) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SimilarityTable,
                         ::testing::Values(Shape{0, 4, 2}, Shape{1, 1, 1}, Shape{3, 5, 1},
                                           Shape{4, 8, 4}, Shape{5, 7, 5}, Shape{130, 33, 3},
                                           Shape{1003, 512, 9}, Shape{64, 0, 2}));

}  // namespace
}  // namespace orvelle

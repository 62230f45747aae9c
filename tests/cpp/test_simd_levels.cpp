// The kernels at every instruction-set level this CPU runs, against the
// narrowest level, byte for byte; how ORVELLE_SIMD picks a level. The machine
// code of a portable build is checked on the installed module
// (tests/python/test_simd_levels.py), a source build's and the wheels' alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "at_level.hpp"
#include "test_support.hpp"
#include "linalg/pca.hpp"
#include "linalg/products.hpp"
#include "linalg/simd_level.hpp"
#include "linalg/svd.hpp"
#include "space/similarity_table.hpp"

using namespace orvelle;
using orvelle::testing::AtLevel;
using orvelle::testing::level_name;
using orvelle::test::panic_message;

namespace {

// Everything the kernels compute on one data set.
struct Results {
    std::vector<double> means, gram, projection, singular_values, u, diagonal, off_diagonal, u_b, similarities;
};

Matrix random_data(std::size_t n, std::size_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    Matrix x(n, d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) x(i, j) = g(rng) * (1.0 + double(j % 7)) + double(j % 3);
    return x;
}

Results run_kernels(const Matrix& x, std::size_t k, unsigned threads) {
    Results r;
    r.means = column_means(x, threads);
    const Matrix s = centred_gram(x, r.means, threads, [] {});
    r.gram = s.data;
    Matrix w(x.cols, k);
    for (std::size_t i = 0; i < w.data.size(); ++i) w.data[i] = s.data[i % s.data.size()] / double(i + 1);
    centred_product(x, r.means, w, threads, [] {}, [&](std::size_t, const double* row) {
        r.projection.insert(r.projection.end(), row, row + k);
    });
    Svd dec = svd(s, threads);
    r.singular_values = dec.singular_values;
    r.u = dec.u.data;
    Bidiagonal b = bidiagonalize(s, threads);
    r.diagonal = b.diagonal;
    r.off_diagonal = b.off_diagonal;
    r.u_b = b.u.data;
    // Five centres: one pass of four and one of one; rows leave partial lane groups.
    std::vector<const double*> rows;
    for (std::size_t i = 0; i < x.rows; ++i) rows.push_back(x.row(i));
    std::vector<std::vector<double>> centres;
    for (std::size_t c = 0; c < 5; ++c) centres.emplace_back(x.row(c % x.rows), x.row(c % x.rows) + x.cols);
    for (double& v : centres[1]) v = -v;
    r.similarities = cos_similarity_table(rows, x.cols, centres, threads);
    return r;
}

::testing::AssertionResult same_bytes(const char* what, const std::vector<double>& got,
                                      const std::vector<double>& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << what << ": " << got.size() << " values, want " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0)
            return ::testing::AssertionFailure() << what << "[" << i << "]: " << got[i] << " != " << want[i];
    return ::testing::AssertionSuccess();
}

struct Shape {
    std::size_t n, d, k;
};

// Dimensions on both sides of the small-product cut (5 / 6) and of the
// 256-long blocks, partial lane groups and tiles.
class LevelsAgree : public ::testing::TestWithParam<Shape> {};

TEST_P(LevelsAgree, EveryKernelBitForBit) {
    const Shape sh = GetParam();
    const Matrix x = random_data(sh.n, sh.d, unsigned(sh.n * 1000 + sh.d));
    const std::vector<SimdLevel> levels = simd_levels();
    Results want;
    {
        AtLevel at(levels.front());
        want = run_kernels(x, sh.k, 3);
    }
    ASSERT_FALSE(want.u.empty());
    for (SimdLevel level : levels) {
        SCOPED_TRACE(level_name(level) + " against " + level_name(levels.front()));
        AtLevel at(level);
        ASSERT_EQ(simd_level(), level);
        const Results got = run_kernels(x, sh.k, 3);
        EXPECT_TRUE(same_bytes("column means", got.means, want.means));
        EXPECT_TRUE(same_bytes("Gram matrix", got.gram, want.gram));
        EXPECT_TRUE(same_bytes("projection", got.projection, want.projection));
        EXPECT_TRUE(same_bytes("singular values", got.singular_values, want.singular_values));
        EXPECT_TRUE(same_bytes("U", got.u, want.u));
        EXPECT_TRUE(same_bytes("bidiagonal", got.diagonal, want.diagonal));
        EXPECT_TRUE(same_bytes("off-diagonal", got.off_diagonal, want.off_diagonal));
        EXPECT_TRUE(same_bytes("U_b", got.u_b, want.u_b));
        EXPECT_TRUE(same_bytes("similarities", got.similarities, want.similarities));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LevelsAgree,
                         ::testing::Values(Shape{1, 1, 1}, Shape{2, 5, 5}, Shape{5, 6, 6}, Shape{6, 6, 6},
                                           Shape{7, 6, 1}, Shape{257, 1, 1}, Shape{6, 255, 5},
                                           Shape{300, 255, 6}, Shape{255, 257, 257}, Shape{513, 40, 25}),
                         [](const auto& info) {
                             const Shape s = info.param;
                             return "n" + std::to_string(s.n) + "_d" + std::to_string(s.d) + "_k" +
                                    std::to_string(s.k);
                         });

TEST(SimdLevels, ActiveLevelIsRunnableAndNarrowestComesFirst) {
    const std::vector<SimdLevel> levels = simd_levels();
    ASSERT_FALSE(levels.empty());
    EXPECT_TRUE(levels.front() == SimdLevel::baseline || levels.front() == SimdLevel::native);
    EXPECT_NE(std::find(levels.begin(), levels.end(), simd_level()), levels.end());
}

TEST(SimdLevels, LevelOutsideTheBuildOrCpuIsRefused) {
    const std::vector<SimdLevel> levels = simd_levels();
    const SimdLevel before = simd_level();
    std::size_t refused = 0;
    for (SimdLevel level : {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512, SimdLevel::native}) {
        if (std::find(levels.begin(), levels.end(), level) != levels.end()) continue;
        EXPECT_NE(panic_message([&] { use_simd_level(level); }).find("SIMD level " + level_name(level) +
                                                                      " is not available"),
                  std::string::npos);
        EXPECT_EQ(simd_level(), before);
        ++refused;
    }
    EXPECT_GE(refused, 1u);  // no build holds both native and the portable levels
}

struct Request {
    const char* value;
    std::vector<SimdLevel> runnable;
    SimdLevel level;
    const char* note;  // "" when none
};

class EnvironmentChoice : public ::testing::TestWithParam<Request> {};

TEST_P(EnvironmentChoice, PicksLevelAndSaysWhyWhenItCannot) {
    const Request& r = GetParam();
    const SimdChoice c = choose_simd_level(r.value, r.runnable);
    EXPECT_EQ(level_name(c.level), level_name(r.level));
    EXPECT_EQ(c.note, r.note);
}

const std::vector<SimdLevel> kUpToAvx2 = {SimdLevel::baseline, SimdLevel::avx2};

INSTANTIATE_TEST_SUITE_P(
    Requests, EnvironmentChoice,
    ::testing::Values(
        Request{nullptr, kUpToAvx2, SimdLevel::avx2, ""}, Request{"", kUpToAvx2, SimdLevel::avx2, ""},
        Request{"baseline", kUpToAvx2, SimdLevel::baseline, ""}, Request{"avx2", kUpToAvx2, SimdLevel::avx2, ""},
        Request{"avx512", kUpToAvx2, SimdLevel::avx2,
                "orvelle: ORVELLE_SIMD=avx512: this build or CPU cannot run that level (it runs baseline, avx2); "
                "running at avx2.\n"},
        Request{"AVX2", kUpToAvx2, SimdLevel::avx2,
                "orvelle: ORVELLE_SIMD=AVX2: not a level (it runs baseline, avx2); running at avx2.\n"},
        Request{"avx2", {SimdLevel::native}, SimdLevel::native,
                "orvelle: ORVELLE_SIMD=avx2: this build or CPU cannot run that level (it runs native); "
                "running at native.\n"}));

// The levels come from CPUID directly (clang's runtime cannot name them):
// they must match what GCC's own check finds on this processor.
TEST(PortableBuild, FindsTheLevelsGccFinds) {
#if defined(__x86_64__) && !defined(__clang__) && __GNUC__ >= 12
    const std::vector<SimdLevel> levels = simd_levels();
    if (levels.front() == SimdLevel::native) GTEST_SKIP() << "built with ORVELLE_NATIVE";
    auto has = [&](SimdLevel l) { return std::find(levels.begin(), levels.end(), l) != levels.end(); };
    __builtin_cpu_init();
    EXPECT_EQ(has(SimdLevel::avx2), __builtin_cpu_supports("x86-64-v3") != 0);
    EXPECT_EQ(has(SimdLevel::avx512), __builtin_cpu_supports("x86-64-v4") != 0);
#else
    GTEST_SKIP() << "needs GCC 12 on x86-64";
#endif
}

}  // namespace

// The kernels at every instruction-set level this CPU runs, against the
// narrowest level, byte for byte; how ORVELLE_SIMD picks a level; and the
// machine code of a portable build: wide instructions only in the wider
// kernel copies, no fused multiply-add anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <set>

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

// Beyond baseline x86-64 (SSE2): VEX and EVEX forms (v...), AVX-512 masks
// (k...), BMI, LZCNT, MOVBE, POPCNT. tzcnt is left out: GCC writes the
// baseline bsf with a rep prefix, which objdump shows as tzcnt.
const std::regex kWide("(v|k)[a-z0-9]+|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|lzcnt|"
                       "movbe|popcnt");
const std::regex kFused("vf(n)?m(add|sub)[a-z0-9]*");

TEST(PortableBuild, WideInstructionsOnlyInTheWiderKernelCopies) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "x86-64 only";
#endif
    if (simd_levels().front() == SimdLevel::native) GTEST_SKIP() << "built with ORVELLE_NATIVE";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    FILE* pipe = popen(("objdump -d --no-show-raw-insn -C '" + self + "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string function;
    std::set<std::string> wide, fused;
    std::size_t instructions = 0, wide_in_copies = 0;
    char buf[8192];
    while (std::fgets(buf, sizeof buf, pipe)) {
        const std::string line = buf;
        const std::size_t open = line.find(" <");
        if (line.size() > 3 && line.compare(line.size() - 3, 3, ">:\n") == 0 && open != std::string::npos) {
            function = line.substr(open + 2, line.size() - open - 5);
            continue;
        }
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string op = line.substr(tab + 1, line.find_first_of(" \n", tab + 1) - tab - 1);
        ++instructions;
        if (std::regex_match(op, kFused)) fused.insert(function);
        if (!std::regex_match(op, kWide)) continue;
        // A copy compiled for a wider level only runs where that level was found.
        if (function.find("simd_avx2::") != std::string::npos || function.find("simd_avx512::") != std::string::npos)
            ++wide_in_copies;
        else if (function.ends_with("_bmi2") || function.find("_bmi2.") != std::string::npos ||
                 (function.starts_with("HUF_decompress") && function.find("_fast") != std::string::npos))
            ;  // libzstd's BMI2 decoders, entered only where its own check finds BMI2
        else
            wide.insert(function);
    }
    pclose(pipe);
    if (instructions == 0) GTEST_SKIP() << "objdump is not installed";
    const std::vector<SimdLevel> levels = simd_levels();
    if (std::find(levels.begin(), levels.end(), SimdLevel::avx2) != levels.end()) {
        EXPECT_GT(wide_in_copies, 0u);  // the wider copies are there and the scan sees them
    }
    // Sums are rounded step by step: a fused multiply-add changes the bits.
    EXPECT_TRUE(fused.empty()) << fused.size() << " functions, first " << *fused.begin();
    // A baseline function with one of these stops the program on an older processor.
    EXPECT_TRUE(wide.empty()) << wide.size() << " functions, first " << *wide.begin();
}

}  // namespace

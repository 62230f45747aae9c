// Token lists as clouds of vectors: reduction, standardisation, centre.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "golden_svd.hpp"
#include "test_support.hpp"
#include "space/geometry.hpp"
#include "util/panic.hpp"
#include "linalg/pca.hpp"

using namespace orvelle;
using orvelle::test::panic_message;
using namespace orvelle::fixtures;

namespace {

std::string name(std::size_t i) {
    std::string s = "w";
    s += std::to_string(i);
    return s;
}

std::vector<Token> tokens_of(const std::vector<std::vector<double>>& vectors) {
    std::vector<Token> out;
    for (std::size_t i = 0; i < vectors.size(); ++i) out.push_back(Token{name(i), vectors[i], 10 + i, 100 + i});
    return out;
}

std::vector<std::vector<double>> vectors_of(const std::vector<Token>& tokens) {
    std::vector<std::vector<double>> out;
    for (const Token& t : tokens) out.push_back(t.embedding);
    return out;
}

void expect_same_tokens_apart_from_vectors(const std::vector<Token>& got, std::size_t n) {
    ASSERT_EQ(got.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(got[i].text, name(i));
        EXPECT_EQ(got[i].layer_index, 10 + i);
        EXPECT_EQ(got[i].line_index, 100 + i);
    }
}


const double kNaN = std::nan("");

TEST(Geometry, CentreAndScaling) {
    struct Case {
        const char* what;
        std::vector<std::vector<double>> in;
        std::vector<double> centre;
        std::vector<std::vector<double>> scaled;  // NaN where NaN is expected
    };
    const std::vector<Case> cases{
        {"two tokens", {{1, 2}, {3, 6}}, {2, 4}, {{-1, -1}, {1, 1}}},
        {"one token", {{1.5, -2}}, {1.5, -2}, {{kNaN, kNaN}}},
        {"constant component", {{1, 5}, {3, 5}, {5, 5}}, {3, 5},
         {{-1.2247448713915889, kNaN}, {0, kNaN}, {1.2247448713915889, kNaN}}},
        {"three tokens", {{0, 1}, {0, 2}, {3, 6}}, {1, 3},
         {{-0.70710678118654746, -0.92582009977255142}, {-0.70710678118654746, -0.46291004988627571},
          {1.4142135623730949, 1.3887301496588271}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(get_center(tokens_of(c.in)), c.centre);
        const std::vector<Token> scaled = scale_tokens(tokens_of(c.in));
        expect_same_tokens_apart_from_vectors(scaled, c.in.size());
        for (std::size_t i = 0; i < c.in.size(); ++i) EXPECT_TRUE(same(scaled[i].embedding, c.scaled[i])) << i;
    }
}

TEST(Geometry, ScalingFollowsItsOrderOfAdditions) {
    // Plain sums over the tokens in order, population deviation, subtraction
    // before division: written out and compared bit for bit.
    std::mt19937_64 rng(4);
    std::normal_distribution<double> g;
    std::vector<std::vector<double>> in(37, std::vector<double>(21));
    for (auto& v : in)
        for (double& x : v) x = g(rng) * 3 + 1;
    const std::size_t n = in.size(), d = in[0].size();
    std::vector<double> mean(d, 0.0), sd(d, 0.0);
    for (std::size_t j = 0; j < d; ++j) {
        for (const auto& v : in) mean[j] = mean[j] + v[j];
        mean[j] = mean[j] / double(n);
        for (const auto& v : in) sd[j] = sd[j] + (v[j] - mean[j]) * (v[j] - mean[j]);
        sd[j] = std::sqrt(sd[j] / double(n));
    }
    EXPECT_TRUE(same(get_center(tokens_of(in)), mean));
    const auto scaled = vectors_of(scale_tokens(tokens_of(in)));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) ASSERT_EQ(scaled[i][j], (in[i][j] - mean[j]) / sd[j]) << i << "," << j;
}

TEST(Geometry, CentreEdges) {
    EXPECT_EQ(get_center(tokens_of({{}, {}})), std::vector<double>{});
    // A longer vector's extra components are not read.
    EXPECT_EQ(get_center(tokens_of({{1, 2}, {3, 4, 99}})), (std::vector<double>{2, 3}));
    // One token is never compared, so its NaN sum passes through.
    EXPECT_TRUE(std::isnan(get_center(tokens_of({{kNaN, 1}}))[0]));
}

TEST(Geometry, Failures) {
    const std::string none = "called `Option::unwrap()` on a `None` value";
    struct Case {
        const char* what;
        std::function<void()> call;
        std::string message;
    };
    const std::vector<Case> cases{
        {"centre of nothing", [] { get_center({}); }, "index out of bounds: the len is 0 but the index is 0"},
        {"scaling of nothing", [] { scale_tokens({}); }, "index out of bounds: the len is 0 but the index is 0"},
        {"NaN sum", [] { get_center(tokens_of({{1, 2}, {kNaN, 0}})); }, none},
        {"infinities cancel to NaN", [] { get_center(tokens_of({{1, 2}, {INFINITY, -INFINITY}, {3, 3}})); }, none},
        {"NaN sum when scaling", [] { scale_tokens(tokens_of({{kNaN}, {1}})); }, none},
        {"shorter vector", [] { get_center(tokens_of({{1, 2, 3}, {1, 2, 3}, {1}, {1, 2}})); },
         "index out of bounds: the len is 1 but the index is 1"},
        {"longer vector when scaling", [] { scale_tokens(tokens_of({{1, 2}, {3, 4, 5}})); },
         "index out of bounds: the len is 2 but the index is 2"},
        {"pca of nothing", [] { pca({}, 2); }, "At least one row must be given."},
        {"pca of unequal vectors", [] { pca(tokens_of({{1, 2}, {3}}), 1); },
         "The provided rows must all have the same dimension."},
        {"pca asks for 512 by default", [] { pca(tokens_of({{1, 2, 3}, {3, 1, 2}, {0, 0, 1}}), std::nullopt); },
         "Matrix slicing out of bounds."},
        {"pca of one token", [] { pca(tokens_of({{1, 2, 3}}), 1); },
         "PCA fit on a single row: the sample covariance needs at least two rows."},
        {"pca of empty vectors", [] { pca(tokens_of({{}, {}}), 0); }, "Cannot compute the SVD of an empty matrix."},
    };
    for (const Case& c : cases) EXPECT_EQ(panic_message(c.call), c.message) << c.what;
}

// pca() on tokens equals the reference fit and projection, keeps token
// order and fields, and does not depend on the thread count.
TEST(Geometry, PcaOfTokensMatchesReference) {
    Reader data(svd_dir() + "p_n600_d128.data.bin");
    const std::size_t n = data.u64(), d = data.u64();
    const Matrix x = data.matrix(n, d);
    Reader ref(svd_dir() + "p_n600_d128_k64.fit.bin");
    ref.f64(d * d + d + d * d);
    const Matrix y = ref.matrix(n, 64);

    std::vector<std::vector<double>> rows(n);
    for (std::size_t i = 0; i < n; ++i) rows[i].assign(x.row(i), x.row(i) + d);
    for (unsigned threads : {1u, 2u, 3u}) {
        const std::vector<Token> out = pca(tokens_of(rows), 64, threads);
        expect_same_tokens_apart_from_vectors(out, n);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(same(out[i].embedding, std::vector<double>(y.row(i), y.row(i) + 64))) << i;
    }
}

}  // namespace

// PCA fit and projection: the order of additions on shapes the reference
// cases do not cover, the edge cases, the failures and the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "golden_svd.hpp"
#include "test_support.hpp"
#include "terminal_capture.hpp"
#include "util/panic.hpp"
#include "linalg/pca.hpp"
#include "linalg/products.hpp"
#include "linalg/svd.hpp"

using namespace orvelle;
using orvelle::test::panic_message;
using namespace orvelle::fixtures;

namespace {

Matrix random_data(std::size_t n, std::size_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    Matrix x(n, d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) x(i, j) = (j % 5 == 4) ? 0.0 : g(rng) * (1.0 + double(j)) + double(j % 3);
    return x;
}

// The product recipe written out plainly, one element at a time.
double recipe_sum(std::size_t len, bool blocked, const std::function<double(std::size_t)>& term) {
    if (!blocked) {
        double s = term(0);
        for (std::size_t t = 1; t < len; ++t) s = s + term(t);
        return s;
    }
    double total = 0.0;
    for (std::size_t b = 0; b < len; b += 256) {
        double s = 0.0;
        for (std::size_t t = b; t < std::min(len, b + 256); ++t) s = s + term(t);
        total = b == 0 ? s : total + s;
    }
    return total;
}

Matrix centred(const Matrix& x, const std::vector<double>& mean) {
    Matrix c = x;
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < x.cols; ++j) c(i, j) = x(i, j) - mean[j];
    return c;
}

Matrix recipe_covariance(const Matrix& x) {
    const std::size_t n = x.rows, d = x.cols;
    std::vector<double> mean(d, 0.0);
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t i = 0; i < n; ++i) mean[j] = mean[j] + x(i, j);
        mean[j] = mean[j] / double(n);
    }
    const Matrix c = centred(x, mean);
    Matrix s(d, d);
    const bool blocked = n > 5 && d > 5;
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j < d; ++j)
            s(i, j) = recipe_sum(n, blocked, [&](std::size_t r) { return c(r, i) * c(r, j); }) / (double(n) - 1.0);
    return s;
}

Matrix recipe_projection(const Matrix& x, const PCA& model) {
    const Matrix c = centred(x, model.mean);
    const Matrix& w = model.components;
    Matrix y(x.rows, w.cols);
    const bool blocked = x.rows > 5 && x.cols > 5 && w.cols > 5;
    for (std::size_t i = 0; i < y.rows; ++i)
        for (std::size_t q = 0; q < y.cols; ++q)
            y(i, q) = recipe_sum(x.cols, blocked, [&](std::size_t j) { return c(i, j) * w(j, q); });
    return y;
}


// Shapes around every threshold: 5 and 6 (the two product paths), 256
// (the summed blocks), 8 and 24 (lanes and tiles), more rows than 256, and
// more than one unit of work (256 x 384 of the covariance, 128 x 96 of a
// projection).
TEST(Pca, ProductsFollowTheRecipeOnEveryShape) {
    struct Shape {
        std::size_t n, d, k;
    };
    for (Shape s : {Shape{2, 3, 2}, {5, 40, 5}, {6, 6, 6}, {7, 9, 5}, {300, 3, 3}, {257, 9, 7}, {700, 77, 13},
                    {40, 300, 17}, {600, 25, 25}, {12, 520, 6}, {300, 400, 110}}) {
        SCOPED_TRACE(::testing::Message() << s.n << "x" << s.d << " k=" << s.k);
        const Matrix x = random_data(s.n, s.d, unsigned(s.n * 31 + s.d));
        const Matrix want = recipe_covariance(x);
        EXPECT_TRUE(same(covariance(x, column_means(x)), want));
        PCA model(s.k);
        model.fit(x);
        Svd dec = svd(want);
        for (std::size_t i = 0; i < s.d; ++i)
            for (std::size_t q = 0; q < s.k; ++q) ASSERT_EQ(model.components(i, q), dec.u(i, q));
        EXPECT_TRUE(same(model.transform(x), recipe_projection(x, model)));
        // New rows, fewer than six: the other product path on the same model.
        const Matrix fresh = random_data(4, s.d, 77);
        EXPECT_TRUE(same(model.transform(fresh), recipe_projection(fresh, model)));
    }
}

// A dimension of exactly 5 takes the short path: one run of additions from
// the first product, even where the summed index passes a block of 256 and
// the blocked order gives other bits. The covariance of 600 rows of 5
// features sums over the rows; 5 components of 300-wide rows sum over the
// features.
TEST(Pca, DimensionOfFiveSumsInOneRunPastABlock) {
    std::mt19937_64 rng(19);
    std::normal_distribution<double> g(3.0, 2.0);
    const auto filled = [&](std::size_t rows, std::size_t cols) {
        Matrix m(rows, cols);
        for (double& v : m.data) v = g(rng);
        return m;
    };

    const Matrix x = filled(600, 5);
    const std::vector<double> mean = column_means(x);
    const Matrix c = centred(x, mean);
    Matrix one_run(5, 5), blocked(5, 5);
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t j = 0; j < 5; ++j) {
            const auto term = [&](std::size_t r) { return c(r, i) * c(r, j); };
            one_run(i, j) = recipe_sum(600, false, term);
            blocked(i, j) = recipe_sum(600, true, term);
        }
    EXPECT_TRUE(same(centred_gram(x, mean, 2, [] {}), one_run));
    EXPECT_FALSE(same(blocked, one_run)) << "the data must tell the two orders apart";

    const Matrix wide = filled(40, 300), w = filled(300, 5);
    const std::vector<double> wide_mean = column_means(wide);
    const Matrix cw = centred(wide, wide_mean);
    Matrix got(40, 5), want(40, 5), want_blocked(40, 5);
    centred_product(wide, wide_mean, w, 2, [] {},
                    [&](std::size_t i, const double* row) { std::copy(row, row + 5, got.row(i)); });
    for (std::size_t i = 0; i < 40; ++i)
        for (std::size_t q = 0; q < 5; ++q) {
            const auto term = [&](std::size_t j) { return cw(i, j) * w(j, q); };
            want(i, q) = recipe_sum(300, false, term);
            want_blocked(i, q) = recipe_sum(300, true, term);
        }
    EXPECT_TRUE(same(got, want));
    EXPECT_FALSE(same(want_blocked, want)) << "the data must tell the two orders apart";
}

TEST(Pca, SameBitsOnAnyThreadCount) {
    for (std::size_t k : {3u, 13u}) {
        const Matrix x = random_data(700, 77, 5);
        PCA one(k);
        one.fit(x, 1);
        const Matrix y1 = one.transform(x, 1);
        for (unsigned t : {2u, 3u, 5u}) {
            PCA many(k);
            many.fit(x, t);
            EXPECT_TRUE(same(many.mean, one.mean)) << t;
            EXPECT_TRUE(same(many.components, one.components)) << t;
            EXPECT_TRUE(same(many.transform(x, t), y1)) << t;
        }
    }
    // Wide enough that the workers share several units of each product.
    const Matrix x = random_data(600, 520, 6), w = random_data(520, 110, 7);
    const std::vector<double> mean = column_means(x);
    const auto project = [&](unsigned t) {
        Matrix y(x.rows, w.cols);
        centred_product(x, mean, w, t, [] {}, [&](std::size_t i, const double* row) {
            std::copy(row, row + w.cols, y.row(i));
        });
        return y;
    };
    const Matrix gram1 = centred_gram(x, mean, 1, [] {}), y1 = project(1);
    for (unsigned t : {2u, 3u, 5u}) {
        EXPECT_TRUE(same(centred_gram(x, mean, t, [] {}), gram1)) << t;
        EXPECT_TRUE(same(project(t), y1)) << t;
    }
}

// A callback that fails on the calling thread ends the product cleanly:
// the failure reaches the caller and no worker is left waiting, even one
// that its core's other tenants held back while the others went on (more
// workers than cores, many times over: a hang, not a failure, if not).
TEST(Pca, FailingCallbacksReachTheCaller) {
    const Matrix x = random_data(1800, 1000, 8);
    PCA model(10);
    model.fit(x, 3);
    for (unsigned threads : {1u, 3u, 7u})
        for (std::size_t fail_at : {100u, 300u, 600u, 1500u})
            for (int round = 0; round < (threads > 3 ? 40 : 1); ++round) {
                std::size_t ticks = 0;
                EXPECT_THROW(centred_gram(x, model.mean, threads,
                                          [&] {
                                              if (++ticks == fail_at) throw std::runtime_error("tick");
                                          }),
                             std::runtime_error);
                EXPECT_THROW(model.transform_rows(
                                 x,
                                 [&](std::size_t i, const double*) {
                                     if (i == fail_at) throw std::runtime_error("sink");
                                 },
                                 threads),
                             std::runtime_error);
            }
}

TEST(Pca, SingleFeatureKeepsUnitComponent) {
    Matrix x = Matrix::from_rows({{1.0}, {4.0}, {-2.0}, {3.0}});
    PCA model(1);
    model.fit(x);
    EXPECT_EQ(model.components, Matrix::from_rows({{1.0}}));
    EXPECT_EQ(model.mean, std::vector<double>{1.5});
    EXPECT_EQ(model.transform(x), Matrix::from_rows({{-0.5}, {2.5}, {-3.5}, {1.5}}));
}

TEST(Pca, ComponentCounts) {
    const Matrix x = random_data(50, 8, 2);
    const Svd dec = svd(covariance(x, column_means(x)));
    PCA none(0);
    none.fit(x);
    EXPECT_EQ(none.components.rows, 8u);
    EXPECT_EQ(none.components.cols, 0u);
    const Matrix y = none.transform(x);
    EXPECT_EQ(y.rows, 50u);
    EXPECT_EQ(y.cols, 0u);
    PCA all(8);
    all.fit(x);
    EXPECT_TRUE(same(all.components, dec.u));
}

TEST(Pca, CorrelatedPairKeepsLeastVarianceDirectionFirst) {
    // Features move together: the 2 x 2 step leaves the smaller value first.
    Matrix x = Matrix::from_rows({{2.0, 2.1}, {-1.0, -0.8}, {0.5, 0.4}, {-1.5, -1.7}, {3.0, 3.2}});
    PCA model(1);
    model.fit(x);
    const double a = model.components(0, 0), b = model.components(1, 0);
    EXPECT_NEAR(std::fabs(a), std::fabs(b), 0.05);
    EXPECT_LT(a * b, 0.0);  // along (1, -1): little variance
}

TEST(Pca, UncorrelatedPairKeepsFeatureOrder) {
    for (double big : {1.0, 10.0}) {
        Matrix x = Matrix::from_rows({{big, 0.0}, {-big, 0.0}, {0.0, 3.0}, {0.0, -3.0}});
        PCA model(2);
        model.fit(x);
        EXPECT_EQ(model.components, Matrix::from_rows({{1.0, 0.0}, {0.0, 1.0}})) << big;
    }
}

TEST(Pca, ProjectionOfFittedDataIsCentred) {
    for (std::size_t k : {4u, 9u}) {
        const Matrix x = random_data(300, 20, 11);
        PCA model(k);
        model.fit(x);
        const Matrix y = model.transform(x);
        for (std::size_t q = 0; q < k; ++q) {
            double s = 0, scale = 0;
            for (std::size_t i = 0; i < y.rows; ++i) s += y(i, q), scale += std::fabs(y(i, q));
            EXPECT_LT(std::fabs(s), 1e-12 * scale) << "column " << q;
        }
    }
}

TEST(Pca, Failures) {
    struct Case {
        const char* what;
        Matrix x;
        std::size_t k;
        std::string message;
    };
    Matrix nan = random_data(6, 4, 1), inf = random_data(6, 4, 2);
    nan(2, 1) = std::nan("");
    inf(5, 3) = INFINITY;
    Matrix huge(8, 4), wide(8, 4);
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t j = 0; j < 4; ++j) huge(i, j) = 1e308, wide(i, j) = (i % 2 ? 1e200 : -1e200) * double(j + 1);
    EXPECT_EQ(column_means(Matrix(0, 3)), std::vector<double>(3, 0.0));
    const std::vector<Case> cases{
        {"no rows", Matrix(0, 3), 1, "At least one row must be given."},
        {"no columns", Matrix(4, 0), 0, "Cannot compute the SVD of an empty matrix."},
        {"more components than features", random_data(10, 3, 3), 4, "Matrix slicing out of bounds."},
        {"default 512 on 300 features", random_data(10, 300, 3), 512, "Matrix slicing out of bounds."},
        // The component count is checked before the data's own faults.
        {"one row, more components than features", random_data(1, 2, 4), 3, "Matrix slicing out of bounds."},
        {"NaN, more components than features", nan, 5, "Matrix slicing out of bounds."},
        {"one row", random_data(1, 5, 4), 2,
         "PCA fit on a single row: the sample covariance needs at least two rows."},
        {"one row of one feature", random_data(1, 1, 4), 1,
         "PCA fit on a single row: the sample covariance needs at least two rows."},
        {"NaN", nan, 2, "PCA fit on data that is not finite: feature 1 (counting from 0) of row 2 is NaN or infinite."},
        {"infinity", inf, 2,
         "PCA fit on data that is not finite: feature 3 (counting from 0) of row 5 is NaN or infinite."},
        {"sum overflows", huge, 2, "PCA fit on data too large to average: the sum of feature 0 (counting from 0) overflows f64."},
        {"square overflows", wide, 2, "PCA fit on data too large to square: the covariance overflows f64."},
    };
    for (const Case& c : cases) {
        PCA model(c.k);
        EXPECT_EQ(panic_message([&] { model.fit(c.x); }), c.message) << c.what;
        EXPECT_TRUE(model.mean.empty()) << c.what << ": a failed fit leaves the model as it was";
    }
}

// A fit that fails on the shape of its data still runs the "PCA Fit" bar to
// its end first: every row is centred before the covariance is decomposed.
TEST(Pca, ShapeFailuresFinishTheFitBar) {
    for (auto [x, k] : {std::pair{Matrix(3, 0), std::size_t{0}}, std::pair{random_data(7, 3, 9), std::size_t{4}}}) {
        std::string out;
        {
            TerminalCapture term;
            if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
            PCA model(k);
            EXPECT_NE(panic_message([&] { model.fit(x); }), "<no panic>");
            out = term.drain();
        }
        const std::size_t last = out.rfind("PCA Fit");
        ASSERT_NE(last, std::string::npos) << k;
        EXPECT_NE(out.find("100%", last), std::string::npos) << k << ": " << out.substr(last);
    }
}

TEST(Pca, TransformFailures) {
    PCA model(2);
    model.fit(random_data(10, 4, 6));
    EXPECT_EQ(panic_message([&] { model.transform(Matrix(0, 4)); }), "At least one row must be given.");
    const std::string m = panic_message([&] { model.transform(random_data(3, 5, 7)); });
    EXPECT_NE(m.find("Matrix addition/subtraction dimensions mismatch."), std::string::npos) << m;
}

}  // namespace

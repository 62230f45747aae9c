// The decomposition beyond the reference cases: soundness where the reference
// is not the target, failures, and independence from the thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "golden_svd.hpp"
#include "test_support.hpp"
#include "util/panic.hpp"
#include "linalg/svd.hpp"

using namespace orvelle;
using orvelle::test::panic_message;
using namespace orvelle::fixtures;

namespace {

Matrix random_matrix(std::size_t rows, std::size_t cols, unsigned seed, bool symmetric = false) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    Matrix a(rows, cols);
    for (double& v : a.data) v = g(rng);
    if (symmetric)
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < i; ++j) a(i, j) = a(j, i);
    return a;
}

// U is orthogonal and U diag(s)^2 Uᵀ = A Aᵀ, to rounding: the factors
// describe A whatever their order.
void expect_sound(const Matrix& a, const Svd& dec) {
    const std::size_t m = a.rows;
    double scale = 0;
    for (double v : a.data) scale = std::max(scale, std::fabs(v));
    const double tol = 1e-13 * m * std::max(1.0, scale * scale);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            double utu = 0, lhs = 0, rhs = 0;
            for (std::size_t k = 0; k < m; ++k) {
                utu += dec.u(k, i) * dec.u(k, j);
                lhs += dec.u(i, k) * dec.singular_values[k] * dec.singular_values[k] * dec.u(j, k);
                rhs += a(i, k) * a(j, k);
            }
            EXPECT_NEAR(utu, i == j ? 1.0 : 0.0, 1e-13 * m) << i << "," << j;
            EXPECT_NEAR(lhs, rhs, tol) << i << "," << j;
        }
    }
    for (double s : dec.singular_values) EXPECT_GE(s, 0.0);
}


TEST(Svd, UnderflowedColumnGivesSoundFactors) {
    // Column 1 below the diagonal underflows when squared; the reference
    // would flip the sign of part of U_b without reflecting A.
    Reader in(svd_dir() + "m3_underflow_column.in.bin");
    const std::size_t m = in.u64();
    const Matrix a = in.matrix(m, m);
    expect_sound(a, svd(a));
}

TEST(Svd, FactorsDescribeTheInput) {
    for (auto [m, seed, symmetric] : {std::tuple{1u, 1u, false}, {2u, 2u, true}, {7u, 3u, false}, {37u, 4u, true},
                                      {64u, 5u, false}}) {
        SCOPED_TRACE(m);
        const Matrix a = random_matrix(m, m, seed, symmetric);
        expect_sound(a, svd(a));
    }
}

TEST(Svd, SameBitsOnAnyThreadCount) {
    // 133 rows: panels of rows that do not divide evenly, and a rotation log
    // that fills several times. 600 rows: the bidiagonalisation shared by up
    // to three workers, then finished by one.
    for (std::size_t m : {133u, 600u}) {
        const Matrix a = random_matrix(m, m, 9, true);
        const Svd one = svd(a, 1);
        const Bidiagonal b1 = bidiagonalize(a, 1);
        for (unsigned t : {2u, 3u, 5u}) {
            const Svd many = svd(a, t);
            EXPECT_TRUE(same(many.singular_values, one.singular_values)) << m << " rows, " << t << " threads";
            EXPECT_TRUE(same(many.u, one.u)) << m << " rows, " << t << " threads";
            const Bidiagonal b = bidiagonalize(a, t);
            EXPECT_TRUE(same(b.diagonal, b1.diagonal) && same(b.off_diagonal, b1.off_diagonal) && same(b.u, b1.u))
                << m << " rows, " << t << " threads";
        }
    }
}

TEST(Svd, Failures) {
    struct Case {
        const char* what;
        Matrix a;
        std::string message;
    };
    Matrix nan = random_matrix(4, 4, 1), inf = random_matrix(4, 4, 2);
    nan(2, 1) = std::nan("");
    inf(0, 3) = -INFINITY;
    const std::string not_finite =
        "Cannot compute the SVD of a matrix holding a value that is not finite (NaN or infinity).";
    const std::vector<Case> cases{
        {"empty", Matrix(0, 0), "Cannot compute the SVD of an empty matrix."},
        {"no columns", Matrix(3, 0), "Cannot compute the SVD of an empty matrix."},
        {"not square", Matrix(2, 3), "The singular value decomposition here takes a square matrix, not 2 x 3."},
        {"NaN", nan, not_finite},
        {"infinity", inf, not_finite},
    };
    for (const Case& c : cases) EXPECT_EQ(panic_message([&] { svd(c.a); }), c.message) << c.what;
}

TEST(Svd, IterationGuardStopsWithClearMessage) {
    const Matrix a = random_matrix(20, 20, 3, true);
    EXPECT_EQ(panic_message([&] { svd(a, 1, 3); }),
              "The singular value decomposition did not converge within 3 iterations.");
    EXPECT_EQ(panic_message([&] { svd(a); }), "<no panic>");
    // Wide enough that batches of rotations are applied on another thread
    // while the iteration goes on: the failure waits for the one in flight.
    const Matrix wide = random_matrix(300, 300, 4, true);
    EXPECT_EQ(panic_message([&] { svd(wide, 2, 150); }),
              "The singular value decomposition did not converge within 150 iterations.");
}

}  // namespace

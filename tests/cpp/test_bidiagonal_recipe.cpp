// The bidiagonal stage against a plain transcription of its recipe (one
// element at a time, every sum in the fixed order), on matrices wider than
// the reference cases: wide enough that the fast path keeps updates pending
// between steps and fuses U_b's passes, with steps that apply no reflection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "at_level.hpp"
#include "golden_svd.hpp"
#include "linalg/simd_level.hpp"
#include "linalg/svd.hpp"

using namespace orvelle;
using namespace orvelle::fixtures;

namespace {

// Eight sums over k mod 8, combined in the fixed order, then the tail.
double dot8(const double* x, const double* y, std::size_t n) {
    double a[8] = {};
    const std::size_t n8 = n / 8 * 8;
    for (std::size_t k = 0; k < n8; ++k) a[k % 8] = a[k % 8] + x[k] * y[k];
    double r = 0.0;
    for (int l = 0; l < 4; ++l) r = r + (a[l] + a[l + 4]);
    for (std::size_t k = n8; k < n; ++k) r = r + x[k] * y[k];
    return r;
}

struct Reflector {
    double entry;
    bool applied;
};

Reflector householder(double* x, std::size_t n) {
    const double sq = dot8(x, x, n), r = std::sqrt(sq);
    const double sigma = x[0] >= 0.0 ? 1.0 : -1.0;
    const double factor = (sq + std::fabs(x[0]) * r) * 2.0;
    x[0] += sigma * r;
    if (factor == 0.0) return {sigma * r, false};
    for (std::size_t k = 0; k < n; ++k) x[k] = x[k] / std::sqrt(factor);
    return {-sigma * r, true};
}

double sign_of(double x) { return std::signbit(x) ? -1.0 : 1.0; }

Bidiagonal recipe(const Matrix& input) {
    const std::size_t m = input.rows;
    double amax = 0.0;
    for (double v : input.data) amax = std::max(amax, std::fabs(v));
    std::vector<double> a(m * m);  // column-major
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < m; ++j) a[j * m + i] = amax != 0.0 ? input(i, j) / amax : input(i, j);
    auto at = [&](std::size_t i, std::size_t j) -> double& { return a[j * m + i]; };
    Bidiagonal out;
    out.scale = amax;
    out.diagonal.assign(m, 0.0);
    out.off_diagonal.assign(m - 1, 0.0);
    std::vector<Reflector> lefts(m);
    std::vector<double> x(m), w(m);
    for (std::size_t i = 0; i < m; ++i) {
        double* v = &at(i, i);
        const std::size_t n = m - i;
        const Reflector h = householder(v, n);
        lefts[i] = h;
        out.diagonal[i] = std::fabs(h.entry);
        if (h.applied)
            for (std::size_t j = i + 1; j < m; ++j) {
                double* y = &at(i, j);
                const double f = dot8(v, y, n) * (sign_of(h.entry) * -2.0);
                for (std::size_t k = 0; k < n; ++k) y[k] = f * v[k] + sign_of(h.entry) * y[k];
            }
        if (i + 1 == m) break;
        const std::size_t nr = m - i - 1;
        for (std::size_t j = 0; j < nr; ++j) x[j] = at(i, i + 1 + j);
        const Reflector g = householder(x.data(), nr);
        out.off_diagonal[i] = std::fabs(g.entry);
        if (!g.applied) continue;
        const double s = sign_of(g.entry);
        for (std::size_t r = i + 1; r < m; ++r) {
            double wr = at(r, i + 1) * x[0];
            for (std::size_t j = 1; j < nr; ++j) wr = at(r, i + 1 + j) * x[j] + wr;
            for (std::size_t j = 0; j < nr; ++j) at(r, i + 1 + j) = ((s * -2.0) * x[j]) * wr + s * at(r, i + 1 + j);
        }
    }
    // U_b from the identity, the left reflections from the last back. A step
    // that applied none counts when its column was exactly zero (the
    // reflection by the zero vector, which may turn -0 into +0), and is
    // skipped when it merely underflowed.
    out.u = Matrix(m, m);
    for (std::size_t i = 0; i < m; ++i) out.u(i, i) = 1.0;
    std::vector<double> y(m);
    for (std::size_t i = m; i-- > 0;) {
        const double* v = &at(i, i);
        const std::size_t n = m - i;
        if (!lefts[i].applied && std::any_of(v, v + n, [](double e) { return e != 0.0; })) continue;
        const double s = sign_of(lefts[i].entry);
        for (std::size_t j = i; j < m; ++j) {
            for (std::size_t k = 0; k < n; ++k) y[k] = out.u(i + k, j);
            const double f = dot8(v, y.data(), n) * (s * -2.0);
            for (std::size_t k = 0; k < n; ++k) out.u(i + k, j) = f * v[k] + s * y[k];
        }
    }
    return out;
}

Matrix random_matrix(std::size_t m, unsigned seed, std::size_t live) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    Matrix a(m, m);
    for (std::size_t i = 0; i < live; ++i)
        for (std::size_t j = 0; j < live; ++j) a(i, j) = g(rng);
    return a;
}

TEST(BidiagonalRecipe, SameBitsAsThePlainRecipe) {
    // 401 x 401 (rows not a multiple of 8, so every remainder; shared by two
    // workers while 192 rows or more remain), and 400 x 400 whose last 180
    // rows and columns are zero: from step 220 on the reflections apply to
    // nothing, the first right after a step whose updates were pending.
    for (const auto& [m, live] : {std::pair<std::size_t, std::size_t>{401, 401}, {400, 220}}) {
        const Matrix a = random_matrix(m, unsigned(m + live), live);
        const Bidiagonal want = recipe(a);
        for (SimdLevel level : simd_levels()) {
            orvelle::testing::AtLevel at(level);
            for (unsigned threads : {1u, 2u}) {
                const Bidiagonal got = bidiagonalize(a, threads);
                const std::string where = std::to_string(m) + " rows, " +
                                          orvelle::testing::level_name(level) + ", " + std::to_string(threads) +
                                          " threads";
                EXPECT_TRUE(same(got.diagonal, want.diagonal)) << where;
                EXPECT_TRUE(same(got.off_diagonal, want.off_diagonal)) << where;
                EXPECT_TRUE(same(got.u, want.u)) << where;
            }
        }
    }
}

}  // namespace

#include "linalg/svd.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "linalg/pending_choice.hpp"
#include "util/panic.hpp"
#include "linalg/hypot.hpp"
#include "linalg/line_aligned.hpp"
#include "linalg/parallel.hpp"
#include "linalg/transpose.hpp"
#include "util/cancellation.hpp"
#include "linalg/kernel_level.hpp"  // last


ORVELLE_KERNELS_BEGIN
#include "linalg/simd.hpp"  // here: the helpers take this copy's instruction set

namespace {

using simd::load;
using simd::splat;
using simd::store;
using simd::v8d;

// ---------------------------------------------------------------------------
// Dense helpers. Vectors are contiguous runs of a column-major matrix.

// Eight running sums a0..a7 over the products with index k = i (mod 8), then
// ((((0 + (a0 + a4)) + (a1 + a5)) + (a2 + a6)) + (a3 + a7)), then the tail in
// order. The eight sums are the eight lanes of one vector.
inline double combine(v8d a) {
    double res = 0.0;
    res = res + (a[0] + a[4]);
    res = res + (a[1] + a[5]);
    res = res + (a[2] + a[6]);
    res = res + (a[3] + a[7]);
    return res;
}

inline double dot8(const double* x, const double* y, std::size_t n) {
    v8d acc = splat(0.0);
    const std::size_t n8 = n & ~std::size_t{7};
    for (std::size_t k = 0; k < n8; k += 8) acc = acc + load(x + k) * load(y + k);
    double res = combine(acc);
    for (std::size_t k = n8; k < n; ++k) res = res + x[k] * y[k];
    return res;
}

// y := f * v + sign * y. sign is +1 or -1, so sign * y is y or -y exactly
// and costs no multiplication.
inline void axpy_signed(double* y, const double* v, std::size_t n, double f, double sign) {
    const v8d fv = splat(f);
    std::size_t k = 0;
    if (sign > 0) {
        for (; k + 8 <= n; k += 8) store(y + k, fv * load(v + k) + load(y + k));
        for (; k < n; ++k) y[k] = f * v[k] + y[k];
    } else {
        for (; k + 8 <= n; k += 8) store(y + k, fv * load(v + k) + -load(y + k));
        for (; k < n; ++k) y[k] = f * v[k] + -y[k];
    }
}

// The reflection (v, sign) on C vectors of length n is
// y := (dot(v, y) * (sign * -2)) * v + sign * y, in two passes: the factors
// (the C dot products interleaved so their chains overlap), then the updates
// (sharing each load of v).
template <int C>
void reflect_factors(const double* v, std::size_t n, double sign, double* const* ys, double* f) {
    const std::size_t n8 = n & ~std::size_t{7};
    v8d acc[C];
    for (int c = 0; c < C; ++c) acc[c] = splat(0.0);
    for (std::size_t k = 0; k < n8; k += 8) {
        const v8d vk = load(v + k);
        for (int c = 0; c < C; ++c) acc[c] = acc[c] + vk * load(ys[c] + k);
    }
    for (int c = 0; c < C; ++c) {
        double r = combine(acc[c]);
        for (std::size_t k = n8; k < n; ++k) r = r + v[k] * ys[c][k];
        f[c] = r * (sign * -2.0);
    }
}

template <int C>
void reflect_update(const double* v, std::size_t n, double sign, double* const* ys, const double* f) {
    const std::size_t n8 = n & ~std::size_t{7};
    const bool neg = sign < 0;
    for (std::size_t k = 0; k < n8; k += 8) {
        const v8d vk = load(v + k);
        for (int c = 0; c < C; ++c) {
            const v8d y = load(ys[c] + k);
            store(ys[c] + k, splat(f[c]) * vk + (neg ? -y : y));
        }
    }
    for (int c = 0; c < C; ++c)
        for (std::size_t k = n8; k < n; ++k) ys[c][k] = f[c] * v[k] + (neg ? -ys[c][k] : ys[c][k]);
}

// The update by (v, sign) with factors f, and in the same pass the factors
// of the next reflection (v2, sign2), which starts one row higher: v2[0]
// pairs with ys[c][-1], v2[k + 1] with ys[c][k]. Its sums keep dot8's
// order: the product of index k + 1 belongs to its sum k + 1 (mod 8), which
// is lane k (mod 8) here, where the sums sit rotated by one lane; the
// product of index 0 starts sum 0. Needs n >= 8. f is replaced by the next
// factors.
template <int C>
void reflect_update_and_factors(const double* v, const double* v2, std::size_t n, double sign, double sign2,
                                double* const* ys, double* f) {
    const std::size_t n8 = n & ~std::size_t{7};
    // dot8 over the n + 1 products of the next reflection sums those below
    // n2_8 in lanes and adds the rest one by one.
    const std::size_t n2_8 = (n + 1) & ~std::size_t{7};
    const bool neg = sign < 0;
    v8d acc[C];
    for (int c = 0; c < C; ++c) {
        acc[c] = splat(0.0);
        acc[c][7] = 0.0 + v2[0] * ys[c][-1];
    }
    // The last full block, when the product of index n8 (lane 7 here) falls
    // outside the next reflection's lanes.
    const std::size_t body = n2_8 == n8 ? n8 - 8 : n8;
    for (std::size_t k = 0; k < body; k += 8) {
        const v8d vk = load(v + k), v2k = load(v2 + 1 + k);
        for (int c = 0; c < C; ++c) {
            const v8d y = load(ys[c] + k);
            const v8d u = splat(f[c]) * vk + (neg ? -y : y);
            store(ys[c] + k, u);
            acc[c] = acc[c] + v2k * u;
        }
    }
    if (body != n8) {
        const v8d vk = load(v + body), v2k = load(v2 + 1 + body);
        for (int c = 0; c < C; ++c) {
            const v8d y = load(ys[c] + body);
            const v8d u = splat(f[c]) * vk + (neg ? -y : y);
            store(ys[c] + body, u);
            v8d p = v2k * u;
            p[7] = 0.0;  // adding +0 leaves a sum that started at +0 unchanged
            acc[c] = acc[c] + p;
        }
    }
    for (int c = 0; c < C; ++c) {
        double* y = ys[c];
        for (std::size_t k = n8; k < n; ++k) y[k] = f[c] * v[k] + (neg ? -y[k] : y[k]);
        if (n2_8 != n8)  // the rows past the full blocks still belong to the lanes
            for (std::size_t k = n8; k < n; ++k) acc[c][k - n8] = acc[c][k - n8] + v2[k + 1] * y[k];
        const v8d a = acc[c];
        double r = 0.0;
        r = r + (a[7] + a[3]);
        r = r + (a[0] + a[4]);
        r = r + (a[1] + a[5]);
        r = r + (a[2] + a[6]);
        for (std::size_t k = n2_8; k < n + 1; ++k) r = r + v2[k] * y[k - 1];
        f[c] = r * (sign2 * -2.0);
    }
}

// U_b's columns as a panel: row r of the group's 16 columns at p[16 r], two
// vectors of 8 columns. One pointer streams the panel; sixteen separate
// columns took sixteen pointers and a stream each (U_b of a 4096-wide
// matrix, AVX-512: 2.8 s, on the panel 2.4 s). Each column keeps dot8's
// sums, one vector of the panel's columns per index class k (mod 8).
constexpr std::size_t kPanelCols = 16;

struct PanelSums {
    v8d a[8][2];
};

inline void panel_clear(PanelSums& s) {
    for (auto& r : s.a) r[0] = r[1] = splat(0.0);
}

// ((((0 + (a0 + a4)) + (a1 + a5)) + (a2 + a6)) + (a3 + a7)) per column.
inline void panel_combine(const PanelSums& s, v8d* res) {
    for (int h = 0; h < 2; ++h) {
        v8d r = splat(0.0) + (s.a[0][h] + s.a[4][h]);
        r = r + (s.a[1][h] + s.a[5][h]);
        r = r + (s.a[2][h] + s.a[6][h]);
        res[h] = r + (s.a[3][h] + s.a[7][h]);
    }
}

// f := dot(v, y) * (sign * -2) for every column y of rows [0, n) of p.
inline void panel_factors(const double* v, std::size_t n, double sign, const double* p, v8d* f) {
    const std::size_t n8 = n & ~std::size_t{7};
    PanelSums s;
    panel_clear(s);
    for (std::size_t k = 0; k < n8; k += 8)
        for (int r = 0; r < 8; ++r)
            for (int h = 0; h < 2; ++h)
                s.a[r][h] = s.a[r][h] + splat(v[k + r]) * load(p + (k + r) * kPanelCols + 8 * h);
    v8d res[2];
    panel_combine(s, res);
    for (std::size_t k = n8; k < n; ++k)
        for (int h = 0; h < 2; ++h) res[h] = res[h] + splat(v[k]) * load(p + k * kPanelCols + 8 * h);
    for (int h = 0; h < 2; ++h) f[h] = res[h] * splat(sign * -2.0);
}

// y := f * v + sign * y on rows [0, n) of p.
template <bool Neg>
inline v8d panel_row(const v8d f, double vk, const double* y) {
    const v8d x = load(y);
    return f * splat(vk) + (Neg ? -x : x);
}

template <bool Neg>
void panel_update(const double* v, std::size_t n, double* p, const v8d* f) {
    for (std::size_t k = 0; k < n; ++k)
        for (int h = 0; h < 2; ++h) {
            double* y = p + k * kPanelCols + 8 * h;
            store(y, panel_row<Neg>(f[h], v[k], y));
        }
}

// The update by (v, sign) with factors f on rows [0, n) of p, and in the
// same pass the factors of the next reflection (v2, sign2), which starts one
// row higher (at p - 16): its product of index k + 1 is v2[k + 1] times the
// updated row k. f is replaced by the next factors.
template <bool Neg>
void panel_update_and_factors(const double* v, const double* v2, std::size_t n, double sign2, double* p, v8d* f) {
    const std::size_t n2 = n + 1, n2_8 = n2 & ~std::size_t{7};
    PanelSums s;
    panel_clear(s);
    for (int h = 0; h < 2; ++h) s.a[0][h] = s.a[0][h] + splat(v2[0]) * load(p - kPanelCols + 8 * h);
    // Rows whose next product (index k + 1) lies below n2_8, eight at a time:
    // row k + r feeds the sum of index class r + 1.
    std::size_t k = 0;
    for (; k + 9 <= n2_8; k += 8)
        for (int r = 0; r < 8; ++r)
            for (int h = 0; h < 2; ++h) {
                double* y = p + (k + r) * kPanelCols + 8 * h;
                const v8d u = panel_row<Neg>(f[h], v[k + r], y);
                store(y, u);
                s.a[(r + 1) & 7][h] = s.a[(r + 1) & 7][h] + splat(v2[k + r + 1]) * u;
            }
    PanelSums rest = s;  // indexed at run time from here on
    for (; k + 1 < n2_8; ++k)
        for (int h = 0; h < 2; ++h) {
            double* y = p + k * kPanelCols + 8 * h;
            const v8d u = panel_row<Neg>(f[h], v[k], y);
            store(y, u);
            rest.a[(k + 1) & 7][h] = rest.a[(k + 1) & 7][h] + splat(v2[k + 1]) * u;
        }
    // The rest: their products come after the sums, in order.
    v8d res[2];
    panel_combine(rest, res);
    for (; k < n; ++k)
        for (int h = 0; h < 2; ++h) {
            double* y = p + k * kPanelCols + 8 * h;
            const v8d u = panel_row<Neg>(f[h], v[k], y);
            store(y, u);
            res[h] = res[h] + splat(v2[k + 1]) * u;
        }
    for (int h = 0; h < 2; ++h) f[h] = res[h] * splat(sign2 * -2.0);
}

// As many columns at a time as this copy holds sums for in registers: 16 in
// 32 512-bit registers, 4 in 16 256-bit ones (two per sum), 2 in 128-bit.
constexpr int kReflectCols = ORVELLE_KERNEL_AVX512 ? 16 : ORVELLE_KERNEL_AVX ? 4 : 2;

// Calls fn(std::integral_constant<int, C>, c) over blocks [c, c + C) that
// cover [0, count).
template <class Fn>
void column_blocks(int count, Fn&& fn) {
    int c = 0;
    for (; c + kReflectCols <= count; c += kReflectCols) fn(std::integral_constant<int, kReflectCols>{}, c);
    if constexpr (kReflectCols > 4)
        for (; c + 4 <= count; c += 4) fn(std::integral_constant<int, 4>{}, c);
    for (; c < count; ++c) fn(std::integral_constant<int, 1>{}, c);
}

void reflect(const double* v, std::size_t n, double sign, double* const* ys, int count) {
    column_blocks(count, [&](auto cols, int c) {
        double f[decltype(cols)::value];
        reflect_factors<decltype(cols)::value>(v, n, sign, ys + c, f);
        reflect_update<decltype(cols)::value>(v, n, sign, ys + c, f);
    });
}

// (modulus, sign) of a real: (x, 1) when x >= 0, else (-x, -1).
inline std::pair<double, double> to_exp(double x) {
    return x >= 0.0 ? std::pair{x, 1.0} : std::pair{-x, -1.0};
}

inline double signum(double x) { return std::signbit(x) ? -1.0 : 1.0; }

// Householder vector from x in place. Returns the signed entry the reflection
// produces; `applied` is false when x is too small to define one (its sum of
// squares is zero), and x then holds x with x0 shifted by the signed norm.
double householder(double* x, std::size_t n, bool& applied) {
    const double sq = dot8(x, x, n);
    const double r = std::sqrt(sq);
    const auto [modulus, sign] = to_exp(x[0]);
    const double signed_norm = sign * r;
    const double factor = (sq + modulus * r) * 2.0;
    x[0] += signed_norm;
    if (factor != 0.0) {
        const double s = std::sqrt(factor);
        for (std::size_t k = 0; k < n; ++k) x[k] = x[k] / s;
        applied = true;
        return -signed_norm;
    }
    applied = false;
    return signed_norm;
}

std::size_t round8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// Steps in a row whose updates the bidiagonalisation may leave pending (see
// there).
constexpr int kLevels = 2;

// A column stride of at least n rows, a multiple of 8, that is not a multiple
// of 512 bytes: columns a power of two apart fall into the same few cache
// sets, and the kernels that stream many columns at once evict their own
// lines.
std::size_t stride(std::size_t n) {
    const std::size_t ld = round8(n);
    return ld % 64 == 0 ? ld + 8 : ld;
}

// ---------------------------------------------------------------------------
// Scaling, bidiagonalisation and U_b.

struct Reduced {
    std::size_t m = 0;
    std::size_t ld = 0;  // leading dimension of ut, a multiple of 8 (see stride)
    double scale = 0.0;
    std::vector<double> d, e;
    Doubles ut;  // U, column-major: column k at ut[k * ld], rows >= m are 0
};

Reduced reduce(Matrix input, unsigned threads) {
    if (input.rows == 0 || input.cols == 0) panic("Cannot compute the SVD of an empty matrix.");
    if (input.rows != input.cols)
        panic("The singular value decomposition here takes a square matrix, not " +
              std::to_string(input.rows) + " x " + std::to_string(input.cols) + ".");
    const std::size_t m = input.rows;
    double amax = 0.0;
    for (double v : input.data) {
        if (!std::isfinite(v))
            panic("Cannot compute the SVD of a matrix holding a value that is not finite (NaN or infinity).");
        amax = std::max(amax, std::fabs(v));
    }

    // Column-major working copy, divided by the largest magnitude.
    const std::size_t lda = stride(m);
    Doubles a(lda * m);
    zero_parallel(a.data(), a.size(), threads);  // the padding rows stay 0
    transpose(input.data.data(), m, a.data(), lda, m, m, threads,
              [amax](double v) { return amax != 0.0 ? v / amax : v; });
    std::vector<double>().swap(input.data);

    Reduced out;
    out.m = m;
    out.scale = amax;
    out.d.assign(m, 0.0);
    out.e.assign(m > 0 ? m - 1 : 0, 0.0);
    std::vector<double> left_sign(m, 1.0);
    std::vector<char> left_skip(m, 0);
    auto col = [&](std::size_t j) { return a.data() + j * lda; };

    struct Vector {
        double entry;  // the signed entry the reflection produces
        bool applied;
    };

    // Householder vector of column i, rows i.., in place; notes d[i] and how
    // U_b takes the step.
    auto column_vector = [&](std::size_t i) {
        double* v = col(i) + i;
        const std::size_t n = m - i;
        Vector h;
        h.entry = householder(v, n, h.applied);
        out.d[i] = std::fabs(h.entry);
        left_sign[i] = signum(h.entry);
        if (!h.applied) {
            // No reflection. When x was exactly zero the step still counts as
            // the (trivial) reflection by the zero vector in U_b, as the
            // reference does; when x merely underflowed, U_b must not see it.
            bool zero = true;
            for (std::size_t k = 0; k < n; ++k) zero = zero && v[k] == 0.0;
            left_skip[i] = !zero;
            if (!zero) left_sign[i] = 1.0;
        }
        return h;
    };

    // Householder vector of row i, columns i+1.., into axis, from the copy
    // of that row the updates leave.
    std::vector<double> row(m);
    auto row_vector = [&](std::size_t i, double* axis) {
        const std::size_t n = m - i - 1;
        std::copy_n(row.data() + i + 1, n, axis);
        Vector h;
        h.entry = householder(axis, n, h.applied);
        return h;
    };

    // Step i: the right reflection (row i, columns i+1..) acts on rows i+1..
    // of columns i+1..: w_r = B_r0 v_0, then w_r := B_rj v_j + w_r in column
    // order, then B_rj := ((sign * -2) v_j) w_r + sign B_rj. The left
    // reflection of step i+1 then acts on the same rows of columns i+2...
    // Each step needs the last one complete, so every step makes two passes
    // over the trailing matrix: the sums (rows shared among the workers, each
    // row summed in column order) and the updates (columns shared; each column
    // takes its right update, then its left reflection while in cache). The
    // updates run from the last column down, so the sums that follow start
    // on columns still in cache, and end where the next updates start. Wide
    // matrices leave every other step's updates pending (below).
    std::vector<double> axis(m), w(m);
    Vector left{}, right{};
    double rsign = 1.0;

    // Pending writes. Once the trailing matrix outgrows the cache, a step
    // costs what it streams: the sums read it, the updates read and write
    // it. A step may instead leave its updates (the right reflection of step
    // l-1, the left reflection of step l) pending: a read-only pass finds
    // the left reflection's factors and row l, and the steps that follow
    // recompute every element from the one in memory as they read it, by
    // the same operations in the same order. Up to kLevels steps in a row
    // leave their updates pending; the next writes them all at once. Three
    // steps then stream the matrix seven times instead of nine.
    struct Level {
        std::size_t l = 0;  // the left reflection's first row
        double rs = 1.0;    // sign of the right reflection
        double ls = 1.0;    // sign of the left reflection
        std::vector<double> axis, w, factor;  // right reflection's vector and sums; left factors by column
        const double* v = nullptr;            // left reflection's vector, row l on
    };
    std::array<Level, kLevels> levels;
    for (Level& lv : levels) lv.axis.resize(m), lv.w.resize(m), lv.factor.resize(m);
    // The element of column j at row r (>= every level's l) through the
    // first D levels, eight rows at a time or one.
    struct LevelColumn {
        double rf, f;
    };
    auto pending8 = [&](auto depth, v8d x, const LevelColumn* cj, std::size_t r) __attribute__((always_inline)) {
        for (int k = 0; k < decltype(depth)::value; ++k) {
            const Level& lv = levels[k];
            const v8d u = splat(cj[k].rf) * load(lv.w.data() + (r - lv.l)) + (lv.rs < 0 ? -x : x);
            x = splat(cj[k].f) * load(lv.v + (r - lv.l)) + (lv.ls < 0 ? -u : u);
        }
        return x;
    };
    auto pending1 = [&](auto depth, double x, const LevelColumn* cj, std::size_t r) {
        for (int k = 0; k < decltype(depth)::value; ++k) {
            const Level& lv = levels[k];
            const double u = cj[k].rf * lv.w[r - lv.l] + (lv.rs < 0 ? -x : x);
            x = cj[k].f * lv.v[r - lv.l] + (lv.ls < 0 ? -u : u);
        }
        return x;
    };
    auto column_constants = [&](auto depth, std::size_t j, LevelColumn* cj) {
        for (int k = 0; k < decltype(depth)::value; ++k) {
            const Level& lv = levels[k];
            cj[k] = {(lv.rs * -2.0) * lv.axis[j - lv.l], lv.factor[j]};
        }
    };

    // Rows [r0, r1) of the sums of step i, of the matrix through the first
    // `depth` pending levels.
    auto right_sums = [&](auto depth, std::size_t i, std::size_t r0, std::size_t r1) {
        constexpr int D = decltype(depth)::value;
        const std::size_t n = m - i - 1;
        const std::size_t top = i + 1 + r0;  // first row summed
        const double* v = axis.data();
        double* wr = w.data() + r0;
        const std::size_t len = r1 - r0;
        auto bcol = [&](std::size_t j) { return col(i + 1 + j) + top; };
        LevelColumn cj[4][kLevels];
        auto get8 = [&](const double* p, std::size_t r, int c) {
            if constexpr (D > 0) return pending8(depth, load(p + r), cj[c], top + r);
            else return load(p + r);
        };
        auto get1 = [&](const double* p, std::size_t r, int c) {
            if constexpr (D > 0) return pending1(depth, p[r], cj[c], top + r);
            else return p[r];
        };
        {
            const double* b0 = bcol(0);
            column_constants(depth, i + 1, cj[0]);
            std::size_t r = 0;
            for (; r + 8 <= len; r += 8) store(wr + r, splat(v[0]) * get8(b0, r, 0));
            for (; r < len; ++r) wr[r] = v[0] * get1(b0, r, 0);
        }
        std::size_t j = 1;
        for (; j + 4 <= n; j += 4) {
            const double *p0 = bcol(j), *p1 = bcol(j + 1), *p2 = bcol(j + 2), *p3 = bcol(j + 3);
            const v8d s0 = splat(v[j]), s1 = splat(v[j + 1]), s2 = splat(v[j + 2]), s3 = splat(v[j + 3]);
            for (int c = 0; c < 4; ++c) column_constants(depth, i + 1 + j + c, cj[c]);
            std::size_t r = 0;
            for (; r + 8 <= len; r += 8) {
                v8d acc = load(wr + r);
                acc = s0 * get8(p0, r, 0) + acc;
                acc = s1 * get8(p1, r, 1) + acc;
                acc = s2 * get8(p2, r, 2) + acc;
                acc = s3 * get8(p3, r, 3) + acc;
                store(wr + r, acc);
            }
            for (; r < len; ++r) {
                double a = wr[r];
                a = v[j] * get1(p0, r, 0) + a;
                a = v[j + 1] * get1(p1, r, 1) + a;
                a = v[j + 2] * get1(p2, r, 2) + a;
                a = v[j + 3] * get1(p3, r, 3) + a;
                wr[r] = a;
            }
        }
        for (; j < n; ++j) {
            const double* bj = bcol(j);
            const double vj = v[j];
            column_constants(depth, i + 1 + j, cj[0]);
            std::size_t r = 0;
            for (; r + 8 <= len; r += 8) store(wr + r, splat(vj) * get8(bj, r, 0) + load(wr + r));
            for (; r < len; ++r) wr[r] = vj * get1(bj, r, 0) + wr[r];
        }
    };

    // Column j from row `top` on, from memory through the first `depth`
    // pending levels, written back.
    auto materialize = [&](auto depth, std::size_t j, std::size_t top) {
        double* y = col(j) + top;
        const std::size_t n = m - top;
        LevelColumn cj[kLevels];
        column_constants(depth, j, cj);
        std::size_t k = 0;
        for (; k + 8 <= n; k += 8) store(y + k, pending8(depth, load(y + k), cj, top + k));
        for (; k < n; ++k) y[k] = pending1(depth, y[k], cj, top + k);
    };

    // A group of four columns whose left updates wait for the next group's
    // first loop. That loop streams its columns from memory; the left
    // updates work on columns still in the second-level cache. Run one
    // after the other, the memory idled through every left update (a
    // quarter of the pass); interleaved, the cache work fills the gaps in
    // the stream. Each element still takes the same operations in the same
    // order.
    struct Deferred {
        bool active = false;
        std::size_t j0 = 0;
        double* ys[4];
        double f[4];
    };
    // Deferred left updates of step l done now, and row l of those columns
    // copied for the next right reflection.
    auto finish = [&](Deferred& later, std::size_t l) {
        if (!later.active) return;
        reflect_update<4>(col(l) + l, m - l, signum(left.entry), later.ys, later.f);
        for (std::size_t j = later.j0; j < later.j0 + 4; ++j) row[j] = col(j)[l];
        later.active = false;
    };

    // Columns [j0, j1) (at most four) from row l on, through the first
    // `depth` pending levels: the right update of step l-1 (when
    // with_right), then the left reflection of step l. The first loop also
    // sums the left reflection's dot products, in the order dot8 would.
    // `store` false leaves this step pending too: nothing is written, the
    // left reflection's factors and row l go to levels[depth]. A full group
    // that writes without pending levels does the left updates of `later`
    // in its first loop and leaves its own in `later` (row l included).
    auto update_rows = [&](auto depth, auto store_it, auto with_right, auto with_left, std::size_t l, std::size_t j0,
                           std::size_t j1, Deferred& later) {
        constexpr int D = decltype(depth)::value;
        constexpr bool kWrite = decltype(store_it)::value;
        constexpr bool kRight = decltype(with_right)::value, kLeft = decltype(with_left)::value;
        constexpr bool kStore = kWrite && (kRight || D > 0);
        const std::size_t n = m - l;
        const std::size_t n8 = n & ~std::size_t{7};
        const int count = int(j1 - j0);
        double* ys[4];
        double rf[4] = {};
        LevelColumn cj[4][kLevels];
        for (int c = 0; c < count; ++c) {
            ys[c] = col(j0 + c) + l;
            if (kRight) rf[c] = (rsign * -2.0) * axis[j0 + c - l];
            column_constants(depth, j0 + c, cj[c]);
        }
        const double* v = col(l) + l;
        const double lsign = signum(left.entry);
        const bool flip = rsign < 0;
        constexpr bool kDefer = D == 0 && kWrite && kLeft;
        if (kDefer && count < 4) finish(later, l);
        v8d acc[4];
        for (int c = 0; c < count; ++c) acc[c] = splat(0.0);
        bool streamed = false;  // the first loop ran with the deferred updates
        if constexpr (kDefer) {
            if (count == 4 && later.active) {
                streamed = true;
                const bool neg = lsign < 0;
                double* const* ps = later.ys;
                const double* pf = later.f;
                for (std::size_t k = 0; k < n8; k += 8) {
                    const v8d vk = load(v + k), wk = kRight ? load(w.data() + k) : splat(0.0);
                    for (int c = 0; c < 4; ++c) {
                        v8d y = load(ys[c] + k);
                        if constexpr (kRight) y = splat(rf[c]) * wk + (flip ? -y : y);
                        if constexpr (kStore) store(ys[c] + k, y);
                        acc[c] = acc[c] + vk * y;
                    }
                    for (int c = 0; c < 4; ++c) {
                        const v8d y = load(ps[c] + k);
                        store(ps[c] + k, splat(pf[c]) * vk + (neg ? -y : y));
                    }
                }
                for (int c = 0; c < 4; ++c)
                    for (std::size_t k = n8; k < n; ++k) ps[c][k] = pf[c] * v[k] + (neg ? -ps[c][k] : ps[c][k]);
                for (std::size_t j = later.j0; j < later.j0 + 4; ++j) row[j] = col(j)[l];
                later.active = false;
            }
        }
        for (std::size_t k = 0; k < n8 && !streamed; k += 8) {
            const v8d vk = kLeft ? load(v + k) : splat(0.0), wk = kRight ? load(w.data() + k) : splat(0.0);
            for (int c = 0; c < count; ++c) {
                v8d y = load(ys[c] + k);
                if constexpr (D > 0) y = pending8(depth, y, cj[c], l + k);
                if constexpr (kRight) y = splat(rf[c]) * wk + (flip ? -y : y);
                if constexpr (kStore) store(ys[c] + k, y);
                if constexpr (kLeft) acc[c] = acc[c] + vk * y;
            }
        }
        double res[4];
        for (int c = 0; c < count; ++c) res[c] = combine(acc[c]);
        double first[4];  // row l, before the left reflection
        for (int c = 0; c < count; ++c) {
            double* y = ys[c];
            for (std::size_t k = n8; k < n; ++k) {
                double x = y[k];
                if constexpr (D > 0) x = pending1(depth, x, cj[c], l + k);
                if constexpr (kRight) x = rf[c] * w[k] + (flip ? -x : x);
                if constexpr (kStore) y[k] = x;
                if constexpr (kLeft) res[c] = res[c] + v[k] * x;
            }
            if constexpr (!kWrite) {
                double x = y[0];
                if constexpr (D > 0) x = pending1(depth, x, cj[c], l);
                if constexpr (kRight) x = rf[c] * w[0] + (flip ? -x : x);
                first[c] = x;
            }
        }
        if constexpr (!kLeft) return;
        const double m_two = lsign * -2.0;
        double f[4];
        for (int c = 0; c < count; ++c) f[c] = res[c] * m_two;
        if constexpr (!kWrite) {
            for (int c = 0; c < count; ++c) {
                levels[D].factor[j0 + c] = f[c];
                row[j0 + c] = f[c] * v[0] + (lsign < 0 ? -first[c] : first[c]);
            }
            return;
        }
        if constexpr (kDefer) {
            if (count == 4) {
                later.active = true;
                later.j0 = j0;
                std::copy_n(ys, 4, later.ys);
                std::copy_n(f, 4, later.f);
                return;
            }
        }
        // The left updates share each load of v.
        if (count == 4) reflect_update<4>(v, n, lsign, ys, f);
        else
            for (int c = 0; c < count; ++c) reflect_update<1>(v, n, lsign, ys + c, f + c);
    };

    // update_rows with the flags as constants, then (when it writes) the
    // copy of row l that the next right reflection reads, taken while in
    // cache.
    auto update_columns = [&](auto depth, auto store_it, bool with_right, std::size_t l, std::size_t j0,
                              std::size_t j1, Deferred& later) {
        using T = std::true_type;
        using F = std::false_type;
        const bool with_left = left.applied;
        if (with_right && with_left) update_rows(depth, store_it, T{}, T{}, l, j0, j1, later);
        else if (with_right) update_rows(depth, store_it, T{}, F{}, l, j0, j1, later);
        else if (with_left) update_rows(depth, store_it, F{}, T{}, l, j0, j1, later);
        else update_rows(depth, store_it, F{}, F{}, l, j0, j1, later);
        if constexpr (decltype(store_it)::value)
            if (!(later.active && later.j0 == j0))  // deferred: copied once the left updates are done
                for (std::size_t j = j0; j < j1; ++j) row[j] = col(j)[l];
    };

    // The updates of columns [first, m): groups of four counted from the last
    // column, each taken by the next worker free, so the pass goes down.
    // Dealt out in turn, a worker slowed by the machine's other tenants kept
    // the others waiting at every step (1.5 s in a 4096-wide run of 23 s).
    // Worker 0 rewinds the counter between meetings.
    std::atomic<std::size_t> next_group{0};
    auto update_share = [&](auto depth, auto store_it, bool with_right, std::size_t l, std::size_t first) {
        const std::size_t groups = (m - first + 3) / 4;
        Deferred later;
        for (std::size_t g; (g = next_group.fetch_add(1, std::memory_order_relaxed)) < groups;) {
            const std::size_t hi = m - 4 * g, lo = hi - std::min<std::size_t>(4, hi - first);
            update_columns(depth, store_it, with_right, l, lo, hi, later);
        }
        finish(later, l);
    };
    // Calls fn(std::integral_constant<int, d>) for the depth d at run time.
    auto at_depth = [&](int d, auto&& fn) {
        static_assert(kLevels == 2);
        if (d == 0) fn(std::integral_constant<int, 0>{});
        else if (d == 1) fn(std::integral_constant<int, 1>{});
        else fn(std::integral_constant<int, 2>{});
    };

    // Four meetings per step cost about a microsecond; below this many rows
    // a step is too short to share, and worker 0 ends the work alone.
    constexpr std::size_t kShared = 192;
    // Steps this short gain nothing from pending writes (the matrix sits in
    // the cache); from here on it costs nothing either, and the reference
    // cases of 256 rows take both paths. Below AVX-512 the recomputation
    // costs more than the passes it saves, even where the matrix is far
    // larger than the cache (with AVX2, 4096 wide: 34 s with pending steps,
    // 30 s without), and no step is left pending. From kTimedRows on, where
    // a step takes milliseconds, the steps are timed and a PendingChoice
    // says which way costs less on this machine.
    constexpr std::size_t kPendingRows = ORVELLE_KERNEL_AVX512 ? 128 : SIZE_MAX;
    constexpr std::size_t kTimedRows = 512;
    PendingChoice choice;  // worker 0's
    using Clock = std::chrono::steady_clock;
    Clock::time_point step_start{};
    double step_elements = 0.0;  // of the step under way when it is timed, else 0
    bool may_pend = true;
    const unsigned workers =
        unsigned(std::min<std::size_t>(worker_count(threads), std::max<std::size_t>(1, m / kShared)));
    SpinBarrier meet(workers);
    bool stop = false;       // worker 0's answer, read by all after the next meeting
    bool go_pending = false;  // likewise
    run_workers(workers, [&](unsigned t) {
        auto sync = [&](bool shared) {
            if (shared) meet.arrive_and_wait();
        };
        bool shared = workers > 1;
        int depth = 0;  // steps whose updates are pending
        if (t == 0) left = column_vector(0);
        sync(shared);
        update_share(std::integral_constant<int, 0>{}, std::true_type{}, false, 0, 1);
        for (std::size_t i = 0; i + 1 < m; ++i) {
            const std::size_t n = m - i - 1;
            const bool was_shared = shared;
            shared = shared && n >= kShared;
            if (was_shared && !shared) {
                meet.arrive_and_wait();  // the last shared updates are done
                if (t != 0) return;
            }
            sync(shared);
            if (t == 0) {
                if constexpr (kPendingRows != SIZE_MAX) {
                    const Clock::time_point now = Clock::now();
                    if (step_elements > 0.0)
                        choice.taken(std::chrono::duration<double>(now - step_start).count(), step_elements);
                    const bool timed = n >= kTimedRows;
                    step_start = now;
                    step_elements = timed ? double(n) * double(n) : 0.0;
                    may_pend = !timed || choice.pending();
                }
                if (depth > 0) {
                    // The last step's right reflection joins its level.
                    std::swap(axis, levels[depth - 1].axis);
                    std::swap(w, levels[depth - 1].w);
                }
                right = row_vector(i, axis.data());
                out.e[i] = std::fabs(right.entry);
                rsign = signum(right.entry);
                stop = stop_requested();
            }
            sync(shared);
            if (stop) return;
            if (right.applied) {
                const unsigned nt = shared ? workers : 1;
                const std::size_t chunks = (n + 7) / 8;
                auto [c0, c1] = share(chunks, t, nt);
                const std::size_t r0 = std::min(n, c0 * 8), r1 = std::min(n, c1 * 8);
                at_depth(depth, [&](auto d) { right_sums(d, i, r0, r1); });
            }
            sync(shared);
            if (t == 0) {
                next_group.store(0, std::memory_order_relaxed);
                if (depth > 0) at_depth(depth, [&](auto d) { materialize(d, i + 1, i + 1); });
                if (right.applied) axpy_signed(col(i + 1) + i + 1, w.data(), n, (rsign * -2.0) * axis[0], rsign);
                left = column_vector(i + 1);
                go_pending = may_pend && depth < kLevels && right.applied && left.applied && n >= kPendingRows;
                if (go_pending) {
                    Level& lv = levels[depth];
                    lv.l = i + 1;
                    lv.rs = rsign;
                    lv.ls = signum(left.entry);
                    lv.v = col(i + 1) + i + 1;
                }
            }
            sync(shared);
            at_depth(depth, [&](auto d) {
                if (go_pending) update_share(d, std::false_type{}, true, i + 1, i + 2);
                else update_share(d, std::true_type{}, right.applied, i + 1, i + 2);
            });
            depth = go_pending ? depth + 1 : 0;
        }
    });
    throw_if_cancelled();

    // U_b = H_0 H_1 ... H_{m-1} applied to the identity from the last step
    // back. Column j only ever sees steps j, j-1, ..., 0, each acting on its
    // rows i.., so columns are independent: workers take groups of sixteen,
    // which stay in cache while the reflection vectors stream past. A group
    // costs more the further right it lies; the next worker free takes the
    // costliest left, so the work ends on short groups.
    constexpr std::size_t kGroup = 16;
    out.ld = stride(m);
    out.ut.resize(out.ld * m);
    zero_parallel(out.ut.data(), out.ut.size(), threads);
    const std::size_t groups = (m + kGroup - 1) / kGroup;
    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), groups));
    // From 2048 wide a group takes tenths of a second and asks first whether
    // to stop; which groups the caller's thread takes varies from run to run,
    // so a narrower matrix asks once, here, and its asks come at the same
    // points every run.
    const bool ask_per_group = m >= 2048;
    if (!ask_per_group) checkpoint();
    std::atomic<std::size_t> taken{0};
    // With 512-bit lanes the steps that reach the whole group run on a panel
    // copy of it (see panel_factors).
    constexpr bool kOnPanel = ORVELLE_KERNEL_AVX512 && kGroup == kPanelCols;
    auto panel_steps = [&](std::size_t j0, std::size_t j1, double* p) {
        const std::size_t ld = out.ld;
        for (std::size_t r = 0; r < m; ++r)
            for (std::size_t c = 0; c < kPanelCols; ++c)
                p[r * kPanelCols + c] = j0 + c < j1 ? out.ut[(j0 + c) * ld + r] : 0.0;
        v8d f[2] = {splat(0.0), splat(0.0)};
        bool have_factors = false;
        for (std::size_t i = j0;; --i) {
            const double* v = col(i) + i;
            const std::size_t n = m - i;
            double* pi = p + i * kPanelCols;
            if (left_skip[i]) {
                have_factors = false;
            } else {
                const bool chain = i > 0 && !left_skip[i - 1] && n >= 8;
                const bool neg = left_sign[i] < 0;
                if (!have_factors) panel_factors(v, n, left_sign[i], pi, f);
                if (chain) {
                    const double* v2 = col(i - 1) + i - 1;
                    if (neg) panel_update_and_factors<true>(v, v2, n, left_sign[i - 1], pi, f);
                    else panel_update_and_factors<false>(v, v2, n, left_sign[i - 1], pi, f);
                } else if (neg) {
                    panel_update<true>(v, n, pi, f);
                } else {
                    panel_update<false>(v, n, pi, f);
                }
                have_factors = chain;
            }
            if (i == 0) break;
        }
        for (std::size_t c = 0; c < j1 - j0; ++c)
            for (std::size_t r = 0; r < m; ++r) out.ut[(j0 + c) * ld + r] = p[r * kPanelCols + c];
    };
    run_workers(nt, [&](unsigned) {
        Doubles panel(kOnPanel ? m * kPanelCols : 0);
        for (std::size_t k; (k = taken.fetch_add(1, std::memory_order_relaxed)) < groups;) {
            const std::size_t g = groups - 1 - k;
            if (ask_per_group && stop_requested()) return;
            const std::size_t j0 = g * kGroup, j1 = std::min(m, j0 + kGroup);
            for (std::size_t j = j0; j < j1; ++j) out.ut[j * out.ld + j] = 1.0;
            // Above row j0 (i > j0) a step reaches some of the group's
            // columns; from j0 down every step reaches all of them, and each
            // update pass also finds the next step's factors.
            double* ys[kGroup];
            double f[kGroup];
            bool have_factors = false;
            for (std::size_t i = j1 - 1;; --i) {
                if (kOnPanel && i == j0) {
                    panel_steps(j0, j1, panel.data());
                    break;
                }
                const std::size_t first = std::max(j0, i);
                const int count = int(j1 - first);
                for (int c = 0; c < count; ++c) ys[c] = out.ut.data() + (first + c) * out.ld + i;
                const double* v = col(i) + i;
                const std::size_t n = m - i;
                if (left_skip[i]) {
                    have_factors = false;
                } else if (i > j0) {
                    reflect(v, n, left_sign[i], ys, count);
                } else {
                    const bool chain = i > 0 && !left_skip[i - 1] && n >= 8;
                    column_blocks(count, [&](auto cols, int c) {
                        constexpr int C = decltype(cols)::value;
                        if (!have_factors) reflect_factors<C>(v, n, left_sign[i], ys + c, f + c);
                        if (chain)
                            reflect_update_and_factors<C>(v, col(i - 1) + i - 1, n, left_sign[i], left_sign[i - 1],
                                                          ys + c, f + c);
                        else
                            reflect_update<C>(v, n, left_sign[i], ys + c, f + c);
                    });
                    have_factors = chain;
                }
                if (i == 0) break;
            }
        }
    });
    throw_if_cancelled();
    return out;
}

// ---------------------------------------------------------------------------
// Rotations of U. The QR iteration only ever rotates pairs of columns of U,
// and nothing it computes depends on U. So the scalar iteration runs on its
// own and logs its rotations; the log is applied to U in bulk, every row of U
// taking the rotations in logged order. Rows are independent, which lets the
// lanes and the workers take different rows.

// Rows of U that one pass over the log holds in registers; with 16 registers
// of 256 or 128 bits more than a few spill to the stack on every rotation.
// A sweep brings each column of the panel through the cache once, so the
// panel's columns (rows x 8 bytes each) should stay in the second-level
// cache for the next sweep: 32 rows are 1 MiB at 4096 wide. With 512-bit
// lanes, 128 rows (4 MiB there) ran the rotations of a 4096-wide
// decomposition in 7.1 s and 32 in 4.9 s (2 MiB L2, huge pages).
constexpr std::size_t kRotationRows = ORVELLE_KERNEL_AVX512 ? 32 : ORVELLE_KERNEL_AVX ? 48 : 32;
// Sweeps applied at once (see apply_cascade), and the vectors of rows they
// carry: each sweep holds one column of them in registers. Rotations of a
// 4096-wide decomposition on a 2-core AVX-512 Xeon: 5.0 s two sweeps at a
// time, 3.4 s four (with the prefetch below); the same machine's AVX2 copy
// took 8.5 s and takes 5.1 s with four sweeps of one vector each.
constexpr int kCascade = ORVELLE_KERNEL_AVX512 || ORVELLE_KERNEL_AVX ? 4 : 2;
constexpr std::size_t kCascadeVectors = ORVELLE_KERNEL_AVX512 ? 4 : ORVELLE_KERNEL_AVX ? 1 : 2;
// Columns lie tens of kilobytes apart, a stride no hardware prefetcher
// follows: the cascade asks for its columns this many positions ahead, or
// each one waits out a second-level miss.
constexpr std::ptrdiff_t kPrefetchColumns = 16;

struct Rotation {
    std::uint32_t p, q;  // columns: (a, b) -> (c a - s b, s a + c b)
    double c, s;
};

class RotationLog {
public:
    static constexpr std::size_t kLogBytes = std::size_t{6} << 20;
    // From this width on, a batch is applied on a thread of its own while
    // the iteration logs the next: the scalar iteration (a tenth of the
    // rotations' time at 4096 wide) then no longer leaves the workers idle.
    static constexpr std::size_t kOverlapRows = 256;

    RotationLog(Doubles& ut, std::size_t m, std::size_t ld, unsigned threads)
        : ut_(ut), ld_(ld), rows_(round8(m)), threads_(worker_count(threads)),
          overlap_(threads_ > 1 && m >= kOverlapRows) {
        // Every panel of rows reads the whole log: a log that stays in the
        // last-level cache costs one pass over U per flush instead.
        cap_ = std::clamp<std::size_t>(m * m / 3, 4096, kLogBytes / sizeof(Rotation));
        batches_[0].log.reserve(cap_);
        if (overlap_) batches_[1].log.reserve(cap_);
    }

    void push(std::size_t p, std::size_t q, double c, double s) {
        Batch& b = batches_[filling_];
        b.log.push_back({std::uint32_t(p), std::uint32_t(q), c, s});
        if (b.log.size() < cap_) return;
        if (!overlap_) {
            apply(b);
            throw_if_cancelled();
            return;
        }
        wait();
        filling_ ^= 1;
        applier_ = std::jthread([this, &b, token = current_cancellation()] {
            CancelScope scope(token, false);
            apply(b);
        });
    }

    // Returns once U has taken every rotation logged.
    void flush() {
        wait();
        apply(batches_[filling_]);
        throw_if_cancelled();
    }

private:
    // A sweep: rotations [begin, end) of the log, each starting where the
    // last ended; `unit` when every one rotates neighbours (k, k+1).
    struct Sweep {
        std::size_t begin, end;
        bool unit;
    };

    struct Batch {
        std::vector<Rotation> log;
        std::vector<Sweep> sweeps;
    };

    void wait() {
        if (applier_.joinable()) applier_.join();
        throw_if_cancelled();
    }

    // U takes the batch, panels of rows shared among the workers as they
    // come free (the iteration's thread may hold a core now and then); the
    // batch is then empty. Which panels the caller's thread takes varies, so
    // the workers only look whether the token is cancelled and never poll it:
    // the polls come from the iteration, at the same points every run.
    void apply(Batch& b) {
        if (b.log.empty()) return;
        find_sweeps(b);
        constexpr std::size_t kPanel = kRotationRows;  // rows per pass over the log
        const std::size_t panels = (rows_ + kPanel - 1) / kPanel;
        const unsigned nt = std::min<std::size_t>(threads_, panels);
        const Cancellation* const token = current_cancellation();
        run_stealing(panels, nt, [&](std::size_t p) {
            if (token && token->cancelled()) return;
            const std::size_t r0 = p * kPanel, rows = std::min(kPanel, rows_ - r0);
            if (rows == kPanel)
                apply_panel<kPanel / 8>(b, r0);
            else
                apply_any(b, r0, rows / 8);
        });
        b.log.clear();
    }

    static void find_sweeps(Batch& b) {
        const std::vector<Rotation>& log = b.log;
        b.sweeps.clear();
        for (std::size_t i = 0; i < log.size();) {
            Sweep w{i, i + 1, log[i].q == log[i].p + 1};
            while (w.end < log.size() && log[w.end].p == log[w.end - 1].q) {
                w.unit = w.unit && log[w.end].q == log[w.end].p + 1;
                ++w.end;
            }
            b.sweeps.push_back(w);
            i = w.end;
        }
    }

    // Whether sweep b may run in a cascade led by sweep a (see
    // apply_cascade): both rotate neighbours and b's columns lie within a's.
    static bool follows(const Rotation* log, const Sweep& a, const Sweep& b) {
        return a.unit && b.unit && log[a.begin].p <= log[b.begin].p && log[b.end - 1].q <= log[a.end - 1].q;
    }

    template <std::size_t V>
    void apply_panel(const Batch& b, std::size_t r0) const {
        double* base = ut_.data() + r0;
        const Rotation* log = b.log.data();
        const std::vector<Sweep>& sweeps = b.sweeps;
        for (std::size_t w = 0; w < sweeps.size();) {
            int g = 1;
            while (g < kCascade && w + g < sweeps.size() && follows(log, sweeps[w], sweeps[w + g])) ++g;
            if (g == 1) {
                apply_sweep<V>(base, log, sweeps[w]);
            } else {
                static_assert(V % kCascadeVectors == 0);
                for (std::size_t v = 0; v < V; v += kCascadeVectors)
                    apply_cascade<kCascadeVectors>(base + 8 * v, log, sweeps.data() + w, g);
            }
            w += g;
        }
    }

    // Rotation g of its two columns, the first of them carried in `a`: the
    // first goes back to memory, the second stays in `a`.
    template <std::size_t V>
    __attribute__((always_inline)) void rotate_carried(double* base, const Rotation& g, v8d* a) const {
        double* x = base + g.p * ld_;
        const double* y = base + g.q * ld_;
        const v8d c = splat(g.c), s = splat(g.s);
        for (std::size_t v = 0; v < V; ++v) {
            const v8d b = load(y + 8 * v);
            store(x + 8 * v, c * a[v] - s * b);
            a[v] = s * a[v] + c * b;
        }
    }

    // A sweep rotates (k, k+1), then (k+1, k+2), ...: the second column of
    // one rotation is the first of the next, so it stays in registers and
    // goes back to memory only at the end.
    template <std::size_t V>
    void apply_sweep(double* base, const Rotation* log, const Sweep& w) const {
        const Rotation* g = log + w.begin;
        const Rotation* const end = log + w.end;
        v8d a[V];
        for (std::size_t v = 0; v < V; ++v) a[v] = load(base + g->p * ld_ + 8 * v);
        for (; g != end; ++g) rotate_carried<V>(base, *g, a);
        double* y = base + (end - 1)->q * ld_;
        for (std::size_t v = 0; v < V; ++v) store(y + 8 * v, a[v]);
    }

    // g sweeps of neighbours within the first one's columns [lo, hi], each
    // one column behind the one before: at position k sweep s rotates
    // (k - s, k - s + 1). That rotation follows sweep s - 1's rotation
    // (k - s + 1, k - s + 2), the last of s - 1 that touches those columns,
    // so every element takes the same rotations in the same order as sweep
    // after sweep. A column enters sweep 0 from memory and passes from sweep
    // to sweep in registers (each keeps the second column of its last
    // rotation, hands on the first): one load and one store per g rotations.
    // Where a sweep does not reach (it may start later or end earlier than
    // the first), it hands on its column unchanged.
    template <std::size_t V>
    void apply_cascade(double* base, const Rotation* log, const Sweep* sweeps, int g) const {
        const std::ptrdiff_t lo = log[sweeps[0].begin].p, hi = log[sweeps[0].end - 1].q;
        std::ptrdiff_t first[kCascade], last[kCascade];  // sweep s rotates (j, j + 1) for j in [first, last)
        const Rotation* rot[kCascade];
        for (int s = 0; s < g; ++s) {
            first[s] = log[sweeps[s].begin].p;
            last[s] = log[sweeps[s].end - 1].q;
            rot[s] = log + sweeps[s].begin - first[s];
        }
        auto column = [&](std::ptrdiff_t k) { return base + std::size_t(k) * ld_; };
        v8d carry[kCascade][V];
        // Position k: in the steady stretch every sweep rotates, and the
        // loop has no branch to keep its columns out of registers.
        auto step = [&](std::ptrdiff_t k, auto steady) __attribute__((always_inline)) {
            v8d in[V] = {};
            if (k < hi)
                for (std::size_t v = 0; v < V; ++v) in[v] = load(column(k + 1) + 8 * v);
            if (k + kPrefetchColumns < hi)
                for (std::size_t v = 0; v < V; ++v) __builtin_prefetch(column(k + kPrefetchColumns) + 8 * v);
#pragma GCC unroll 8
            for (int s = 0; s < kCascade; ++s) {
                const std::ptrdiff_t j = k - s;
                if constexpr (!decltype(steady)::value) {
                    if (s == g) break;
                    if (j > hi) continue;  // done: nothing comes in
                    if (j < lo) {
                        if (j == lo - 1)
                            for (std::size_t v = 0; v < V; ++v) carry[s][v] = in[v];
                        break;
                    }
                }
                if (!decltype(steady)::value && j == hi) {  // its last column, final
                    for (std::size_t v = 0; v < V; ++v) in[v] = carry[s][v];
                } else if (decltype(steady)::value || (j >= first[s] && j < last[s])) {
                    const v8d c = splat(rot[s][j].c), sn = splat(rot[s][j].s);
                    for (std::size_t v = 0; v < V; ++v) {
                        const v8d a = carry[s][v], b = in[v];
                        in[v] = c * a - sn * b;
                        carry[s][v] = sn * a + c * b;
                    }
                } else {
                    for (std::size_t v = 0; v < V; ++v) std::swap(in[v], carry[s][v]);
                }
                if (s == g - 1)
                    for (std::size_t v = 0; v < V; ++v) store(column(j) + 8 * v, in[v]);
            }
        };
        std::ptrdiff_t steady_begin = lo - 1, steady_end = lo - 1;  // empty unless all kCascade sweeps come
        if (g == kCascade) {
            steady_begin = first[0], steady_end = last[0];
            for (int s = 1; s < g; ++s) {
                steady_begin = std::max(steady_begin, first[s] + s);
                steady_end = std::min(steady_end, last[s] + s);
            }
            steady_end = std::max(steady_begin, steady_end);
        }
        std::ptrdiff_t k = lo - 1;
        for (; k < steady_begin; ++k) step(k, std::false_type{});
        for (; k < steady_end; ++k) step(k, std::true_type{});
        for (; k <= hi + g - 1; ++k) step(k, std::false_type{});
    }

    void apply_any(const Batch& b, std::size_t r0, std::size_t vectors) const {
        double* base = ut_.data() + r0;
        for (const Rotation& g : b.log) {
            double* x = base + g.p * ld_;
            double* y = base + g.q * ld_;
            const v8d c = splat(g.c), s = splat(g.s);
            for (std::size_t v = 0; v < vectors; ++v) {
                const v8d a = load(x + 8 * v), b = load(y + 8 * v);
                store(x + 8 * v, c * a - s * b);
                store(y + 8 * v, s * a + c * b);
            }
        }
    }

    Doubles& ut_;
    std::size_t ld_;
    std::size_t rows_;  // rows that hold U (a multiple of 8); the rest of a column is padding
    unsigned threads_;
    bool overlap_;
    std::size_t cap_;
    Batch batches_[2];
    unsigned filling_ = 0;
    std::jthread applier_;  // declared last: joined before the batches go
};

// ---------------------------------------------------------------------------
// Plane rotations: cosine, sine and signed length.

struct Givens {
    double c, s, r;
};

// Maps (x, y) to (r, 0) under (a, b) -> (c a - s b, s a + c b). Needs y != 0.
inline Givens cancel_y(double x, double y) {
    const auto [mod0, sign0] = to_exp(x);
    const double denom = std::sqrt(mod0 * mod0 + y * y);
    return {mod0 / denom, -y / (sign0 * denom), sign0 * denom};
}

// Needs x != 0.
inline Givens cancel_x(double x, double y) {
    const auto [mod1, sign1] = to_exp(y);
    const double denom = std::sqrt(mod1 * mod1 + x * x);
    return {mod1 / denom, (x * sign1) / denom, sign1 * denom};
}

inline Givens givens_new(double p, double q) {
    const auto [mod0, sign0] = to_exp(p);
    const double denom = std::sqrt(mod0 * mod0 + q * q);
    if (denom > 0.0) {
        const double norm = sign0 * denom;
        return {mod0 / denom, q / norm, norm};
    }
    return {1.0, 0.0, 0.0};
}

// ---------------------------------------------------------------------------
// The implicit-shift QR iteration on the bidiagonal (d, e).

class Iteration {
public:
    Iteration(std::vector<double>& d, std::vector<double>& e, RotationLog& u) : d_(d), e_(e), u_(u) {}

    void run(std::size_t max_iterations) {
        auto [start, end] = delimit(d_.size() - 1);
        std::size_t iterations = 0;
        while (end != start) {
            if (iterations % 16 == 0) checkpoint();
            if (end - start + 1 > 2) {
                sweep(start, end);
            } else {
                block2(start);
                end -= 1;
            }
            std::tie(start, end) = delimit(end);
            if (end != start && ++iterations >= max_iterations)
                panic("The singular value decomposition did not converge within " +
                      std::to_string(max_iterations) + " iterations.");
        }
    }

private:
    static constexpr double kEps = 2.220446049250313e-16;

    void sweep(std::size_t start, std::size_t end) {
        auto& d = d_;
        auto& e = e_;
        const std::size_t p = end - 1, q = end;
        double shift;
        {
            const double tpp = d[p] * d[p] + e[p - 1] * e[p - 1];
            const double tpq = d[p] * e[p];
            const double tqq = d[q] * d[q] + e[p] * e[p];
            const double sq = tpq * tpq;
            if (sq != 0.0) {
                const double h = (tpp - tqq) * 0.5;
                shift = tqq - sq / (h + signum(h) * std::sqrt(h * h + sq));
            } else {
                shift = tqq;
            }
        }
        double wx = d[start] * d[start] - shift;
        double wy = d[start] * e[start];
        for (std::size_t k = start; k < q; ++k) {
            if (wy == 0.0) break;
            double m00 = d[k], m01 = e[k], m02 = 0.0;
            double m10 = 0.0, m11 = d[k + 1], m12 = k == q - 1 ? 0.0 : e[k + 1];
            const Givens g1 = cancel_y(wx, wy);
            {
                const double a0 = m00, b0 = m01, a1 = m10, b1 = m11;
                m00 = a0 * g1.c - b0 * g1.s;
                m01 = a0 * g1.s + b0 * g1.c;
                m10 = a1 * g1.c - b1 * g1.s;
                m11 = a1 * g1.s + b1 * g1.c;
            }
            if (k > start) e[k - 1] = g1.r;
            Givens g2{1.0, 0.0, m00};
            if (m10 != 0.0) g2 = cancel_y(m00, m10);
            {
                const double a1 = m01, b1 = m11, a2 = m02, b2 = m12;
                m01 = g2.c * a1 - g2.s * b1;
                m11 = g2.s * a1 + g2.c * b1;
                m02 = g2.c * a2 - g2.s * b2;
                m12 = g2.s * a2 + g2.c * b2;
            }
            m00 = g2.r;
            u_.push(k, k + 1, g2.c, g2.s);
            d[k] = m00;
            d[k + 1] = m11;
            e[k] = m01;
            if (k != q - 1) e[k + 1] = m12;
            wx = m01;
            wy = m02;
        }
    }

    // The 2 x 2 upper-triangular block at s; leaves the smaller value first.
    void block2(std::size_t s) {
        const double a = d_[s], b = e_[s], c = d_[s + 1];
        const double denom = orvelle::hypot(a + c, b) + orvelle::hypot(a - c, b);
        double v1 = a * c * 2.0 / denom;
        double v2 = 0.5 * denom;
        const Givens gv = givens_new(a * b, v1 * v1 - a * a);
        v1 *= gv.r;
        v2 *= gv.r;
        const double cu = (a * gv.c + b * gv.s) / v1;
        const double su = (c * gv.s) / v1;
        const Givens gu = givens_new(cu, su);
        v1 *= gu.r;
        v2 *= gu.r;
        d_[s] = v1;
        d_[s + 1] = v2;
        e_[s] = 0.0;
        // (x, y) -> (c x + s y, -s x + c y), the logged form with -s.
        u_.push(s, s + 1, gu.c, -gu.s);
    }

    std::pair<std::size_t, std::size_t> delimit(std::size_t end) {
        auto& d = d_;
        auto& e = e_;
        std::size_t n = end;
        while (n > 0) {
            const std::size_t i = n - 1;
            if (e[i] == 0.0 || std::fabs(e[i]) <= kEps * (std::fabs(d[n]) + std::fabs(d[i]))) {
                e[i] = 0.0;
            } else if (std::fabs(d[i]) <= kEps) {
                d[i] = 0.0;
                chase_right(i, n);
                if (i != 0) chase_up(i - 1);
            } else if (std::fabs(d[n]) <= kEps) {
                d[n] = 0.0;
                chase_up(i);
            } else {
                break;
            }
            --n;
        }
        if (n == 0) return {0, 0};
        std::size_t s = n - 1;
        while (s > 0) {
            const std::size_t i = s - 1;
            if (std::fabs(e[i]) <= kEps * (std::fabs(d[s]) + std::fabs(d[i]))) {
                e[i] = 0.0;
                return {s, n};
            }
            if (std::fabs(d[i]) <= kEps) {
                d[i] = 0.0;
                chase_right(i, n);
                if (i != 0) chase_up(i - 1);
                return {s, n};
            }
            --s;
        }
        return {0, n};
    }

    // Removes e[i] after d[i] became zero, rotating columns i and k+1 of U.
    void chase_right(std::size_t i, std::size_t end) {
        double wx = e_[i], wy = d_[i + 1];
        e_[i] = 0.0;
        for (std::size_t k = i; k < end; ++k) {
            if (wx == 0.0) break;
            const Givens g = cancel_x(wx, wy);
            d_[k + 1] = g.r;
            u_.push(i, k + 1, g.c, g.s);
            if (k + 1 != end) {
                wx = -g.s * e_[k + 1];
                wy = d_[k + 2];
                e_[k + 1] *= g.c;
            }
        }
    }

    // Removes e[i] after d[i+1] became zero. Only V would be rotated.
    void chase_up(std::size_t i) {
        double wx = d_[i], wy = e_[i];
        e_[i] = 0.0;
        for (std::size_t k = i + 1; k-- > 0;) {
            if (wy == 0.0) break;
            const Givens g = cancel_y(wx, wy);
            d_[k] = g.r;
            if (k > 0) {
                wx = d_[k - 1];
                wy = g.s * e_[k - 1];
                e_[k - 1] *= g.c;
            }
        }
    }

    std::vector<double>& d_;
    std::vector<double>& e_;
    RotationLog& u_;
};

Matrix row_major(const Doubles& ut, std::size_t m, std::size_t ld, unsigned threads) {
    Matrix u(m, m);
    transpose(ut.data(), ld, u.data.data(), m, m, m, threads, [](double v) { return v; });
    return u;
}

// Named apart from svd: an unqualified call to svd from here would also find
// the public (dispatching) overloads through Matrix.
Svd decompose(Matrix a, unsigned threads, std::size_t max_iterations) {
    Reduced r = reduce(std::move(a), threads);
    {
        RotationLog log(r.ut, r.m, r.ld, threads);
        Iteration(r.d, r.e, log).run(max_iterations);
        log.flush();
    }
    for (double& v : r.d) v *= r.scale;
    for (std::size_t i = 0; i < r.m; ++i) {
        if (r.d[i] < 0.0) {
            r.d[i] = -r.d[i];
            double* c = r.ut.data() + i * r.ld;
            for (std::size_t k = 0; k < r.m; ++k) c[k] = -c[k];
        }
    }
    Svd out;
    out.singular_values = std::move(r.d);
    out.u = row_major(r.ut, r.m, r.ld, threads);
    return out;
}

}  // namespace

Svd svd(Matrix a, unsigned threads) {
    // Typical inputs need two or three sweeps per value; this only stops a
    // run that has gone wrong.
    const std::size_t m = a.rows;
    return decompose(std::move(a), threads, 1000 + 100 * m);
}

Svd svd(Matrix a, unsigned threads, std::size_t max_iterations) {
    return decompose(std::move(a), threads, max_iterations);
}

Bidiagonal bidiagonalize(Matrix a, unsigned threads) {
    Reduced r = reduce(std::move(a), threads);
    Bidiagonal out;
    out.scale = r.scale;
    out.diagonal = std::move(r.d);
    out.off_diagonal = std::move(r.e);
    out.u = row_major(r.ut, r.m, r.ld, threads);
    return out;
}

ORVELLE_KERNELS_END

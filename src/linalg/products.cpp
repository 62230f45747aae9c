#include "linalg/products.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>

#include "linalg/line_aligned.hpp"
#include "linalg/parallel.hpp"
#include "util/cancellation.hpp"
#include "linalg/kernel_level.hpp"  // last

ORVELLE_KERNELS_BEGIN
#include "linalg/simd.hpp"  // here: the helpers take this copy's instruction set

namespace {

using simd::load;
using simd::splat;
using simd::store;
using simd::v8d;

constexpr std::size_t kBlock = 256;  // the summed index's block length
constexpr std::size_t kSmall = 5;    // products with a dimension this small skip the blocks

std::size_t round8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// An 8 x (8 NV) tile of block sums over kc steps, each from +0.0 in step
// order. Row ii of the tile reads a[r * a_step + ii * a_lane] at step r; lane
// l of vector v reads b[v * b_panel + r * 8 + l].
template <int NV>
struct Tile {
    v8d acc[8][NV];

    void run(const double* a, std::size_t a_step, std::size_t a_lane, const double* b,
             std::size_t b_panel, std::size_t kc) {
        for (int ii = 0; ii < 8; ++ii)
            for (int v = 0; v < NV; ++v) acc[ii][v] = splat(0.0);
        for (std::size_t r = 0; r < kc; ++r) {
            v8d bv[NV];
            for (int v = 0; v < NV; ++v) bv[v] = load(b + v * b_panel + r * 8);
            const double* ar = a + r * a_step;
#pragma GCC unroll 8
            for (int ii = 0; ii < 8; ++ii) {
                const v8d av = splat(ar[ii * a_lane]);
                for (int v = 0; v < NV; ++v) acc[ii][v] = acc[ii][v] + av * bv[v];
            }
        }
    }

    // out(i, j) := sum (first block) or out(i, j) + sum, for the rows and
    // columns that exist.
    void write(double* out, std::size_t ld, std::size_t rows, std::size_t cols, bool first) const {
        for (std::size_t ii = 0; ii < rows; ++ii) {
            double* o = out + ii * ld;
            for (int v = 0; v < NV; ++v) {
                const std::size_t c0 = std::size_t(v) * 8;
                if (c0 >= cols) break;
                if (c0 + 8 <= cols) {
                    store(o + c0, first ? acc[ii][v] : load(o + c0) + acc[ii][v]);
                } else {
                    for (std::size_t l = 0; c0 + l < cols; ++l)
                        o[c0 + l] = first ? acc[ii][v][l] : o[c0 + l] + acc[ii][v][l];
                }
            }
        }
    }
};

// Row r of x minus mean into out, d values.
inline void centre_row(const double* x, const double* mean, std::size_t d, double* out) {
    std::size_t j = 0;
    for (; j + 8 <= d; j += 8) store(out + j, load(x + j) - load(mean + j));
    for (; j < d; ++j) out[j] = x[j] - mean[j];
}

// The caller's callbacks, and the check whether to stop (once per block), run
// on worker 0. One that throws must not leave the other workers waiting at a
// meeting point: the failure is kept, every worker stops after the next
// meeting, and it is rethrown once they have joined.
class Callbacks {
public:
    template <class F>
    void run(F&& f) {
        if (failed_.load(std::memory_order_relaxed)) return;
        try {
            f();
        } catch (...) {
            error_ = std::current_exception();
            failed_.store(true, std::memory_order_relaxed);
        }
    }
    // Read right after a meeting, so every worker sees the same answer.
    bool failed() const { return failed_.load(std::memory_order_relaxed); }
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

void mirror_upper(Matrix& s) {
    for (std::size_t i = 0; i < s.rows; ++i)
        for (std::size_t j = i + 1; j < s.cols; ++j) s(j, i) = s(i, j);
}

// The upper triangle of S plus (or, with overwrite, set to for the first
// block) the blocked sums over x's rows: blocks of 256 rows from x's first,
// each summed from +0.0 in row order and added to S in block order.
void gram_blocks(const RowView& x, const std::vector<double>& mean, Matrix& s, bool overwrite, unsigned threads,
                 const RowTick& tick) {
    const std::size_t n = x.rows, d = x.cols;
    // One block of 256 centred rows at a time, stored as panels of eight
    // columns: panel p holds rows 0..255, each as its columns 8p..8p+7. The
    // upper triangle is cut into 8 x 24 tiles; each tile sums the block in
    // registers and adds it to S.
    constexpr int NV = 3;
    constexpr std::size_t kCols = 8 * NV;
    const std::size_t panels = round8(d) / 8;
    const std::size_t col_tiles = (panels + NV - 1) / NV;
    Doubles packed(col_tiles * NV * kBlock * 8, 0.0);
    const std::size_t panel_size = kBlock * 8;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> tiles;  // (row panel, column tile)
    for (std::size_t jt = 0; jt < col_tiles; ++jt)
        for (std::size_t pi = 0; pi < panels && pi * 8 <= jt * kCols + kCols - 1; ++pi)
            tiles.emplace_back(std::uint32_t(pi), std::uint32_t(jt));

    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), tiles.size()));
    SpinBarrier sync(nt);
    Callbacks calls;
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    run_workers(nt, [&](unsigned t) {
        Tile<NV> tile;
        double row[8];
        const auto [t0, t1] = share(tiles.size(), t, nt);
        for (std::size_t blk = 0; blk < blocks; ++blk) {
            const std::size_t r0 = blk * kBlock, kc = std::min(kBlock, n - r0);
            if (t == 0) calls.run([&] {
                for (std::size_t r = 0; r < kc; ++r) tick();
                checkpoint();
            });
            const auto [c0, c1] = share(kc, t, nt);
            for (std::size_t r = c0; r < c1; ++r) {
                const double* xr = x.row[r0 + r];
                for (std::size_t p = 0; p < panels; ++p) {
                    double* dst = packed.data() + p * panel_size + r * 8;
                    const std::size_t j0 = p * 8;
                    if (j0 + 8 <= d) {
                        store(dst, load(xr + j0) - load(mean.data() + j0));
                    } else {
                        for (std::size_t l = 0; l < 8; ++l) row[l] = j0 + l < d ? xr[j0 + l] - mean[j0 + l] : 0.0;
                        std::copy(row, row + 8, dst);
                    }
                }
            }
            sync.arrive_and_wait();
            if (calls.failed()) break;
            for (std::size_t k = t0; k < t1; ++k) {
                // A wide block takes seconds: its tiles look up now and then
                // (the call fails below if any were skipped).
                if ((k - t0) % 64 == 63 && stop_requested()) break;
                const auto [pi, jt] = tiles[k];
                tile.run(packed.data() + pi * panel_size, 8, 1, packed.data() + jt * NV * panel_size,
                         panel_size, kc);
                const std::size_t i0 = std::size_t(pi) * 8, j0 = std::size_t(jt) * kCols;
                tile.write(s.row(i0) + j0, d, std::min<std::size_t>(8, d - i0),
                           std::min(kCols, d - j0), overwrite && blk == 0);
            }
            sync.arrive_and_wait();
        }
    });
    calls.rethrow();
    throw_if_cancelled();
}

}  // namespace

Matrix centred_gram(const RowView& x, const std::vector<double>& mean, unsigned threads,
                    const RowTick& tick) {
    const std::size_t n = x.rows, d = x.cols;
    Matrix s(d, d);

    if (n <= kSmall || d <= kSmall) {
        std::vector<double> c(d);
        for (std::size_t r = 0; r < n; ++r) {
            tick();
            centre_row(x.row[r], mean.data(), d, c.data());
            for (std::size_t i = 0; i < d; ++i) {
                double* si = s.row(i);
                for (std::size_t j = i; j < d; ++j) si[j] = r == 0 ? c[i] * c[j] : si[j] + c[i] * c[j];
            }
        }
        mirror_upper(s);
        return s;
    }

    gram_blocks(x, mean, s, true, threads, tick);
    mirror_upper(s);
    return s;
}

void centred_gram_add(const RowView& x, const std::vector<double>& mean, Matrix& s, bool first,
                      unsigned threads) {
    gram_blocks(x, mean, s, first, threads, [] {});
}

void complete_gram(Matrix& s) { mirror_upper(s); }


void centred_product(const RowView& x, const std::vector<double>& mean, const Matrix& w,
                     unsigned threads, const RowTick& tick, const RowSink& sink) {
    const std::size_t n = x.rows, d = x.cols, k = w.cols;

    if (n <= kSmall || d <= kSmall || k <= kSmall) {
        std::vector<double> c(d), y(k);
        for (std::size_t r = 0; r < n; ++r) {
            tick();
            centre_row(x.row[r], mean.data(), d, c.data());
            for (std::size_t q = 0; q < k; ++q) {
                double acc = d == 0 ? 0.0 : c[0] * w(0, q);
                for (std::size_t j = 1; j < d; ++j) acc = acc + c[j] * w(j, q);
                y[q] = acc;
            }
            sink(r, y.data());
        }
        return;
    }

    // w as panels of eight columns over all d rows; the centred rows of a
    // chunk stay row-major and each tile row broadcasts from its own row.
    constexpr int NV = 3;
    constexpr std::size_t kCols = 8 * NV;
    constexpr std::size_t kChunk = 256;
    const std::size_t panels = round8(k) / 8;
    const std::size_t col_tiles = (panels + NV - 1) / NV;
    const std::size_t panel_size = d * 8;
    Doubles wp(col_tiles * NV * panel_size, 0.0);
    for (std::size_t j = 0; j < d; ++j)
        for (std::size_t q = 0; q < k; ++q) wp[(q / 8) * panel_size + j * 8 + q % 8] = w(j, q);

    Doubles c(kChunk * d, 0.0);
    const std::size_t ldy = col_tiles * kCols;
    Doubles y(kChunk * ldy, 0.0);
    const std::size_t blocks = (d + kBlock - 1) / kBlock;
    const std::size_t chunks = (n + kChunk - 1) / kChunk;

    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), col_tiles));
    SpinBarrier sync(nt);
    Callbacks calls;
    run_workers(nt, [&](unsigned t) {
        Tile<NV> tile;
        const auto [q0, q1] = share(col_tiles, t, nt);
        for (std::size_t ch = 0; ch < chunks; ++ch) {
            const std::size_t r0 = ch * kChunk, rc = std::min(kChunk, n - r0);
            if (t == 0) calls.run([&] {
                for (std::size_t r = 0; r < rc; ++r) tick();
                checkpoint();
            });
            const auto [c0, c1] = share(rc, t, nt);
            for (std::size_t r = c0; r < c1; ++r) centre_row(x.row[r0 + r], mean.data(), d, c.data() + r * d);
            sync.arrive_and_wait();
            if (calls.failed()) break;
            const std::size_t row_panels = (rc + 7) / 8;
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::size_t j0 = b * kBlock, kc = std::min(kBlock, d - j0);
                for (std::size_t jt = q0; jt < q1; ++jt) {
                    const double* bp = wp.data() + jt * NV * panel_size + j0 * 8;
                    for (std::size_t rp = 0; rp < row_panels; ++rp) {
                        tile.run(c.data() + rp * 8 * d + j0, 1, d, bp, panel_size, kc);
                        const std::size_t rows = std::min<std::size_t>(8, rc - rp * 8);
                        tile.write(y.data() + rp * 8 * ldy + jt * kCols, ldy, rows, kCols, b == 0);
                    }
                }
            }
            sync.arrive_and_wait();
            if (t == 0) calls.run([&] {
                for (std::size_t r = 0; r < rc; ++r) sink(r0 + r, y.data() + r * ldy);
            });
        }
    });
    calls.rethrow();
}

ORVELLE_KERNELS_END

#include "linalg/products.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <utility>

#include "linalg/line_aligned.hpp"
#include "linalg/parallel.hpp"
#include "util/cancellation.hpp"
#include "linalg/kernel_level.hpp"  // last

ORVELLE_KERNELS_BEGIN
#include "linalg/simd.hpp"  // here: the helpers take this copy's instruction set

namespace {

using simd::load;
using simd::store;

constexpr std::size_t kBlock = 256;  // the summed index's block length
constexpr std::size_t kSmall = 5;    // products with a dimension this small skip the blocks

// This copy's vector and tile shape: MR rows, each value broadcast to every
// lane, by NV vectors of W lanes. The MR x NV sums, the NV vectors and the
// broadcast fill the registers: 32 of 512 bits, or 16 of 256 or of 128 bits
// (a product may then take its vector straight from memory). A wider vector
// than the registers would be spilled through memory at every step.
#if ORVELLE_KERNEL_AVX512
constexpr int W = 8, MR = 8, NV = 3;
#elif ORVELLE_KERNEL_AVX
constexpr int W = 4, MR = 4, NV = 3;
#else
constexpr int W = 2, MR = 4, NV = 2;
#endif
static_assert(MR % W == 0, "a tile's rows start on a panel");
constexpr std::size_t kCols = std::size_t(W) * NV;  // columns of a tile
using Lanes = double __attribute__((vector_size(W * sizeof(double))));

inline Lanes lane_load(const double* p) {
    Lanes v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void lane_store(double* p, Lanes v) { __builtin_memcpy(p, &v, sizeof v); }

template <std::size_t... L>
inline Lanes lane_splat(double x, std::index_sequence<L...>) {
    return Lanes{((void)L, x)...};
}
inline Lanes lane_splat(double x) { return lane_splat(x, std::make_index_sequence<W>{}); }

std::size_t ceil_div(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

// An MR x kCols tile of block sums over kc steps, each from +0.0 in step
// order. At step r, row ii reads a[r * a_step + (ii / W) * a_panel + (ii % W)
// * a_lane]; lane l of vector v reads b[v * b_panel + r * W + l].
struct Tile {
    Lanes acc[MR][NV];

    void run(const double* a, std::size_t a_step, std::size_t a_lane, std::size_t a_panel, const double* b,
             std::size_t b_panel, std::size_t kc) {
        for (int ii = 0; ii < MR; ++ii)
            for (int v = 0; v < NV; ++v) acc[ii][v] = lane_splat(0.0);
        for (std::size_t r = 0; r < kc; ++r) {
            Lanes bv[NV];
            for (int v = 0; v < NV; ++v) bv[v] = lane_load(b + v * b_panel + r * W);
            const double* ar = a + r * a_step;
#pragma GCC unroll 16
            for (int ii = 0; ii < MR; ++ii) {
                const Lanes av = lane_splat(ar[(ii / W) * a_panel + (ii % W) * a_lane]);
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
                const std::size_t c0 = std::size_t(v) * W;
                if (c0 >= cols) break;
                if (c0 + W <= cols) {
                    lane_store(o + c0, first ? acc[ii][v] : lane_load(o + c0) + acc[ii][v]);
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
// meeting point: the failure is kept, every worker stops after the same
// meeting, and it is rethrown once they have joined. The failure is tied to
// that meeting, not read as a flag: a worker its core's other tenants held
// back may ask only once worker 0 has run the next callback, and must not
// stop a meeting early and leave worker 0 waiting there for good.
class Callbacks {
public:
    // Runs f unless one failed already; its failure counts from `meeting` on.
    template <class F>
    void run(std::size_t meeting, F&& f) {
        if (failed_at_.load(std::memory_order_relaxed) != kNone) return;
        try {
            f();
        } catch (...) {
            error_ = std::current_exception();
            failed_at_.store(meeting, std::memory_order_relaxed);
        }
    }
    // Whether to stop after meeting `meeting`: the same answer for every worker.
    bool failed(std::size_t meeting) const { return failed_at_.load(std::memory_order_relaxed) <= meeting; }
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    static constexpr std::size_t kNone = SIZE_MAX;
    std::atomic<std::size_t> failed_at_{kNone};
    std::exception_ptr error_;
};

// The lower triangle from the upper one, in squares of 32 x 32 so that the
// reads and the writes both use whole cache lines.
void mirror_upper(Matrix& s) {
    constexpr std::size_t kSquare = 32;
    const std::size_t d = s.rows;
    for (std::size_t i0 = 0; i0 < d; i0 += kSquare)
        for (std::size_t j0 = i0; j0 < d; j0 += kSquare)
            for (std::size_t i = i0; i < std::min(d, i0 + kSquare); ++i)
                for (std::size_t j = std::max(j0, i + 1); j < std::min(d, j0 + kSquare); ++j) s(j, i) = s(i, j);
}

// The upper triangle of S plus (or, with overwrite, set to for the first
// block) the blocked sums over x's rows: blocks of 256 rows from x's first,
// each summed from +0.0 in row order and added to S in block order.
void gram_blocks(const RowView& x, const std::vector<double>& mean, Matrix& s, bool overwrite, unsigned threads,
                 const RowTick& tick) {
    const std::size_t n = x.rows, d = x.cols;
    // One block of 256 centred rows at a time, stored as panels of W
    // columns: panel p holds rows 0..255, each as its columns W p ..
    // W p + W - 1 (zero past d). A tile's rows read MR / W whole panels, its
    // columns NV neighbouring ones.
    const std::size_t row_tiles = ceil_div(d, MR), col_tiles = ceil_div(d, kCols);
    const std::size_t panels = std::max(row_tiles * (MR / W), col_tiles * NV);
    const std::size_t panel_size = kBlock * W;

    // The upper triangle in units of 256 rows by 384 columns of S: a unit's
    // rows of the block (256 x 256 values) stay in the worker's L2 while its
    // column tiles pass, each reused by every row tile below it, and the
    // unit's writes to S stay within a few hundred pages. Workers claim the
    // units of a block one by one, so a worker whose core is taken by
    // others does less, not the others wait; every tile still takes the
    // blocks in order, as the blocks are done one after the other.
    constexpr std::size_t kUnitRows = 256, kUnitCols = 384;
    static_assert(kUnitRows % MR == 0 && kUnitCols % kCols == 0);
    struct Unit {
        std::size_t row0, row1, col0, col1;  // tiles
    };
    std::vector<Unit> units;
    for (std::size_t i0 = 0; i0 < d; i0 += kUnitRows)
        for (std::size_t j0 = i0 / kUnitCols * kUnitCols; j0 < d; j0 += kUnitCols)
            units.push_back({i0 / MR, std::min(row_tiles, (i0 + kUnitRows) / MR), j0 / kCols,
                             std::min(col_tiles, (j0 + kUnitCols) / kCols)});

    // Two blocks in turn: a worker done with its units of one packs its
    // share of the next into the other buffer, whose readers all finished
    // before the last meeting. One meeting per block.
    Doubles packed[2] = {Doubles(panels * panel_size, 0.0), Doubles(panels * panel_size, 0.0)};
    std::atomic<std::size_t> next[2] = {0, 0};  // the next unit to claim, per buffer
    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), units.size()));
    SpinBarrier sync(nt);
    Callbacks calls;
    const std::size_t blocks = ceil_div(n, kBlock);
    const auto rows_of = [&](std::size_t blk) { return std::min(kBlock, n - blk * kBlock); };
    const auto pack = [&](std::size_t blk, unsigned t) {
        if (t == 0) calls.run(blk, [&] {  // meeting blk opens block blk
            for (std::size_t r = rows_of(blk); r > 0; --r) tick();
            checkpoint();
        });
        double* buf = packed[blk & 1].data();
        const auto [c0, c1] = share(rows_of(blk), t, nt);
        for (std::size_t r = c0; r < c1; ++r) {
            const double* xr = x.row[blk * kBlock + r];
            std::size_t j0 = 0;
            for (; j0 + W <= d; j0 += W)
                lane_store(buf + j0 / W * panel_size + r * W, lane_load(xr + j0) - lane_load(mean.data() + j0));
            for (std::size_t l = 0; j0 + l < d; ++l) buf[j0 / W * panel_size + r * W + l] = xr[j0 + l] - mean[j0 + l];
        }
    };
    const auto unit = [&](Tile& tile, const Unit& u, const double* buf, std::size_t kc, bool first) {
        for (std::size_t jt = u.col0; jt < u.col1; ++jt) {
            const std::size_t j0 = jt * kCols;
            const std::size_t row_end = std::min(u.row1, (j0 + kCols - 1) / MR + 1);  // tiles reaching the diagonal
            for (std::size_t it = u.row0; it < row_end; ++it) {
                const std::size_t i0 = it * MR;
                // The next tile's part of S, rows far apart, is on its way
                // while this tile sums.
                if (it + 1 < row_end)
                    for (std::size_t ii = 0; ii < std::min<std::size_t>(MR, d - i0 - MR); ++ii)
                        for (std::size_t c = 0; c < std::min(kCols, d - j0); c += 8)
                            __builtin_prefetch(s.row(i0 + MR + ii) + j0 + c, 1);
                tile.run(buf + i0 / W * panel_size, W, 1, panel_size, buf + jt * NV * panel_size, panel_size, kc);
                tile.write(s.row(i0) + j0, d, std::min<std::size_t>(MR, d - i0), std::min(kCols, d - j0), first);
            }
        }
    };
    // A block 2048 or more wide takes tenths of a second: there each unit
    // (milliseconds) asks first whether to stop, and the call fails below if
    // any were skipped. A narrower block asks once, as it is packed, so the
    // asks come at the same points from run to run.
    const bool ask_per_unit = d >= 2048;
    run_workers(nt, [&](unsigned t) {
        Tile tile;
        pack(0, t);
        for (std::size_t blk = 0; blk < blocks; ++blk) {
            sync.arrive_and_wait();  // block blk packed, block blk - 1 summed
            if (calls.failed(blk)) break;
            if (t == 0) next[(blk + 1) & 1].store(0, std::memory_order_relaxed);
            const double* buf = packed[blk & 1].data();
            for (;;) {
                const std::size_t k = next[blk & 1].fetch_add(1, std::memory_order_relaxed);
                if (k >= units.size() || (ask_per_unit && stop_requested())) break;
                unit(tile, units[k], buf, rows_of(blk), overwrite && blk == 0);
            }
            if (blk + 1 < blocks) pack(blk + 1, t);
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

    // w as panels of W columns over all d rows; the centred rows of a chunk
    // stay row-major and each tile row broadcasts from its own row.
    constexpr std::size_t kChunk = 256;
    const std::size_t col_tiles = ceil_div(k, kCols);
    const std::size_t panel_size = d * W;
    Doubles wp(col_tiles * NV * panel_size, 0.0);
    for (std::size_t j = 0; j < d; ++j)
        for (std::size_t q = 0; q < k; ++q) wp[(q / W) * panel_size + j * W + q % W] = w(j, q);

    // A chunk's output in units of 128 rows by 96 columns: per block of 256
    // features, the unit's rows (256 KiB) and its columns of w (192 KiB)
    // stay in L2. Workers claim units one by one; each unit takes the blocks
    // in order.
    constexpr std::size_t kUnitRows = 128, kUnitCols = 96;
    static_assert(kUnitRows % MR == 0 && kUnitCols % kCols == 0 && kChunk % kUnitRows == 0);
    const std::size_t ldy = col_tiles * kCols;
    const std::size_t blocks = ceil_div(d, kBlock), chunks = ceil_div(n, kChunk);
    const std::size_t col_units = ceil_div(k, kUnitCols);
    const auto rows_of = [&](std::size_t ch) { return std::min(kChunk, n - ch * kChunk); };

    // Two chunks in turn, one meeting per chunk: after the meeting that
    // opens chunk ch (centred, and chunk ch - 1 projected), worker 0 hands
    // chunk ch - 1 to the sink while the others go on.
    Doubles c[2] = {Doubles(kChunk * d, 0.0), Doubles(kChunk * d, 0.0)};
    Doubles y[2] = {Doubles(kChunk * ldy, 0.0), Doubles(kChunk * ldy, 0.0)};
    std::atomic<std::size_t> next[2] = {0, 0};
    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), (kChunk / kUnitRows) * col_units));
    SpinBarrier sync(nt);
    Callbacks calls;
    const auto centre = [&](std::size_t ch, unsigned t) {
        const std::size_t r0 = ch * kChunk;
        if (t == 0) calls.run(ch, [&] {  // meeting ch opens chunk ch
            for (std::size_t r = rows_of(ch); r > 0; --r) tick();
            checkpoint();
        });
        const auto [c0, c1] = share(rows_of(ch), t, nt);
        for (std::size_t r = c0; r < c1; ++r) centre_row(x.row[r0 + r], mean.data(), d, c[ch & 1].data() + r * d);
    };
    const auto emit = [&](std::size_t ch) {  // after meeting ch + 1
        calls.run(ch + 2, [&] {
            const double* yc = y[ch & 1].data();
            for (std::size_t r = 0; r < rows_of(ch); ++r) sink(ch * kChunk + r, yc + r * ldy);
        });
    };
    const auto unit = [&](Tile& tile, std::size_t u, std::size_t ch) {
        const std::size_t rc = rows_of(ch);
        const std::size_t row0 = u / col_units * kUnitRows;
        if (row0 >= rc) return;
        const std::size_t row_tiles = ceil_div(std::min(rc, row0 + kUnitRows) - row0, MR);
        const std::size_t ct0 = u % col_units * (kUnitCols / kCols);
        const std::size_t ct1 = std::min(col_tiles, ct0 + kUnitCols / kCols);
        const double* cc = c[ch & 1].data();
        double* yc = y[ch & 1].data();
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t j0 = b * kBlock, kc = std::min(kBlock, d - j0);
            for (std::size_t jt = ct0; jt < ct1; ++jt) {
                const double* bp = wp.data() + jt * NV * panel_size + j0 * W;
                for (std::size_t it = 0; it < row_tiles; ++it) {
                    const std::size_t r = row0 + it * MR;
                    tile.run(cc + r * d + j0, 1, d, W * d, bp, panel_size, kc);
                    tile.write(yc + r * ldy + jt * kCols, ldy, std::min<std::size_t>(MR, rc - r), kCols, b == 0);
                }
            }
        }
    };
    run_workers(nt, [&](unsigned t) {
        Tile tile;
        centre(0, t);
        for (std::size_t ch = 0; ch < chunks; ++ch) {
            sync.arrive_and_wait();  // chunk ch centred, chunk ch - 1 projected
            if (calls.failed(ch)) break;
            if (t == 0) {
                next[(ch + 1) & 1].store(0, std::memory_order_relaxed);
                if (ch > 0) emit(ch - 1);
            }
            for (;;) {
                const std::size_t u = next[ch & 1].fetch_add(1, std::memory_order_relaxed);
                if (u >= (kChunk / kUnitRows) * col_units) break;
                unit(tile, u, ch);
            }
            if (ch + 1 < chunks) centre(ch + 1, t);
        }
        sync.arrive_and_wait();  // the last chunk projected
        if (t == 0 && !calls.failed(chunks)) emit(chunks - 1);
    });
    calls.rethrow();
}

ORVELLE_KERNELS_END

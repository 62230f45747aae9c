#include "space/similarity_table.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>
#include <utility>

#include "util/cancellation.hpp"
#include "linalg/kernel_level.hpp"  // last

ORVELLE_KERNELS_BEGIN
namespace {

// As many rows as a 256-bit register holds doubles where there is one; a
// vector type wider than the target's registers would be spilled through
// memory.
#if ORVELLE_KERNEL_AVX
constexpr std::size_t kLanes = 4;
#else
constexpr std::size_t kLanes = 2;
#endif
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));

// Component i of rows r[0 .. kLanes-1], one per lane.
template <std::size_t... K>
inline Lanes gather(const double* const* r, std::size_t i, std::index_sequence<K...>) {
    return Lanes{r[K][i]...};
}

// Up to this many centres share one pass over a block of rows.
constexpr std::size_t kMaxCentres = 4;

// Rows j .. j+kLanes-1 against NS centres: lane k carries row j+k through the same
// sequence of rounded products and sums as the scalar loop.
template <std::size_t NS>
void lane_rows(const double* const* r, std::size_t d, const double* const* c, const double* sqrt_b,
               double* const* out) {
    const Lanes zero = {};  // +0.0 in every lane
    Lanes a = zero;
    Lanes dot[NS];
    for (auto& v : dot) v = zero;
    for (std::size_t i = 0; i < d; ++i) {
        const Lanes x = gather(r, i, std::make_index_sequence<kLanes>{});
        a += x * x;
        for (std::size_t s = 0; s < NS; ++s) dot[s] += x * c[s][i];
    }
    for (std::size_t k = 0; k < kLanes; ++k) {
        const double sqrt_a = std::sqrt(a[k]);
        for (std::size_t s = 0; s < NS; ++s) out[s][k] = dot[s][k] / (sqrt_b[s] * sqrt_a);
    }
}

template <std::size_t NS>
void one_row(const double* r, std::size_t d, const double* const* c, const double* sqrt_b,
             double* const* out) {
    double a = 0.0;
    double dot[NS];
    for (auto& v : dot) v = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        const double x = r[i];
        a += x * x;
        for (std::size_t s = 0; s < NS; ++s) dot[s] += x * c[s][i];
    }
    const double sqrt_a = std::sqrt(a);
    for (std::size_t s = 0; s < NS; ++s) out[s][0] = dot[s] / (sqrt_b[s] * sqrt_a);
}

template <std::size_t NS>
void rows_against(const std::vector<const double*>& rows, std::size_t begin, std::size_t end,
                  std::size_t d, const double* const* c, const double* sqrt_b, double* const* col) {
    double* out[NS];
    std::size_t j = begin;
    for (; j + kLanes <= end; j += kLanes) {
        for (std::size_t s = 0; s < NS; ++s) out[s] = col[s] + j;
        lane_rows<NS>(&rows[j], d, c, sqrt_b, out);
    }
    for (; j < end; ++j) {
        for (std::size_t s = 0; s < NS; ++s) out[s] = col[s] + j;
        one_row<NS>(rows[j], d, c, sqrt_b, out);
    }
}

void rows_against_any(const std::vector<const double*>& rows, std::size_t begin, std::size_t end,
                      std::size_t d, const double* const* c, const double* sqrt_b,
                      double* const* col, std::size_t ns) {
    switch (ns) {
        case 1: return rows_against<1>(rows, begin, end, d, c, sqrt_b, col);
        case 2: return rows_against<2>(rows, begin, end, d, c, sqrt_b, col);
        case 3: return rows_against<3>(rows, begin, end, d, c, sqrt_b, col);
        default: return rows_against<4>(rows, begin, end, d, c, sqrt_b, col);
    }
}

}  // namespace

std::vector<double> cos_similarity_table(const std::vector<const double*>& rows, std::size_t width,
                                         const std::vector<std::vector<double>>& centres,
                                         unsigned threads) {
    const std::size_t n = rows.size();
    const std::size_t ns = centres.size();
    std::vector<double> out(n * ns);
    if (n == 0 || ns == 0) return out;

    // The centre's own sum is the same for every row: computed once, in the
    // same order as for a single pair.
    std::vector<double> sqrt_b(ns);
    std::vector<const double*> c(ns);
    std::vector<double*> col(ns);
    for (std::size_t s = 0; s < ns; ++s) {
        double b = 0.0;
        for (std::size_t i = 0; i < width; ++i) b += centres[s][i] * centres[s][i];
        sqrt_b[s] = std::sqrt(b);
        c[s] = centres[s].data();
        col[s] = out.data() + s * n;
    }

    // In pieces of whole lane blocks, asking between them whether to stop.
    constexpr std::size_t kPiece = 1024;
    auto work = [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; p += kPiece) {
            if (stop_requested()) return;
            const std::size_t q = std::min(end, p + kPiece);
            for (std::size_t s = 0; s < ns; s += kMaxCentres)
                rows_against_any(rows, p, q, width, &c[s], &sqrt_b[s], &col[s], std::min(kMaxCentres, ns - s));
        }
    };

    // Contiguous ranges of whole lane blocks, one per worker.
    const std::size_t blocks = (n + kLanes - 1) / kLanes;
    const std::size_t workers = std::clamp<std::size_t>(threads, 1, blocks);
    const std::size_t per = (blocks + workers - 1) / workers * kLanes;
    std::vector<std::jthread> pool;
    pool.reserve(workers - 1);
    for (std::size_t w = 1; w < workers; ++w) {
        const std::size_t begin = std::min(n, w * per);
        const std::size_t end = std::min(n, begin + per);
        if (begin >= end) continue;
        try {
            pool.emplace_back([&work, begin, end, token = current_cancellation()] {
                CancelScope scope(token, false);
                work(begin, end);
            });
        } catch (const std::system_error&) {
            work(begin, end);  // no thread to be had: same values, computed here
        }
    }
    work(0, std::min(n, per));
    pool.clear();  // joined
    throw_if_cancelled();
    return out;
}

ORVELLE_KERNELS_END

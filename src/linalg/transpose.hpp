// dst[j * dst_ld + i] = f(src[i * src_ld + j]) for i < rows, j < cols: a
// matrix from rows to columns or back. Element by element, one side moves
// a whole matrix width per element and misses the cache every time (0.3 to
// 0.5 s each way at 4096 wide); tiles of 32 x 32 keep both sides' lines in
// the first-level cache, and the workers take bands of tiles.
#pragma once

#include <algorithm>
#include <cstddef>

#include "linalg/parallel.hpp"

namespace orvelle {

template <class F>
void transpose(const double* src, std::size_t src_ld, double* dst, std::size_t dst_ld, std::size_t rows,
               std::size_t cols, unsigned threads, F f) {
    constexpr std::size_t kTile = 32;
    const std::size_t bands = (rows + kTile - 1) / kTile;
    // Below a million elements a thread costs more than it saves.
    const unsigned nt =
        rows * cols >= (std::size_t{1} << 20) ? unsigned(std::min<std::size_t>(worker_count(threads), bands)) : 1;
    run_workers(nt, [&](unsigned t) {
        auto [b0, b1] = share(bands, t, nt);
        for (std::size_t i0 = b0 * kTile; i0 < std::min(rows, b1 * kTile); i0 += kTile)
            for (std::size_t j0 = 0; j0 < cols; j0 += kTile) {
                const std::size_t i1 = std::min(rows, i0 + kTile), j1 = std::min(cols, j0 + kTile);
                for (std::size_t j = j0; j < j1; ++j)
                    for (std::size_t i = i0; i < i1; ++i) dst[j * dst_ld + i] = f(src[i * src_ld + j]);
            }
    });
}

}  // namespace orvelle

// column_means (declared in linalg/pca.hpp): a kernel, compiled once per
// instruction-set level.
#include "linalg/pca.hpp"

#include <algorithm>
#include <vector>

#include "linalg/parallel.hpp"
#include "util/cancellation.hpp"
#include "linalg/kernel_level.hpp"  // last

ORVELLE_KERNELS_BEGIN
#include "linalg/simd.hpp"  // here: the helpers take this copy's instruction set

std::vector<double> column_means(const RowView& x, unsigned threads) {
    const std::size_t n = x.rows, d = x.cols;
    std::vector<double> mean(d, 0.0);
    if (n == 0) return mean;
    // Lanes and workers take different columns; each column is summed down
    // the rows in order.
    const std::size_t vectors = (d + 7) / 8;
    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), std::max<std::size_t>(vectors, 1)));
    run_workers(nt, [&](unsigned t) {
        const auto [v0, v1] = share(vectors, t, nt);
        constexpr std::size_t kGroup = 4;  // vectors summed together per pass over the rows
        for (std::size_t g = v0; g < v1; g += kGroup) {
            if (stop_requested()) return;
            const std::size_t j0 = g * 8, j1 = std::min(d, std::min(v1, g + kGroup) * 8);
            if (j1 - j0 == kGroup * 8) {
                simd::v8d acc[kGroup];
                for (auto& a : acc) a = simd::splat(0.0);
                for (std::size_t i = 0; i < n; ++i) {
                    const double* r = x.row[i] + j0;
                    for (std::size_t v = 0; v < kGroup; ++v) acc[v] = acc[v] + simd::load(r + 8 * v);
                }
                for (std::size_t v = 0; v < kGroup; ++v) simd::store(mean.data() + j0 + 8 * v, acc[v]);
            } else {
                double acc[kGroup * 8] = {};
                for (std::size_t i = 0; i < n; ++i) {
                    const double* r = x.row[i];
                    for (std::size_t j = j0; j < j1; ++j) acc[j - j0] = acc[j - j0] + r[j];
                }
                std::copy(acc, acc + (j1 - j0), mean.data() + j0);
            }
        }
    });
    throw_if_cancelled();
    const double nf = double(n);
    for (double& m : mean) m = m / nf;
    return mean;
}

ORVELLE_KERNELS_END

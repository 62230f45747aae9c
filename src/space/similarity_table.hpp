// Cosine similarity of many vectors against a few centres at once. Every value
// is bit for bit what cos_similarity(row, centre) returns: each row's sums run
// over the components in index order; SIMD lanes and worker threads only ever
// take different rows. The result does not depend on the thread count.
#pragma once

#include <cstddef>
#include <vector>

namespace orvelle {

// rows: pointers to vectors of `width` components; every centre has `width`
// components. Returns out[s * rows.size() + j] = similarity of row j to
// centre s. threads <= 1 runs on the calling thread only.
std::vector<double> cos_similarity_table(const std::vector<const double*>& rows, std::size_t width,
                                         const std::vector<std::vector<double>>& centres,
                                         unsigned threads);

// Worker count for about `work` multiply-adds on this machine.
unsigned similarity_threads(std::size_t work);

}  // namespace orvelle

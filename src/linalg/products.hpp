// The two matrix products of the PCA, over rows centred on the fly so the
// data is never copied whole. Every element is summed in one fixed order,
// the order of the reference design's matrix product:
// - when all three dimensions exceed 5, the summed index runs in blocks of
//   256 from index 0; each block is summed from +0.0 in increasing index, the
//   first block's sum is the element and each later block's sum is added to
//   it in order;
// - otherwise the first product is the element and the others are added in
//   increasing index.
// Lanes and workers take different output elements, so the result is the
// same for any thread count.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "linalg/matrix.hpp"

namespace orvelle {

// Called on the calling thread once per row, in row order, as the row is centred.
using RowTick = std::function<void()>;
// Receives output row i (the pointer is valid only during the call). By then
// input row i has been read for the last time: the caller may release it.
using RowSink = std::function<void(std::size_t i, const double* row)>;

// Cᵀ·C with row i of C = row i of x minus mean (x is n x d, n >= 1); d x d,
// exactly symmetric.
Matrix centred_gram(const RowView& x, const std::vector<double>& mean, unsigned threads,
                    const RowTick& tick);

// Cᵀ·C over a long series of rows handed in pieces, with the same bits as one
// centred_gram over all of them: each piece's rows are added to the upper
// triangle of s (d x d; set, not added, with first) in the blocks of 256 that
// centred_gram would form, so every piece but the last must hold a multiple
// of 256 rows. For more than five rows in all and d > 5 (the blocked order);
// complete_gram mirrors the upper triangle once the last piece is in.
void centred_gram_add(const RowView& x, const std::vector<double>& mean, Matrix& s, bool first,
                      unsigned threads);
void complete_gram(Matrix& s);

// The rows of C·w, C as above and w d x k, handed to sink in row order on the
// calling thread.
void centred_product(const RowView& x, const std::vector<double>& mean, const Matrix& w,
                     unsigned threads, const RowTick& tick, const RowSink& sink);

}  // namespace orvelle

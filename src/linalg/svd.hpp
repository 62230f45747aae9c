// Singular value decomposition of a square matrix by Golub-Kahan-Reinsch:
// Householder bidiagonalisation, then implicit-shift QR sweeps on the
// bidiagonal. The PCA keeps the first columns of U in the order this
// procedure leaves them (not sorted by value), so the procedure, its
// conventions and its order of additions are fixed: the same input gives
// the same bits on every machine and with any number of threads.
#pragma once

#include <cstddef>
#include <vector>

#include "linalg/matrix.hpp"

namespace orvelle {

struct Svd {
    std::vector<double> singular_values;  // in decomposition order, unsorted, >= 0
    Matrix u;                             // m x m, left singular vectors as columns
};

// Fails with "Cannot compute the SVD of an empty matrix." on a 0 x 0 input,
// and with a message of its own on non-finite values or when the iteration
// runs past max_iterations (a guard; finite input converges long before).
// Only U is formed: nothing in the system reads V.
Svd svd(Matrix a, unsigned threads = 0);
Svd svd(Matrix a, unsigned threads, std::size_t max_iterations);

// The state after scaling and bidiagonalisation, for checking that stage on
// its own: a = scale * U_b * B * V_bᵀ with B upper bidiagonal.
struct Bidiagonal {
    double scale = 0.0;                 // largest magnitude of the input (1 step of no scaling if 0)
    std::vector<double> diagonal;       // m entries, >= 0
    std::vector<double> off_diagonal;   // m - 1 entries, >= 0
    Matrix u;                           // U_b, m x m
};
Bidiagonal bidiagonalize(Matrix a, unsigned threads = 0);

}  // namespace orvelle

// Principal component analysis: centre on the column means, form the sample
// covariance, decompose it, keep the first n_components columns of U in the
// order the decomposition leaves them.
#pragma once

#include <cstddef>
#include <vector>

#include "linalg/matrix.hpp"
#include "linalg/products.hpp"
#include "linalg/svd.hpp"

namespace orvelle {

struct PCA {
    std::vector<double> mean;  // column means of the fitted data; empty before a fit
    Matrix components;         // d x n_components; 0 x 0 before a fit
    std::size_t n_components = 0;
    // The covariance's singular values in decomposition order (all d of
    // them): not used by the reduction, kept to judge its numerical rank.
    std::vector<double> singular_values;

    explicit PCA(std::size_t n_components) : n_components(n_components) {}

    // Fits on the rows of x (n x d), reading them in place. Draws the
    // "PCA Fit" bar. Fails on n = 0, d = 0, n_components > d, one row, or
    // data that is not finite; on failure the model is unchanged.
    void fit(const RowView& x, unsigned threads = 0);

    // The n' x n_components coordinates of the rows of x. Draws the
    // "PCA Transform" bar.
    Matrix transform(const Matrix& x, unsigned threads = 0) const;

    // The same coordinates, handed to sink row by row in order, so a caller
    // can place them without holding the whole result twice.
    // When sink receives row i, input row i has been read for good.
    void transform_rows(const RowView& x, const RowSink& sink, unsigned threads = 0) const;
};

// Mean of each column: the column's elements added in row order from 0.0,
// divided by n. All 0.0 when n = 0.
std::vector<double> column_means(const RowView& x, unsigned threads = 0);

// svd() of a covariance, shown as the line "Decomposition" with its elapsed
// time where such lines are switched on (ElapsedLine).
Svd decompose_covariance(Matrix s, unsigned threads);

// The sample covariance (Cᵀ·C) / (n - 1) of the rows of x centred on mean.
// tick is called once per row as it is centred.
Matrix covariance(const RowView& x, const std::vector<double>& mean, unsigned threads = 0,
                  const RowTick& tick = [] {});

}  // namespace orvelle

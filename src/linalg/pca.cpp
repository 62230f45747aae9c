#include "linalg/pca.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "util/panic.hpp"
#include "util/progress_bar.hpp"
#include "linalg/svd.hpp"

namespace orvelle {

namespace {

// A column whose mean is not finite either holds NaN or infinity, or sums
// beyond the range of f64.
[[noreturn]] void non_finite_column(const RowView& x, std::size_t j) {
    for (std::size_t i = 0; i < x.rows; ++i)
        if (!std::isfinite(x.row[i][j]))
            panic("PCA fit on data that is not finite: feature " + std::to_string(j) +
                  " (counting from 0) of row " + std::to_string(i) + " is NaN or infinite.");
    panic("PCA fit on data too large to average: the sum of feature " + std::to_string(j) +
          " (counting from 0) overflows f64.");
}

}  // namespace

Svd decompose_covariance(Matrix s, unsigned threads) {
    const std::size_t d = s.rows;
    ElapsedLine line("Decomposition", std::to_string(d) + " x " + std::to_string(d) + " covariance");
    return svd(std::move(s), threads);
}

Matrix covariance(const RowView& x, const std::vector<double>& mean, unsigned threads, const RowTick& tick) {
    Matrix s = centred_gram(x, mean, threads, tick);
    const double divisor = double(x.rows) - 1.0;
    for (double& v : s.data) v = v / divisor;
    return s;
}

void PCA::fit(const RowView& x, unsigned threads) {
    const std::size_t n = x.rows, d = x.cols;
    std::vector<double> mu = column_means(x, threads);
    ProgressBar bar(n, "PCA Fit", true);
    if (n == 0) panic("At least one row must be given.");
    // Failures of the shape alone, whatever the values hold. The rows would
    // be centred before anything could fail, so the bar runs its course.
    if (d == 0 || n_components > d) {
        bar.inc(n);
        bar.finish();
        panic(d == 0 ? "Cannot compute the SVD of an empty matrix." : "Matrix slicing out of bounds.");
    }
    // One row leaves n - 1 = 0 to divide by: the covariance would be all
    // NaN, and the decomposition of NaN never converges.
    if (n == 1) panic("PCA fit on a single row: the sample covariance needs at least two rows.");
    for (std::size_t j = 0; j < d; ++j)
        if (!std::isfinite(mu[j])) non_finite_column(x, j);

    Matrix s = covariance(x, mu, threads, [&bar] { bar.inc(1); });
    bar.finish();
    for (double v : s.data)
        if (!std::isfinite(v))
            panic("PCA fit on data too large to square: the covariance overflows f64.");

    Svd dec = decompose_covariance(std::move(s), threads);
    Matrix kept(d, n_components);
    for (std::size_t i = 0; i < d; ++i)
        std::copy(dec.u.row(i), dec.u.row(i) + n_components, kept.row(i));
    mean = std::move(mu);
    components = std::move(kept);
    singular_values = std::move(dec.singular_values);
}

void PCA::transform_rows(const RowView& x, const RowSink& sink, unsigned threads) const {
    ProgressBar bar(x.rows, "PCA Transform", true);
    if (x.rows == 0) panic("At least one row must be given.");
    if (x.cols != mean.size()) {
        bar.inc(1);
        panic(assert_eq_message("(1, " + std::to_string(x.cols) + ")", "(1, " + std::to_string(mean.size()) + ")",
                                "Matrix addition/subtraction dimensions mismatch."));
    }
    centred_product(x, mean, components, threads, [&bar] { bar.inc(1); }, sink);
    bar.finish();
}

Matrix PCA::transform(const Matrix& x, unsigned threads) const {
    Matrix y(x.rows, components.cols);
    transform_rows(
        x, [&](std::size_t i, const double* row) { std::copy(row, row + y.cols, y.row(i)); }, threads);
    return y;
}

}  // namespace orvelle

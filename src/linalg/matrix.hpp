// A dense, owned f64 matrix stored row by row. It only holds numbers; every
// product over it lives with the code that fixes its order of additions.
#pragma once

#include <cstddef>
#include <vector>

namespace orvelle {

struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;  // row-major, rows * cols

    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : rows(rows), cols(cols), data(rows * cols, 0.0) {}

    double& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
    double operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    double* row(std::size_t i) { return data.data() + i * cols; }
    const double* row(std::size_t i) const { return data.data() + i * cols; }

    bool operator==(const Matrix&) const = default;

    // One row per entry; fails with "At least one row must be given." or
    // "The provided rows must all have the same dimension.".
    static Matrix from_rows(const std::vector<std::vector<double>>& rows);
};

// Read access to rows of equal length wherever they are held: the rows of a
// Matrix, or each token's own vector, so a list of tokens can be analysed
// without first copying it into one matrix.
struct RowView {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<const double*> row;  // row[i] points at cols values

    RowView() = default;
    RowView(std::size_t rows, std::size_t cols) : rows(rows), cols(cols), row(rows, nullptr) {}
    // The rows of m, which must outlive the view.
    RowView(const Matrix& m) : RowView(m.rows, m.cols) {  // NOLINT: a view of m where rows are wanted
        for (std::size_t i = 0; i < m.rows; ++i) row[i] = m.row(i);
    }
};

}  // namespace orvelle

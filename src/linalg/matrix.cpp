#include "linalg/matrix.hpp"

#include "util/panic.hpp"

namespace orvelle {

Matrix Matrix::from_rows(const std::vector<std::vector<double>>& rows) {
    if (rows.empty()) panic("At least one row must be given.");
    const std::size_t cols = rows[0].size();
    for (const auto& r : rows)
        if (r.size() != cols) panic("The provided rows must all have the same dimension.");
    Matrix m;
    m.rows = rows.size();
    m.cols = cols;
    m.data.reserve(m.rows * cols);
    for (const auto& r : rows) m.data.insert(m.data.end(), r.begin(), r.end());
    return m;
}

}  // namespace orvelle

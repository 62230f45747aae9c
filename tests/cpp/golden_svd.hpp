// Reading the decomposition and PCA reference vectors (little-endian, u64
// headers, f64 values, matrices row by row) and comparing bit for bit.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "linalg/matrix.hpp"
#include "test_support.hpp"

namespace orvelle::fixtures {

inline std::string svd_dir() { return test::shared_dir() + "/golden/svd/"; }

// A file as consecutive u64 / f64 values.
struct Reader {
    std::string bytes;
    std::size_t pos = 0;

    explicit Reader(const std::string& path) : bytes(test::read_file(path)) {}
    bool done() const { return pos == bytes.size(); }
    std::uint64_t u64() {
        std::uint64_t v;
        std::memcpy(&v, bytes.data() + pos, 8);
        pos += 8;
        return v;
    }
    std::vector<double> f64(std::size_t n) {
        std::vector<double> v(n);
        // An empty vector's data() may be null, which memcpy must not get.
        if (n > 0) std::memcpy(v.data(), bytes.data() + pos, n * 8);
        pos += n * 8;
        return v;
    }
    Matrix matrix(std::size_t rows, std::size_t cols) {
        Matrix m;
        m.rows = rows;
        m.cols = cols;
        m.data = f64(rows * cols);
        return m;
    }
};

inline std::string bits(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g (%a)", v, v);
    return buf;
}

// Exact equality (== on every element), reporting the first difference.
inline ::testing::AssertionResult same(const std::vector<double>& got, const std::vector<double>& want,
                                       std::size_t cols = 0) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    std::size_t diff = 0;
    for (std::size_t i = 0; i < got.size(); ++i) diff += !(got[i] == want[i] || (std::isnan(got[i]) && std::isnan(want[i])));
    if (diff == 0) return ::testing::AssertionSuccess();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] == want[i] || (std::isnan(got[i]) && std::isnan(want[i]))) continue;
        auto f = ::testing::AssertionFailure();
        f << diff << " of " << got.size() << " differ; first at ";
        if (cols) {
            f << "(" << i / cols << ", " << i % cols << ")";
        } else {
            f << i;
        }
        return f << ": got " << bits(got[i]) << ", want " << bits(want[i]);
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same(const Matrix& got, const Matrix& want) {
    if (got.rows != want.rows || got.cols != want.cols)
        return ::testing::AssertionFailure() << "shape " << got.rows << "x" << got.cols << " != " << want.rows << "x"
                                             << want.cols;
    return same(got.data, want.data, got.cols);
}

}  // namespace orvelle::fixtures

// Rows of doubles spilled to an unnamed temporary file: written once in order,
// then read back in order or by position. The file has no name from the
// start, so nothing is left behind however the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvelle {

class SpillFile {
public:
    SpillFile() = default;
    // An unnamed file in $TMPDIR (or /tmp) for rows of `width` doubles.
    explicit SpillFile(std::size_t width);
    ~SpillFile();
    SpillFile(SpillFile&& o) noexcept;
    SpillFile& operator=(SpillFile&& o) noexcept;
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    void append(const double* row);  // buffered; flush() before reading
    void flush();
    std::size_t rows() const { return rows_; }
    std::size_t width() const { return width_; }

    // Rows [first, first + count) into out (count * width values).
    void read(std::size_t first, std::size_t count, double* out) const;

private:
    int fd_ = -1;
    std::size_t width_ = 0;
    std::size_t rows_ = 0;
    std::vector<double> buffer_;
};

}  // namespace orvelle

#include "util/spill_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "util/environment.hpp"
#include "util/panic.hpp"
#include "util/platform.hpp"

namespace orvelle {

namespace {

constexpr std::size_t kBufferBytes = 8u << 20;

std::string temp_dir() {
    const char* dir = environment("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

}  // namespace

SpillFile::SpillFile(std::size_t width) : width_(width) {
    fd_ = platform::unnamed_temp_file(temp_dir());
    if (fd_ < 0)
        panic("cannot create a temporary file in " + temp_dir() + " for the streamed analysis (set TMPDIR): " +
              os_error_display(errno));
    buffer_.reserve(std::max<std::size_t>(width, kBufferBytes / sizeof(double)));
}

SpillFile::~SpillFile() {
    if (fd_ >= 0) ::close(fd_);
}

SpillFile::SpillFile(SpillFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), width_(o.width_), rows_(o.rows_), buffer_(std::move(o.buffer_)) {}

SpillFile& SpillFile::operator=(SpillFile&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(o.fd_, -1);
        width_ = o.width_;
        rows_ = o.rows_;
        buffer_ = std::move(o.buffer_);
    }
    return *this;
}

void SpillFile::append(const double* row) {
    if (buffer_.size() + width_ > buffer_.capacity()) flush();
    buffer_.insert(buffer_.end(), row, row + width_);
    ++rows_;
}

void SpillFile::flush() {
    const char* p = reinterpret_cast<const char*>(buffer_.data());
    std::size_t left = buffer_.size() * sizeof(double);
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) os_failed(n < 0 ? errno : EIO);
        p += n;
        left -= std::size_t(n);
    }
    buffer_.clear();
}

void SpillFile::read(std::size_t first, std::size_t count, double* out) const {
    char* p = reinterpret_cast<char*>(out);
    std::size_t left = count * width_ * sizeof(double);
    off_t at = off_t(first * width_ * sizeof(double));
    while (left > 0) {
        const ssize_t n = ::pread(fd_, p, left, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) os_failed(n < 0 ? errno : EIO);
        p += n;
        at += n;
        left -= std::size_t(n);
    }
}

}  // namespace orvelle

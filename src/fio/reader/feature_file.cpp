#include "fio/reader/feature_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

#include "util/cancellation.hpp"
#include "util/panic.hpp"

namespace orvelle {

namespace {

constexpr std::size_t kInputBytes = 1u << 20;  // compressed bytes read at a time
// A failed decompression, as read()'s result; system errors are -errno.
constexpr long kDecompressFailure = -(1L << 20);

long read_fd(int fd, void* buf, std::size_t n, bool regular) {
    // A signal that arrives while no read waits interrupts none: a wait for
    // data that may never come lasts at most one poll interval at a time.
    if (!regular) {
        pollfd ready{fd, POLLIN, 0};
        for (;;) {
            const int r = ::poll(&ready, 1, 100);
            if (r > 0 || (r < 0 && errno != EINTR)) break;  // readable, or the read says what is wrong
            if (r == 0) checkpoint();
            else checkpoint_after_eintr();
        }
    }
    for (;;) {
        ssize_t got = ::read(fd, buf, n);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -static_cast<long>(errno);
        checkpoint_after_eintr();
    }
}

}  // namespace

FeatureFile::FeatureFile(const std::string& path) : path_(path) {
    if (path.find('\0') != std::string::npos) unwrap_failed(simple_error_debug("InvalidInput", kNulInPath));
    // Interrupted while it waits (a pipe without a writer yet): the signal may
    // be a request to stop.
    for (;;) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0 || errno != EINTR) break;
        checkpoint_after_eintr();
    }
    if (fd_ < 0) os_failed(errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        int err = errno;
        ::close(fd_);
        os_failed(err);
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    regular_ = S_ISREG(st.st_mode);

    // Up to four bytes tell the format. A short file, a pipe that gives less,
    // or a file that cannot be read at all (a directory) is plain text, and
    // its failure surfaces at the first read, where a plain file's would.
    while (head_size_ < sizeof head_) {
        const long got = read_fd(fd_, head_ + head_size_, sizeof head_ - head_size_, regular_);
        if (got < 0) head_error_ = static_cast<int>(-got);
        if (got <= 0) break;
        head_size_ += static_cast<std::size_t>(got);
    }
    consumed_ = head_size_;
    compression_ = sniff_compression(head_, head_size_);
    if (compression_ == Compression::none) return;

    decompressor_ = std::make_unique<Decompressor>(compression_);
    in_ = std::make_unique<char[]>(kInputBytes);
    std::memcpy(in_.get(), head_, head_size_);
    in_size_ = head_size_;
    head_pos_ = head_size_;
    // The text's size as the stream's header records it: a zstd frame's
    // content size; a gzip member's last four bytes (modulo 2^32).
    if (compression_ == Compression::zstd) {
        unsigned char header[18];  // the longest frame header
        const ssize_t got = ::pread(fd_, header, sizeof header, 0);
        if (got > 0) {
            const unsigned long long n = ZSTD_getFrameContentSize(header, std::size_t(got));
            if (n != ZSTD_CONTENTSIZE_UNKNOWN && n != ZSTD_CONTENTSIZE_ERROR) recorded_size_ = n;
        }
    } else if (size_ >= 18) {
        unsigned char tail[4];
        if (::pread(fd_, tail, 4, off_t(size_ - 4)) == 4)
            recorded_size_ = std::uint64_t(tail[0]) | std::uint64_t(tail[1]) << 8 | std::uint64_t(tail[2]) << 16 |
                             std::uint64_t(tail[3]) << 24;
    }
}

FeatureFile::~FeatureFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::uint64_t FeatureFile::text_size_estimate() const {
    if (compression_ == Compression::none) return size_;
    // Text shrinks; a recorded size below the file's has wrapped (gzip keeps
    // it modulo 2^32) or belongs to the first of several frames.
    return recorded_size_ > size_ ? recorded_size_ : 4 * size_;
}

long FeatureFile::read(char* buf, std::size_t n) {
    return compression_ == Compression::none ? read_raw(buf, n) : read_decompressed(buf, n);
}

long FeatureFile::read_raw(char* buf, std::size_t n) {
    if (head_pos_ < head_size_) {
        const std::size_t k = std::min(n, head_size_ - head_pos_);
        std::memcpy(buf, head_ + head_pos_, k);
        head_pos_ += k;
        return static_cast<long>(k);
    }
    if (head_error_) return -static_cast<long>(head_error_);
    const long got = read_fd(fd_, buf, n, regular_);
    if (got > 0) consumed_ += static_cast<std::uint64_t>(got);
    return got;
}

long FeatureFile::read_decompressed(char* buf, std::size_t n) {
    if (!decompress_error_.empty()) return kDecompressFailure;
    try {
        for (;;) {
            if (in_pos_ == in_size_ && !in_end_) {
                const long got = read_fd(fd_, in_.get(), kInputBytes, regular_);
                if (got < 0) return got;
                in_pos_ = 0;
                in_size_ = static_cast<std::size_t>(got);
                consumed_ += static_cast<std::uint64_t>(got);
                in_end_ = got == 0;
            }
            const Decompressor::Step s = decompressor_->step(in_.get() + in_pos_, in_size_ - in_pos_, buf, n);
            in_pos_ += s.consumed;
            if (s.produced > 0) return static_cast<long>(s.produced);
            if (in_end_ && in_pos_ == in_size_) {
                if (!decompressor_->at_boundary())
                    throw DecompressError{"unexpected end of file: the compressed stream is truncated"};
                return 0;
            }
        }
    } catch (const DecompressError& e) {
        decompress_error_ = path_ + ": " + compression_name(compression_) + " decompression failed: " + e.message;
        return kDecompressFailure;
    }
}

std::string FeatureFile::error_debug(long failed) const {
    if (failed == kDecompressFailure) return custom_error_debug("InvalidData", decompress_error_);
    return os_error_debug(static_cast<int>(-failed));
}

}  // namespace orvelle

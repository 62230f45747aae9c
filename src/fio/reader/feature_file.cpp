#include "fio/reader/feature_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/cancellation.hpp"
#include "util/panic.hpp"

namespace orvelle {

FeatureFile::FeatureFile(const std::string& path) {
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
}

FeatureFile::~FeatureFile() {
    if (fd_ >= 0) ::close(fd_);
}

long FeatureFile::read(char* buf, std::size_t n) {
    // A signal that arrives while no read waits interrupts none: a wait for
    // data that may never come lasts at most one poll interval at a time.
    if (!regular_) {
        pollfd ready{fd_, POLLIN, 0};
        for (;;) {
            const int r = ::poll(&ready, 1, 100);
            if (r > 0 || (r < 0 && errno != EINTR)) break;  // readable, or the read says what is wrong
            if (r == 0) checkpoint();
            else checkpoint_after_eintr();
        }
    }
    for (;;) {
        ssize_t got = ::read(fd_, buf, n);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -static_cast<long>(errno);
        checkpoint_after_eintr();
    }
}

}  // namespace orvelle

#include "fio/writer/output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "util/cancellation.hpp"
#include "util/panic.hpp"

namespace orvelle {

OutputFile::OutputFile(const std::string& path) : path_(path) {
    if (path.find('\0') != std::string::npos)
        unwrap_failed(simple_error_debug("InvalidInput", kNulInPath));
    for (;;) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ >= 0 || errno != EINTR) break;
        checkpoint_after_eintr();
    }
    if (fd_ < 0) os_failed(errno);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    const Cancellation* token = current_cancellation();
    if (!complete_ && token && token->cancelled()) ::unlink(path_.c_str());
}

void OutputFile::close() {
    const int fd = fd_;
    fd_ = -1;
    complete_ = true;
    // Linux releases the descriptor even when close fails: never retried.
    if (::close(fd) != 0 && errno != EINTR) os_failed(errno);
}

void OutputFile::write_all(int fd, std::string_view bytes, WriteFn write_fn) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = write_fn(fd, p, left);
        if (n < 0) {
            if (errno != EINTR) os_failed(errno);
            checkpoint_after_eintr();
            continue;
        }
        if (n == 0) unwrap_failed(simple_error_debug("WriteZero", kWriteZero));
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace orvelle

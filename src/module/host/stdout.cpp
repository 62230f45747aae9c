#include "module/host/stdout.hpp"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

#include "util/panic.hpp"

namespace orvelle {

namespace {

// Writes all of [data, data + size) to fd 1; returns 0 or the errno of the
// failing write.
int write_all(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return -1;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

void print_stdout(std::string_view text) {
    // Text after the last line feed waits for the next one, so that a line is
    // never split across writes. The writer is shared by every caller in the
    // process, hence the lock.
    static std::mutex mutex;
    static std::string pending;

    std::unique_lock lock(mutex);
    std::size_t last_newline = text.rfind('\n');
    if (last_newline == std::string_view::npos) {
        pending += text;
        return;
    }
    pending += text.substr(0, last_newline + 1);
    std::string out = std::move(pending);
    pending.assign(text.substr(last_newline + 1));
    int err = write_all(out.data(), out.size());
    lock.unlock();

    if (err == -1) panic(std::string("failed printing to stdout: ") + kWriteZero);
    if (err != 0) panic("failed printing to stdout: " + os_error_display(err));
}

}  // namespace orvelle

#include "host/stdout.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "util/panic.hpp"

namespace orvelle {

void print_stdout(std::string_view text) {
    // Every text the module prints ends in a line feed, so line buffering
    // amounts to one complete write per call.
    while (!text.empty()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) panic("failed printing to stdout: " + os_error_debug(errno));
        if (n == 0) panic("failed printing to stdout: " + simple_error_debug("WriteZero", kWriteZero));
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace orvelle

// Standard error redirected to a pseudo-terminal for the life of the object,
// so progress bars draw as a user would see them; drain() reads what arrived.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <string>

namespace orvelle::fixtures {

struct TerminalCapture {
    int master = -1, saved = -1;
    // columns 0: a terminal that reports no size.
    explicit TerminalCapture(unsigned short columns = 0) {
        int slave = -1;
        winsize size{30, columns, 0, 0};
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return;
        saved = dup(STDERR_FILENO);
        dup2(slave, STDERR_FILENO);
        close(slave);
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    TerminalCapture(const TerminalCapture&) = delete;
    TerminalCapture& operator=(const TerminalCapture&) = delete;
    std::string drain() {
        std::string out;
        char buf[65536];
        for (;;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    ~TerminalCapture() {
        if (saved >= 0) {
            dup2(saved, STDERR_FILENO);
            close(saved);
        }
        if (master >= 0) close(master);
    }
};

}  // namespace orvelle::fixtures

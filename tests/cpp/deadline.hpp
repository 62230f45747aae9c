// A call run in a forked child under a deadline, so that a call that never
// returns (a retry loop that makes no progress) fails its test instead of
// hanging the whole run.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace orvelle::fixtures {

// The text f() returns in a child process; nullopt when the child has not
// finished within `limit` (it is killed then) or did not exit normally.
template <class F>
std::optional<std::string> run_within(std::chrono::milliseconds limit, F&& f) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        ::close(fds[0]);
        const std::string text = f();
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ::_exit(2);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);  // no exit handlers: they belong to the parent's run
    }
    ::close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    bool finished = false;
    while (!finished) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[4096];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) finished = true;  // the child closed its end: it is done
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (!finished) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

// A child's text of several fields, each ended by a NUL byte.
inline std::vector<std::string> nul_fields(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

}  // namespace orvelle::fixtures

#include "web/process.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvelle {

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Both ends close-on-exec: a child started at the same time by another thread
// must not inherit a write end, or this side would never see end of file.
int make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    read_end.fd = fds[0];
    write_end.fd = fds[1];
    return 0;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// Reads both pipes until both report end of file. Reading them together keeps
// a child that fills one pipe from blocking while the other is being read.
void drain(Fd& out, Fd& err) {
    char buf[16384];
    while (out.fd >= 0 || err.fd >= 0) {
        pollfd fds[2] = {{out.fd, POLLIN, 0}, {err.fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;  // closing the pipes below still lets the child finish
        }
        for (int i = 0; i < 2; ++i) {
            Fd& fd = i == 0 ? out : err;
            if (fd.fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fd.fd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) fd.close();
        }
    }
}

}  // namespace

int run_silenced(const std::vector<std::string>& argv) {
    Fd out_read, out_write, err_read, err_write;
    if (int e = make_pipe(out_read, out_write)) return e;
    if (int e = make_pipe(err_read, err_write)) return e;

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out_write.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, err_write.fd, STDERR_FILENO);

    // The interpreter ignores SIGPIPE and a thread may block signals; the
    // child starts with default dispositions for SIGPIPE and nothing blocked.
    sigset_t none, pipe_only;
    sigemptyset(&none);
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &pipe_only);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // glibc reports a failed exec (program not found, not executable) as the
    // result of posix_spawnp itself.
    pid_t pid;
    if (int e = ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ))
        return e;
    out_write.close();
    err_write.close();

    drain(out_read, err_read);
    out_read.close();
    err_read.close();
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace orvelle

#include "web/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/platform.hpp"

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

// Holds `fd`, the result of the call that opened it (negative: report its
// errno), moved above the standard streams when it took one of their numbers
// because the caller has that stream closed: the child's dup2 calls then never
// overwrite a descriptor still to be copied, nor leave one close-on-exec.
int hold(int fd, Fd& into) {
    if (fd < 0) return errno;
    if (fd <= STDERR_FILENO) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        int e = errno;
        ::close(fd);
        if (moved < 0) return e;
        fd = moved;
    }
    into.fd = fd;
    return 0;
}

// Both ends close-on-exec: a child started at the same time by another thread
// must not inherit a write end, or this side would never see end of file.
int make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (int e = platform::cloexec_pipe(fds)) return e;
    int e = hold(fds[0], read_end);
    int e2 = hold(fds[1], write_end);
    return e ? e : e2;
}

// The errors after which execvp goes on to the next folder of PATH.
bool not_there(int e) {
    return e == ENOENT || e == ENOTDIR || e == ESTALE || e == ENODEV || e == ETIMEDOUT;
}

// The files execvp would try for `name`, in order: the name itself when it
// holds a slash, else the name in each folder of PATH (an empty entry is the
// working directory; no PATH at all is the system's default path).
std::vector<std::string> search_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return {name};
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "/bin:/usr/bin";
    std::vector<std::string> files;
    for (std::size_t begin = 0;;) {
        std::size_t end = folders.find(':', begin);
        std::string folder = folders.substr(begin, end - begin);
        files.push_back(folder.empty() ? name : folder + "/" + name);
        if (end == std::string::npos) return files;
        begin = end + 1;
    }
}

// All the child reads, prepared beforehand: after vfork it shares this
// process's memory, so it only reads, makes async-signal-safe calls and
// records why it could not start.
struct Launch {
    std::vector<std::string> files;   // where argv[0] may be
    std::vector<char*> argv;
    std::string fallback;             // empty: none
    std::vector<char*> fallback_argv;
    int in = -1, out = -1, err = -1;  // the child's standard streams
    pid_t parent = 0;
    int error = 0;                    // written by a child that cannot start
};

// execvp over l.files; returns why nothing ran. A file that may not be
// executed does not end the search, but is what it reports when nothing
// later runs either.
int exec_on_path(const Launch& l) noexcept {
    bool denied = false;
    int error = ENOENT;
    for (const std::string& file : l.files) {
        ::execve(file.c_str(), l.argv.data(), environ);
        error = errno;
        if (error == EACCES)
            denied = true;
        else if (!not_there(error))
            return error;
    }
    return denied ? EACCES : error;
}

[[noreturn]] void start_child(Launch& l) noexcept {
    // Killed when the calling thread ends; that thread waits for the child, so
    // in effect when the interpreter is killed, leaving no server behind. A
    // parent gone before this took effect shows here as another parent.
    if (int e = platform::die_with_parent()) {
        l.error = e;
        ::_exit(127);
    }
    if (::getppid() != l.parent) ::_exit(127);

    // A handler of the parent would run on the parent's memory: back to the
    // default before anything is unblocked. SIGPIPE, which the interpreter
    // ignores, goes back to its default too.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now;
        if (::sigaction(sig, nullptr, &now) != 0) continue;  // reserved by the C library
        if (sig == SIGPIPE || (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN))
            ::sigaction(sig, &dfl, nullptr);
    }

    if (::dup2(l.in, STDIN_FILENO) < 0 || ::dup2(l.out, STDOUT_FILENO) < 0 ||
        ::dup2(l.err, STDERR_FILENO) < 0) {
        l.error = errno;
        ::_exit(127);
    }
    // Nothing blocked, whatever the calling thread blocks.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    int error = exec_on_path(l);
    if (not_there(error) && !l.fallback.empty()) {
        ::execve(l.fallback.c_str(), l.fallback_argv.data(), environ);
        error = errno;
    }
    l.error = error;
    ::_exit(127);
}

// vfork, not fork (platform::fork_into): no copy of a large address space,
// no fork handlers of other libraries, and this thread resumes only once the
// child has replaced itself or given up, with l.error set. (Where the system
// has only fork, a child that cannot start ends with status 127 unreported.)
// Signals stay blocked across it, so no handler runs in the child before it
// has reset them.
int start(Launch& l, pid_t& pid) {
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t child = platform::fork_into([](void* launch) { start_child(*static_cast<Launch*>(launch)); }, &l);
    int e = child < 0 ? errno : 0;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (e != 0) return e;
    if (l.error != 0) {
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return l.error;
    }
    pid = child;
    return 0;
}

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

int run_silenced(const std::vector<std::string>& argv, const std::string& fallback) {
    Fd in, out_read, out_write, err_read, err_write;
    if (int e = hold(::open("/dev/null", O_RDONLY | O_CLOEXEC), in)) return e;
    if (int e = make_pipe(out_read, out_write)) return e;
    if (int e = make_pipe(err_read, err_write)) return e;

    Launch l;
    l.files = search_path(argv[0]);
    for (const std::string& a : argv) l.argv.push_back(const_cast<char*>(a.c_str()));
    l.argv.push_back(nullptr);
    l.fallback = fallback;
    l.fallback_argv = l.argv;
    l.fallback_argv[0] = l.fallback.data();
    l.in = in.fd;
    l.out = out_write.fd;
    l.err = err_write.fd;
    l.parent = ::getpid();

    pid_t pid;
    if (int e = start(l, pid)) return e;
    in.close();
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

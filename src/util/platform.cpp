#include "util/platform.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#if defined(__linux__)
#include <sched.h>
#include <csignal>
#include <sys/prctl.h>
#endif

namespace orvelle::platform {

namespace {

[[maybe_unused]] std::optional<std::string> slurp(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return s.str();
}

}  // namespace

#if defined(__linux__)

std::optional<std::string> proc_file(std::string_view name) { return slurp("/proc/" + std::string(name)); }

std::optional<std::string> cgroup_file(std::string_view path) { return slurp("/sys/fs/cgroup" + std::string(path)); }

unsigned scheduler_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(CPU_COUNT(&set));
    return 0;
}

int unnamed_temp_file(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // A file system without O_TMPFILE: a named file, unlinked at once.
    std::string path = dir + "/orvelle-spill-XXXXXX";
    const int named = ::mkostemp(path.data(), O_CLOEXEC);
    if (named >= 0) ::unlink(path.c_str());
    return named;
}

int cloexec_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0 ? 0 : errno; }

int die_with_parent() noexcept { return ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 ? 0 : errno; }

#else

std::optional<std::string> proc_file(std::string_view) { return std::nullopt; }

std::optional<std::string> cgroup_file(std::string_view) { return std::nullopt; }

unsigned scheduler_cpus() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? unsigned(n) : 0;
}

int unnamed_temp_file(const std::string& dir) {
    std::string path = dir + "/orvelle-spill-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

int cloexec_pipe(int fds[2]) {
    if (::pipe(fds) != 0) return errno;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return 0;
}

int die_with_parent() noexcept { return 0; }

#endif

const char* last_byte(const char* p, char c, std::size_t n) {
#if defined(__GLIBC__)
    return static_cast<const char*>(::memrchr(p, c, n));
#else
    while (n > 0)
        if (p[--n] == c) return p + n;
    return nullptr;
#endif
}

std::string error_text(int code) {
    char buf[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return ::strerror_r(code, buf, sizeof buf);  // may return a static string, not buf
#else
    if (::strerror_r(code, buf, sizeof buf) != 0) return "Unknown error " + std::to_string(code);
    return buf;
#endif
}

std::uint64_t page_bytes() {
    const long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? std::uint64_t(n) : 4096;
}

std::optional<std::uint64_t> free_memory() {
#if defined(_SC_AVPHYS_PAGES)
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    if (pages > 0) return std::uint64_t(pages) * page_bytes();
#endif
    return std::nullopt;
}

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
// macOS marks vfork deprecated in favour of posix_spawn, which cannot set a
// parent-death signal; its vfork still lends the parent's memory.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
pid_t fork_into(void (*child)(void*), void* arg) noexcept {
    const pid_t pid = ::vfork();
    if (pid == 0) child(arg);
    return pid;
}
#pragma GCC diagnostic pop
#else
pid_t fork_into(void (*child)(void*), void* arg) noexcept {
    const pid_t pid = ::fork();
    if (pid == 0) child(arg);
    return pid;
}
#endif

}  // namespace orvelle::platform

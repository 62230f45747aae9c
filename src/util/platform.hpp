// The calls that differ between the Unix systems the core builds on, in one
// place: Linux's own, and elsewhere a plain POSIX stand-in. The rest of the
// core is POSIX and C++20.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvelle::platform {

// The text of a file through which the kernel describes this process or the
// machine: "/proc/" + `name` ("self/cgroup", "self/statm", "meminfo") and
// "/sys/fs/cgroup" + `path` (a control group's limits). None where the system
// has no such files, or when unreadable.
std::optional<std::string> proc_file(std::string_view name);
std::optional<std::string> cgroup_file(std::string_view path);

// Processors the scheduler lets this process use: its affinity mask on Linux,
// the processors online elsewhere; 0 when unknown.
unsigned scheduler_cpus();

// Bytes in a memory page, the unit of /proc/self/statm.
std::uint64_t page_bytes();

// Where /proc/meminfo is missing: the free pages, where the system counts
// them; none otherwise.
std::optional<std::uint64_t> free_memory();

// A read-write, close-on-exec temporary file in `dir` that no name reaches:
// O_TMPFILE where the system and the file system have it, else a named file
// unlinked at once. -1 with errno set when neither can be made.
int unnamed_temp_file(const std::string& dir);

// A pipe with both ends close-on-exec; atomically where the system can
// (pipe2), so that no child started meanwhile inherits an end. 0 or an errno.
int cloexec_pipe(int fds[2]);

// In a child just started: SIGKILL when the thread that started it ends
// (Linux's parent-death signal). Elsewhere nothing: the child outlives a
// parent that is killed. 0 or an errno; async-signal-safe.
int die_with_parent() noexcept;

// The last `c` in p[0, n), or null: memrchr where the C library has it.
const char* last_byte(const char* p, char c, std::size_t n);

// strerror's text for an errno value, from whichever strerror_r the C
// library has (GNU's returns the text, POSIX's fills the buffer).
std::string error_text(int code);

// Starts a child process that runs `child(arg)`, which must end in exec or
// _exit; returns its pid, or -1 with errno set. vfork where the child borrows
// the parent's memory until then (Linux, macOS, the BSDs), so what it writes
// there reaches the parent; fork elsewhere, where it does not. The vfork stays
// in this one frame, which the child never returns from.
pid_t fork_into(void (*child)(void*), void* arg) noexcept;

}  // namespace orvelle::platform

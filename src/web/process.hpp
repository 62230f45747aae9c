// Child processes whose output nobody reads: the viewer's server and browser
// command.
#pragma once

#include <string>
#include <vector>

namespace orvelle {

// Runs argv[0], looked up on PATH as execvp does, with the inherited
// environment and working directory, standard input from /dev/null, and
// standard output and error drained until end of file and dropped; then waits
// for it. When no file of that name is on PATH, `fallback` (a path; empty for
// none) runs in its place, with itself as argv[0]. The child starts with
// SIGPIPE at its default, nothing blocked, and is killed when the calling
// thread ends, which outlives it unless the whole process is killed. Returns 0
// once the process has ended (its exit status is not examined), or the errno
// that kept it from starting.
int run_silenced(const std::vector<std::string>& argv, const std::string& fallback = {});

}  // namespace orvelle

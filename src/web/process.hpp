// Child processes whose output nobody reads: the viewer's server and browser
// command.
#pragma once

#include <string>
#include <vector>

namespace orvelle {

// Runs argv[0], looked up on PATH, with the inherited environment and working
// directory, standard input from /dev/null, and standard output and error
// drained until end of file and dropped; then waits for it. Returns 0 once the
// process has ended (its exit status is not examined), or the errno that kept
// it from starting.
int run_silenced(const std::vector<std::string>& argv);

}  // namespace orvelle

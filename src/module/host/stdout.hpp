// The module's own line-buffered writer on file descriptor 1, independent of
// Python's sys.stdout.
#pragma once

#include <string_view>

namespace orvelle {

// Writes text, flushing at each line feed; throws Panic
// "failed printing to stdout: <system error>" when the write fails.
void print_stdout(std::string_view text);

}  // namespace orvelle

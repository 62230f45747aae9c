// The local web viewer: serves the package directory on 127.0.0.1 and opens a
// browser tab on it. Runs with the interpreter lock held.
#pragma once

#include <cstdint>
#include <string>

namespace orvelle {

struct Web {
    std::uint16_t port = 8000;
    // Runs the children when PATH has no `python`: the interpreter's own
    // program, as it reports it; empty when it cannot tell.
    std::string interpreter;
    void run() const;  // throws Panic on failure
};

}  // namespace orvelle

// The local web viewer: serves the package directory on 127.0.0.1 and opens a
// browser tab on it. Runs with the interpreter lock held.
#pragma once

#include <cstdint>

namespace orvelle {

struct Web {
    std::uint16_t port = 8000;
    void run() const;  // throws Panic on failure
};

}  // namespace orvelle

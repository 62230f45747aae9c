// The message a call stops with, or "<no panic>".
#pragma once

#include <string>

#include "util/panic.hpp"

namespace orvelle::testing {

template <class F>
std::string panic_message(F&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

}  // namespace orvelle::testing

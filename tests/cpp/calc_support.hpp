// Helpers shared by the calculator, summary and text-rendering tests.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <vector>

#include "space/space.hpp"
#include "test_support.hpp"

namespace orvelle::test {

// UTF-8 encoding of a list of code points.
inline std::string utf8(const std::vector<std::uint32_t>& cps) {
    std::string s;
    for (std::uint32_t c : cps) {
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xc0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xe0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            s += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            s += static_cast<char>(0xf0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            s += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return s;
}

// prefix followed by the decimal number.
inline std::string numbered(std::string prefix, std::size_t i) {
    prefix += std::to_string(i);
    return prefix;
}

inline Token token(std::string text, std::vector<double> embedding) {
    Token t;
    t.text = std::move(text);
    t.embedding = std::move(embedding);
    return t;
}

inline Space space(std::string name, std::vector<Token> tokens) {
    return Space{std::move(name), std::move(tokens), std::nullopt};
}

}  // namespace orvelle::test

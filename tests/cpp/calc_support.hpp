// Helpers shared by the calculator, summary and text-rendering tests.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "space/space.hpp"
#include "util/panic.hpp"

namespace orvelle::test {

inline std::string shared_dir() {
    if (const char* env = std::getenv("ORVELLE_SHARED_DIR"); env != nullptr && *env != '\0') return env;
    return ORVELLE_SHARED_DIR;
}

inline std::string golden_path(const std::string& name) { return shared_dir() + "/golden/" + name; }

inline double from_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

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

// The message of the Panic that f throws, or "<no panic>".
template <class F>
std::string panic_text(F&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

// A fresh folder under the system's temporary folder, removed at scope end.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "orvelle-test-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace orvelle::test

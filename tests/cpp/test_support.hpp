// Helpers every C++ test may need: where the reference vectors live, doubles
// as bit patterns, a throwaway folder and the text a call panics with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "util/panic.hpp"

namespace orvelle::test {

// $ORVELLE_SHARED_DIR when set and not empty, else the folder the build names.
inline std::string shared_dir() {
    if (const char* env = std::getenv("ORVELLE_SHARED_DIR"); env != nullptr && *env != '\0') return env;
#ifdef ORVELLE_SHARED_DIR
    return ORVELLE_SHARED_DIR;
#else
    return "../shared";
#endif
}

inline std::string golden_path(std::string_view name) { return shared_dir() + "/golden/" + std::string(name); }

// The whole file, or "" when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

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

// "0x3ff0000000000000" -> the double with that bit pattern.
inline double double_from_bits(std::string_view hex) {
    return from_bits(std::strtoull(std::string(hex).c_str(), nullptr, 16));
}

// The double's bit pattern as "0x" + 16 hex digits.
inline std::string hex_bits(double d) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(bits_of(d)));
    return buf;
}

// The message of the Panic that f throws, or "<no panic>".
template <class F>
std::string panic_message(F&& f) {
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
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `bytes` to `name` in the folder; returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::string p = file(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

private:
    std::string path_;
};

}  // namespace orvelle::test

// Reference vectors under <shared>/golden, read with simdjson.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace orvelle::testing {

inline std::string golden_path(std::string_view name) {
    const char* env = std::getenv("ORVELLE_SHARED_DIR");
    std::string dir = env && *env ? env : ORVELLE_SHARED_DIR;
    return dir + "/golden/" + std::string(name);
}

// "0x3ff0000000000000" -> the double with that bit pattern.
inline double double_from_bits(std::string_view hex) {
    std::uint64_t bits = std::strtoull(std::string(hex).c_str(), nullptr, 16);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace orvelle::testing

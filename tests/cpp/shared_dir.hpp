// Where the reference vectors live: $ORVELLE_SHARED_DIR, else ../shared beside
// the repository.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace orvelle::fixtures {

inline std::string shared_dir() {
    if (const char* env = std::getenv("ORVELLE_SHARED_DIR")) return env;
    return ORVELLE_SHARED_DIR;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace orvelle::fixtures

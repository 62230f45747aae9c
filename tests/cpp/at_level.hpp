// Runs the kernels at one instruction-set level for a scope, then at the
// level that was active before.
#pragma once

#include <string>

#include "linalg/simd_level.hpp"

namespace orvelle::testing {

class AtLevel {
public:
    explicit AtLevel(SimdLevel level) : before_(simd_level()) { use_simd_level(level); }
    ~AtLevel() { use_simd_level(before_); }
    AtLevel(const AtLevel&) = delete;
    AtLevel& operator=(const AtLevel&) = delete;

private:
    SimdLevel before_;
};

inline std::string level_name(SimdLevel level) { return std::string(simd_level_name(level)); }

}  // namespace orvelle::testing

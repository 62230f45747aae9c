// Eight f64 lanes as one value. Each lane is its own sum: the kernels put
// different output elements in different lanes and never add lanes together
// except where a fixed combination order is written out. The compiler lowers
// this to one 512-bit register, two 256-bit ones or four 128-bit ones.
#pragma once

#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstring>

namespace orvelle::simd {

typedef double v8d __attribute__((vector_size(64)));

inline v8d load(const double* p) {
    v8d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, v8d v) { std::memcpy(p, &v, sizeof v); }

inline v8d splat(double x) { return v8d{x, x, x, x, x, x, x, x}; }

}  // namespace orvelle::simd

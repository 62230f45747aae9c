// Eight f64 lanes as one value. Each lane is its own sum: the kernels put
// different output elements in different lanes and never add lanes together
// except where a fixed combination order is written out. The compiler lowers
// this to one 512-bit register, two 256-bit ones or four 128-bit ones.
#pragma once

#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace orvelle::simd {

typedef double v8d __attribute__((vector_size(64)));

inline v8d load(const double* p) {
    v8d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, v8d v) { std::memcpy(p, &v, sizeof v); }

inline v8d splat(double x) { return v8d{x, x, x, x, x, x, x, x}; }

// Storage starting on a cache line: lanes load whole lines, and workers
// writing neighbouring ranges of 8 values never share a line.
template <class T>
struct LineAligned {
    using value_type = T;
    LineAligned() = default;
    template <class U>
    LineAligned(const LineAligned<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
    void deallocate(T* p, std::size_t) { ::operator delete(p, std::align_val_t{64}); }
    template <class U>
    bool operator==(const LineAligned<U>&) const { return true; }
};

using Doubles = std::vector<double, LineAligned<double>>;

}  // namespace orvelle::simd

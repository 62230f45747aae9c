// Eight f64 lanes as one value. Each lane is its own sum: the kernels put
// different output elements in different lanes and never add lanes together
// except where a fixed combination order is written out. The compiler lowers
// this to one 512-bit register, two 256-bit ones or four 128-bit ones.
//
// Included inside a namespace, and holding no #include for that reason: a
// kernel file includes it after ORVELLE_KERNELS_BEGIN (linalg/kernel_level.hpp)
// so that every instruction-set copy has helpers of its own, compiled for
// that copy's instruction set. Helpers compiled for baseline are optimised
// before they are inlined, and reach a wider copy already cut into 128-bit
// pieces: splat became eight masked broadcasts.

#pragma GCC diagnostic ignored "-Wpsabi"

namespace simd {

typedef double v8d __attribute__((vector_size(64)));

inline v8d load(const double* p) {
    v8d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, v8d v) { __builtin_memcpy(p, &v, sizeof v); }

inline v8d splat(double x) { return v8d{x, x, x, x, x, x, x, x}; }

}  // namespace simd

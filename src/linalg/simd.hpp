// Eight f64 lanes as one value. Each lane is its own sum: the kernels put
// different output elements in different lanes and never add lanes together
// except where a fixed combination order is written out.
//
// With AVX-512 it is one 512-bit register. Below that it is two 256-bit or
// four 128-bit vectors in a struct: GCC has no register for a 64-byte vector
// there, keeps such a value on the stack and moves every operand through
// memory (the AVX2 kernels ran slower than the 128-bit ones); a struct of
// native vectors stays in registers. Each lane still sees the same IEEE
// operation, so every level gives the same bits.
//
// Included inside a namespace, and holding no #include for that reason: a
// kernel file includes it after ORVELLE_KERNELS_BEGIN (linalg/kernel_level.hpp)
// so that every instruction-set copy has helpers of its own, compiled for
// that copy's instruction set. Helpers compiled for baseline are optimised
// before they are inlined, and reach a wider copy already cut into 128-bit
// pieces: splat became eight masked broadcasts.

#pragma GCC diagnostic ignored "-Wpsabi"

namespace simd {

#if defined(ORVELLE_KERNEL_AVX512) && ORVELLE_KERNEL_AVX512

typedef double v8d __attribute__((vector_size(64)));

inline v8d splat(double x) { return v8d{x, x, x, x, x, x, x, x}; }

inline v8d load(const double* p) {
    v8d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, v8d v) { __builtin_memcpy(p, &v, sizeof v); }

#else

#if defined(ORVELLE_KERNEL_AVX) && ORVELLE_KERNEL_AVX
constexpr int kPartLanes = 4;
typedef double v8d_part __attribute__((vector_size(32)));
inline v8d_part part_splat(double x) { return v8d_part{x, x, x, x}; }
#else
constexpr int kPartLanes = 2;
typedef double v8d_part __attribute__((vector_size(16)));
inline v8d_part part_splat(double x) { return v8d_part{x, x}; }
#endif
constexpr int kParts = 8 / kPartLanes;

struct v8d {
    v8d_part p[kParts];
    double operator[](int i) const { return p[i / kPartLanes][i % kPartLanes]; }
    // Vector types share their element type's alias set, so a lane may be
    // written through a double pointer (outside the inner loops only).
    double& operator[](int i) { return reinterpret_cast<double*>(p)[i]; }
};

inline v8d operator+(v8d a, v8d b) {
    for (int k = 0; k < kParts; ++k) a.p[k] = a.p[k] + b.p[k];
    return a;
}
inline v8d operator-(v8d a, v8d b) {
    for (int k = 0; k < kParts; ++k) a.p[k] = a.p[k] - b.p[k];
    return a;
}
inline v8d operator*(v8d a, v8d b) {
    for (int k = 0; k < kParts; ++k) a.p[k] = a.p[k] * b.p[k];
    return a;
}
inline v8d operator/(v8d a, v8d b) {
    for (int k = 0; k < kParts; ++k) a.p[k] = a.p[k] / b.p[k];
    return a;
}
inline v8d operator-(v8d a) {
    for (int k = 0; k < kParts; ++k) a.p[k] = -a.p[k];
    return a;
}

inline v8d splat(double x) {
    v8d v;
    for (int k = 0; k < kParts; ++k) v.p[k] = part_splat(x);
    return v;
}

// A part at a time: copied whole, 64 bytes go through the stack 16 at a
// time.
inline v8d load(const double* p) {
    v8d v;
    for (int k = 0; k < kParts; ++k) {
        v8d_part x;
        __builtin_memcpy(&x, p + k * kPartLanes, sizeof x);
        v.p[k] = x;
    }
    return v;
}

inline void store(double* p, v8d v) {
    for (int k = 0; k < kParts; ++k) __builtin_memcpy(p + k * kPartLanes, &v.p[k], sizeof v.p[k]);
}

#endif

}  // namespace simd

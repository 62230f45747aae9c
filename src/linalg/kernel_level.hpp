// Brackets the definitions of a kernel file, which the build may compile once
// per instruction-set level (ORVELLE_SIMD_LEVEL 0, 1, 2: baseline,
// x86-64-v3, x86-64-v4). Each copy lands in its own namespace
// (orvelle::simd_baseline, simd_avx2, simd_avx512) and linalg/dispatch.cpp
// defines the public functions on top. Without ORVELLE_SIMD_LEVEL the file is
// the only copy and defines the public functions itself.
//
// The wider levels are switched on by a target pragma (GCC) or attribute (clang) here, after every
// header, never by -march on the command line: inline functions and template
// instantiations from headers (std::vector, std::string, parallel.hpp) are
// shared between objects and the linker keeps one copy of each; compiled
// with AVX, that copy could end up called from baseline code. Before the
// pragma they stay baseline; they are still inlined into the wider
// functions, which may inline any function of a subset of their ISA. The
// lane helpers of simd.hpp are the exception: each copy includes its own
// right after ORVELLE_KERNELS_BEGIN (see there why).
// -ffp-contract=off holds under the pragma, so FMA in the set never fuses.
//
// Include last; after ORVELLE_KERNELS_BEGIN, linalg/simd.hpp is the only
// #include.
#pragma once

// GCC takes the set as a target pragma; clang (the wheels' compiler) as a
// target attribute on every function defined up to the pop.
#define ORVELLE_V3 "sse3,ssse3,sse4.1,sse4.2,popcnt,cx16,sahf,avx,avx2,bmi,bmi2,f16c,fma,lzcnt,movbe,xsave"
#define ORVELLE_V4 \
    "sse3,ssse3,sse4.1,sse4.2,popcnt,cx16,sahf,avx,avx2,bmi,bmi2,f16c,fma,lzcnt,movbe,xsave,avx512f,avx512bw,avx512cd,avx512dq,avx512vl"
#if defined(__clang__)
#define ORVELLE_TARGET_PUSH(set) _Pragma(ORVELLE_STR(clang attribute push(__attribute__((target(set))), apply_to = function)))
#define ORVELLE_TARGET_POP _Pragma("clang attribute pop")
#else
#define ORVELLE_TARGET_PUSH(set) _Pragma("GCC push_options") _Pragma(ORVELLE_STR(GCC target(set)))
#define ORVELLE_TARGET_POP _Pragma("GCC pop_options")
#endif
#define ORVELLE_STR(x) #x

#if defined(ORVELLE_SIMD_LEVEL)
#if ORVELLE_SIMD_LEVEL == 0
#define ORVELLE_KERNELS_BEGIN namespace orvelle::simd_baseline {
#define ORVELLE_KERNELS_END }
#elif ORVELLE_SIMD_LEVEL == 1
#define ORVELLE_KERNELS_BEGIN ORVELLE_TARGET_PUSH(ORVELLE_V3) namespace orvelle::simd_avx2 {
#define ORVELLE_KERNELS_END } ORVELLE_TARGET_POP
#elif ORVELLE_SIMD_LEVEL == 2
#define ORVELLE_KERNELS_BEGIN ORVELLE_TARGET_PUSH(ORVELLE_V4) namespace orvelle::simd_avx512 {
#define ORVELLE_KERNELS_END } ORVELLE_TARGET_POP
#else
#error "ORVELLE_SIMD_LEVEL must be 0, 1 or 2"
#endif
#else
#define ORVELLE_KERNELS_BEGIN namespace orvelle {
#define ORVELLE_KERNELS_END }
#endif

// Whether this copy has 256-bit registers (and 32 of 512 bits): __AVX__
// and __AVX512F__ only describe the command line, not the pragma.
#if defined(ORVELLE_SIMD_LEVEL)
#define ORVELLE_KERNEL_AVX (ORVELLE_SIMD_LEVEL >= 1)
#define ORVELLE_KERNEL_AVX512 (ORVELLE_SIMD_LEVEL >= 2)
#else
#if defined(__AVX__)
#define ORVELLE_KERNEL_AVX 1
#else
#define ORVELLE_KERNEL_AVX 0
#endif
#if defined(__AVX512F__)
#define ORVELLE_KERNEL_AVX512 1
#else
#define ORVELLE_KERNEL_AVX512 0
#endif
#endif

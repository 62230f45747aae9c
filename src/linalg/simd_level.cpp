#include "linalg/simd_level.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#if defined(ORVELLE_DISPATCH)
#include <cpuid.h>
#endif

#include "util/environment.hpp"
#include "util/panic.hpp"

namespace orvelle {

namespace {

// The levels this build holds, narrowest first (see CMakeLists.txt).
#if defined(ORVELLE_DISPATCH)
constexpr SimdLevel kBuilt[] = {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512};
#elif defined(ORVELLE_NATIVE)
constexpr SimdLevel kBuilt[] = {SimdLevel::native};
#else
constexpr SimdLevel kBuilt[] = {SimdLevel::baseline};
#endif

#if defined(ORVELLE_DISPATCH)
// x86-64-v3 and v4 from CPUID, as GCC's __builtin_cpu_supports("x86-64-v3")
// reads them; clang's runtime has no such name. A level counts only when the
// OS also saves its registers (XCR0).
struct X86Levels {
    bool v3 = false, v4 = false;
};

X86Levels x86_levels() {
    auto all = [](unsigned reg, std::initializer_list<int> bits) {
        for (int b : bits)
            if (!(reg >> b & 1u)) return false;
        return true;
    };
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return {};
    const unsigned c1 = c;
    unsigned b7 = 0, c81 = 0, xcr0 = 0;
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        b7 = b;
    }
    if (__get_cpuid(0x80000001, &a, &b, &c, &d)) c81 = c;
    if (c1 >> 27 & 1u) {  // OSXSAVE: xgetbv may run
        unsigned hi;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(hi) : "c"(0));
    }
    // v2: SSE3, SSSE3, CX16, SSE4.1, SSE4.2, POPCNT; LAHF. v3: FMA, MOVBE,
    // XSAVE, OSXSAVE, AVX, F16C; BMI1, AVX2, BMI2; LZCNT; YMM state.
    // v4: AVX512 F, DQ, CD, BW, VL; opmask and ZMM state.
    const bool v2 = all(c1, {0, 9, 13, 19, 20, 23}) && all(c81, {0});
    X86Levels out;
    out.v3 = v2 && all(c1, {12, 22, 26, 27, 28, 29}) && all(b7, {3, 5, 8}) && all(c81, {5}) && all(xcr0, {1, 2});
    out.v4 = out.v3 && all(b7, {16, 17, 28, 30, 31}) && all(xcr0, {5, 6, 7});
    return out;
}
#endif

bool cpu_runs(SimdLevel level) {
#if defined(ORVELLE_DISPATCH)
    static const X86Levels cpu = x86_levels();
    switch (level) {
        case SimdLevel::avx2: return cpu.v3;
        case SimdLevel::avx512: return cpu.v4;
        default: break;
    }
#endif
    (void)level;
    return true;  // the build's own level runs wherever the build does
}

std::string joined(const std::vector<SimdLevel>& levels) {
    std::string out;
    for (SimdLevel l : levels) out += (out.empty() ? "" : ", ") + std::string(simd_level_name(l));
    return out;
}

// The active level, -1 until chosen.
std::atomic<int> g_level{-1};

}  // namespace

std::string_view simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::baseline: return "baseline";
        case SimdLevel::avx2: return "avx2";
        case SimdLevel::avx512: return "avx512";
        case SimdLevel::native: return "native";
    }
    return "unknown";
}

SimdChoice choose_simd_level(const char* requested, const std::vector<SimdLevel>& runnable) {
    const SimdLevel widest = runnable.back();
    if (requested == nullptr || *requested == '\0') return {widest, {}};
    const std::string_view want = requested;
    for (SimdLevel l : runnable)
        if (simd_level_name(l) == want) return {l, {}};
    // The results are the same at every level, so a request that cannot be
    // met costs speed at most: say so and go on at the widest.
    bool known = false;
    for (SimdLevel l : {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512, SimdLevel::native})
        known = known || simd_level_name(l) == want;
    return {widest, "orvelle: ORVELLE_SIMD=" + std::string(want) + ": " +
                        (known ? "this build or CPU cannot run that level" : "not a level") + " (it runs " +
                        joined(runnable) + "); running at " + std::string(simd_level_name(widest)) + ".\n"};
}

std::vector<SimdLevel> simd_levels() {
    std::vector<SimdLevel> out;
    for (SimdLevel l : kBuilt)
        if (cpu_runs(l)) out.push_back(l);
    return out;
}

SimdLevel simd_level() {
    const int level = g_level.load(std::memory_order_relaxed);
    if (level >= 0) return SimdLevel(level);
    static const bool chosen = [] {
        const SimdChoice c = choose_simd_level(environment("ORVELLE_SIMD"), simd_levels());
        if (!c.note.empty()) std::fputs(c.note.c_str(), stderr);
        int unset = -1;
        g_level.compare_exchange_strong(unset, int(c.level));  // unless use_simd_level came first
        return true;
    }();
    (void)chosen;
    return SimdLevel(g_level.load(std::memory_order_relaxed));
}

void use_simd_level(SimdLevel level) {
    const std::vector<SimdLevel> runnable = simd_levels();
    if (std::find(runnable.begin(), runnable.end(), level) == runnable.end())
        panic("SIMD level " + std::string(simd_level_name(level)) + " is not available (this build and CPU run " +
              joined(runnable) + ").");
    g_level.store(int(level), std::memory_order_relaxed);
}

}  // namespace orvelle

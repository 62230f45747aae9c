// The instruction-set level the dense kernels run at. A portable build holds
// the kernels once per level and picks the widest this CPU runs, once, at
// their first call; ORVELLE_SIMD=baseline|avx2|avx512 in the environment
// asks for another. Every level gives the same bits: lanes never split a
// sum and nothing is fused, so the level changes the speed only.
// A build tuned for its building machine (ORVELLE_NATIVE) has the one level
// "native"; a build for another processor or compiler has "baseline" only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle {

enum class SimdLevel { baseline, avx2, avx512, native };

std::string_view simd_level_name(SimdLevel level);

// The level the kernels run at now (choosing it on the first call).
SimdLevel simd_level();

// The levels this build holds and this CPU runs, narrowest first.
std::vector<SimdLevel> simd_levels();

// Runs the kernels at `level` from now on, for tests and benchmarks; fails
// when simd_levels() lacks it.
void use_simd_level(SimdLevel level);

// What ORVELLE_SIMD = `requested` (nullptr when unset) selects among
// `runnable` (narrowest first, not empty): the level asked for when it is
// runnable, else the widest, with a note for standard error saying why.
struct SimdChoice {
    SimdLevel level;
    std::string note;  // empty when the request was met or absent
};
SimdChoice choose_simd_level(const char* requested, const std::vector<SimdLevel>& runnable);

}  // namespace orvelle

#include "analysis/resample_weights.hpp"

#include <algorithm>
#include <array>

#include "util/panic.hpp"

namespace orvelle {
namespace {

// SplitMix64's output function: a bijection of 64 bits whose outputs, over
// consecutive inputs, pass the usual statistical test batteries.
std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ull;

// P(X <= k) for X ~ Poisson(1), as fractions of 2^64: e^-1 * sum of 1/i! for
// i <= k. Integer thresholds make the counts the same on every machine.
std::array<std::uint64_t, 12> poisson_thresholds() {
    std::array<std::uint64_t, 12> out{};
    const double e = 0.36787944117144233;  // e^-1
    double term = e, cdf = 0.0;
    for (std::size_t k = 0; k < out.size(); ++k) {
        cdf = cdf + term;
        term = term / double(k + 1);
        out[k] = cdf >= 1.0 ? ~std::uint64_t{0} : std::uint64_t(cdf * 18446744073709551616.0);
    }
    return out;
}

}  // namespace

std::uint8_t poisson_weight(std::uint64_t seed, std::uint64_t resample, std::uint64_t line) {
    static const std::array<std::uint64_t, 12> thresholds = poisson_thresholds();
    // A SplitMix64 stream per resample, read at the line's position.
    const std::uint64_t stream = mix(mix(seed) + (resample + 1) * kGolden);
    const std::uint64_t u = mix(stream + line * kGolden);
    std::uint8_t k = 0;
    while (k < thresholds.size() && u >= thresholds[k]) ++k;
    return k;
}

ResampleWeights ResampleWeights::of(std::vector<std::size_t> lines, std::size_t resamples, std::uint64_t seed) {
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    ResampleWeights w;
    w.resamples = resamples;
    w.seed = seed;
    w.count.resize(lines.size() * resamples);
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (std::size_t b = 0; b < resamples; ++b) w.count[i * resamples + b] = poisson_weight(seed, b, lines[i]);
    w.lines = std::move(lines);
    return w;
}

std::size_t ResampleWeights::position(std::size_t line) const {
    const auto it = std::lower_bound(lines.begin(), lines.end(), line);
    if (it == lines.end() || *it != line) panic("line " + std::to_string(line) + " is not among the resampled lines");
    return std::size_t(it - lines.begin());
}

}  // namespace orvelle

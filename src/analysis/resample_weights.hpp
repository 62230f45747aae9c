// The resamples of a Poisson bootstrap over lines. A resample gives every
// line a count drawn from Poisson(1), the same for all of the line's tokens,
// so a sentence's tokens move together. A count depends on the seed, the
// resample and the line's index alone: the same line weighs the same in every
// draw of a measurement, and the figures do not depend on which other lines
// are held or on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvelle {

// Line `line`'s count in resample `resample`.
std::uint8_t poisson_weight(std::uint64_t seed, std::uint64_t resample, std::uint64_t line);

struct ResampleWeights {
    std::vector<std::size_t> lines;   // line indexes, ascending, distinct
    std::size_t resamples = 0;
    std::uint64_t seed = 0;
    std::vector<std::uint8_t> count;  // [position * resamples + resample]

    // The lines named (in any order, repeats allowed) for `resamples` resamples.
    static ResampleWeights of(std::vector<std::size_t> lines, std::size_t resamples, std::uint64_t seed);

    // The position of a line in `lines`; the line must be there.
    std::size_t position(std::size_t line) const;
    const std::uint8_t* row(std::size_t position) const { return count.data() + position * resamples; }
};

}  // namespace orvelle

// The analysis repeated over several random draws, reading the file and
// fitting the global space once: how much the draw moves each result, the
// ratios per word over all of its tokens, and chosen target words scored
// wherever they occur, drawn or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline.hpp"
#include "space/word_ratios.hpp"

namespace orvelle {

struct MeasureRequest {
    AnalysisRequest analysis;  // no folder: the first draw's listing is not written
    std::vector<std::string> targets;
    std::size_t draws = 10;
};

// What a reduction kept, against what its data can carry.
struct RankReport {
    std::size_t tokens = 0;
    std::size_t width = 0;       // of the reduced input
    std::size_t components = 0;  // kept
    std::size_t rank = 0;        // numerical rank of the covariance
    std::size_t noise = 0;       // kept components at or below the rank tolerance
};
RankReport rank_report(const Reduction& reduction, std::size_t tokens);

struct DrawResult {
    std::int64_t seed = 0;
    RankReport random_space;
    std::vector<double> mean;                      // per seed space: the Calculator's averages
    std::vector<double> mean_abs;
    std::vector<std::vector<double>> target_mean;  // [space][target]
    std::vector<std::vector<double>> target_sd;
};

struct Measurement {
    std::vector<std::string> spaces;  // distinct seed-space names, in group order
    Calculator calculator;            // the first draw's
    WordRatios words;                 // every text of the first draw's random space
    WordRatios targets;               // the first draw's
    RankReport global_space;
    std::vector<DrawResult> draws;    // draw i uses the seed plus i (wrapping)
};

Measurement run_measurement(MeasureRequest request);

}  // namespace orvelle

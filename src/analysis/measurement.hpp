// The analysis repeated over several random draws, reading the file and
// fitting the global space once: how much the draw moves each result, the
// ratios per word over all of its tokens, and chosen target words scored
// wherever they occur, drawn or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/pipeline.hpp"
#include "analysis/target_tests.hpp"
#include "space/word_ratios.hpp"

namespace orvelle {

struct MeasureRequest {
    AnalysisRequest analysis;  // no folder: the first draw's listing is not written
    std::vector<std::string> shards;  // when given, the corpus in place of analysis.path
    std::vector<std::string> targets;
    std::size_t draws = 10;
    std::size_t resamples = 1000;  // of the target tests' bootstrap
};

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
    std::size_t line_count = 0;
    std::int64_t requested = 0;       // random tokens asked of every draw (0 or below: all)
    std::size_t eligible = 0;         // tokens a draw could select
    AbsentWords absent_seeds;         // seed words without a token
    AbsentWords absent_targets;       // target words without a token
    std::vector<DrawResult> draws;    // draw i uses the seed plus i (wrapping)
    std::vector<TargetTest> target_tests;  // with targets: per pair of spaces, then per target
};

Measurement run_measurement(MeasureRequest request);

}  // namespace orvelle

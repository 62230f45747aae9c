// One whole analysis, from the feature file to the Calculator. Plain C++: the
// Python entry converts the arguments and wraps the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "space/calculator.hpp"

namespace orvelle {

struct AnalysisRequest {
    std::string path;
    std::vector<std::vector<std::string>> subspace_seeds;
    std::optional<double> random_token_num;
    std::optional<std::int64_t> random_token_seed;
    std::optional<std::string> subspace_folder_path;
    std::optional<std::vector<std::string>> exclude_words;
    std::optional<bool> user_friendly;
    std::optional<std::size_t> pca_dimension;
};

// ratio × lines, truncated toward zero and saturated to the signed 64-bit
// range; NaN gives 0.
std::int64_t random_token_count(double ratio, std::size_t lines);

Calculator run_analysis(AnalysisRequest request);

}  // namespace orvelle

// One whole analysis, from the feature file to the Calculator, and the steps
// it shares with the measurement over several draws. Plain C++: the Python
// entry converts the arguments and wraps the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/absent_words.hpp"
#include "analysis/global_space.hpp"
#include "space/calculator.hpp"
#include "space/space.hpp"

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

// Components every random space keeps, whatever the global space keeps.
inline constexpr std::size_t kRandomComponents = 512;

// The measurement's draw when no ratio is given: 4 tokens per kept component
// (fewer leave the last components mostly noise, which the standardisation
// lifts to full weight), or 0.8 × lines when that is more. A file with fewer
// eligible tokens gives every one of them.
std::int64_t default_measure_count(std::size_t lines);

// Each group's tokens in the global space (a Space, or a GlobalSpace), in
// group order.
template <class Global>
std::vector<std::vector<Token>> find_groups(const Global& global, const std::vector<std::vector<std::string>>& groups) {
    std::vector<std::vector<Token>> found;
    found.reserve(groups.size());
    for (const std::vector<std::string>& group : groups) found.push_back(global.find(group));
    return found;
}

// One seed space per group, in group order, holding the group's global-space
// tokens; SeedCentres::of expresses them in the random space's coordinates
// (seed centres and scored tokens must share one basis for their cosines to
// mean anything).
std::vector<Space> seed_spaces(std::vector<std::vector<Token>> found, std::vector<std::vector<std::string>> groups);

// What an analysis can say about its own spaces, for the caller's warnings.
struct AnalysisReport {
    RankReport global_space;
    RankReport random_space;
    std::size_t line_count = 0;
    std::int64_t requested = 0;  // random tokens asked for (0 or below: all)
    std::size_t eligible = 0;    // tokens the draw could select
    AbsentWords absent_seeds;    // seed words without a token
};

// Every word of the groups, in order.
std::vector<std::string> all_words(const std::vector<std::vector<std::string>>& groups);

Calculator run_analysis(AnalysisRequest request, AnalysisReport* report = nullptr);

}  // namespace orvelle

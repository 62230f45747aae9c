// One whole analysis, from the feature file to the Calculator, and the steps
// it shares with the measurement over several draws. Plain C++: the Python
// entry converts the arguments and wraps the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "space/calculator.hpp"
#include "space/space.hpp"
#include "streamed_global.hpp"

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

// Every token of the file, reduced and standardised: held in memory, or
// streamed (files larger than memory), with the same bits either way.
struct GlobalSpace {
    ReducedSpace reduced;                    // in memory
    std::optional<StreamedGlobal> streamed;  // or streamed
    std::size_t line_count = 0;

    std::size_t size() const;
    RankReport rank() const;
    // Space::get_random_tokens and Space::find over every token.
    std::vector<Token> draw(std::int64_t count, std::int64_t seed,
                            const std::optional<std::vector<std::string>>& exclude_words) const;
    std::vector<Token> find(const std::vector<std::string>& words) const;
};
// From one file, or several read as one corpus in the order given; streamed
// when should_stream says so.
GlobalSpace read_global_space(const std::vector<std::string>& paths, bool user_friendly,
                              std::optional<std::size_t> pca_dimension);

// Each group's tokens in the global space, in group order.
std::vector<std::vector<Token>> find_groups(const Space& global, const std::vector<std::vector<std::string>>& groups);
std::vector<std::vector<Token>> find_groups(const GlobalSpace& global,
                                            const std::vector<std::vector<std::string>>& groups);

// One seed space per group, in group order, from the group's global-space
// tokens expressed in the random space's coordinates: seed centres and
// scored tokens must share one basis for their cosines to mean anything.
std::vector<Space> seed_spaces(std::vector<std::vector<Token>> found, std::vector<std::vector<std::string>> groups,
                               const Reduction& random_space);

// With `ranks`, the global and then the random space's reports are appended.
Calculator run_analysis(AnalysisRequest request, std::vector<RankReport>* ranks = nullptr);

}  // namespace orvelle

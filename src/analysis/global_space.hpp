// The global space: every token of the corpus, reduced and standardised,
// held in memory or streamed from a spill (files larger than memory), with
// the same bits either way. The analysis reaches it through this one type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/streamed_global.hpp"
#include "space/space.hpp"

namespace orvelle {

struct GlobalSpace {
    ReducedSpace reduced;                    // in memory
    std::optional<StreamedGlobal> streamed;  // or streamed
    std::size_t line_count = 0;

    std::size_t size() const;
    // Token i's text, line index and layer index, in the space's order.
    const std::string& text(std::size_t i) const {
        return streamed ? streamed->texts[i] : reduced.space.tokens[i].text;
    }
    std::size_t line_of(std::size_t i) const {
        return streamed ? streamed->line_index[i] : reduced.space.tokens[i].line_index;
    }
    std::size_t layer_of(std::size_t i) const {
        return streamed ? streamed->layer_index[i] : reduced.space.tokens[i].layer_index;
    }
    RankReport rank() const;
    // Space::get_random_tokens and Space::find over every token.
    std::vector<Token> draw(std::int64_t count, std::int64_t seed,
                            const std::optional<std::vector<std::string>>& exclude_words) const;
    std::vector<Token> find(const std::vector<std::string>& words) const;
    // Tokens a draw may select: those whose text is not excluded.
    std::size_t eligible(const std::optional<std::vector<std::string>>& exclude_words) const;
};

// From one file, or several read as one corpus in the order given; streamed
// when should_stream says so.
GlobalSpace read_global_space(const std::vector<std::string>& paths, bool user_friendly,
                              std::optional<std::size_t> pca_dimension);

}  // namespace orvelle

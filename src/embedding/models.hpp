// The values the whole system holds its input in: one token at one model
// layer, and one line of the feature file with its tokens.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvelle {

struct Token {
    std::string text;
    std::vector<double> embedding;
    std::size_t layer_index = 0;
    std::size_t line_index = 0;

    bool operator==(const Token&) const = default;
};

struct Line {
    std::vector<Token> tokens;
    std::size_t index = 0;

    bool operator==(const Line&) const = default;
};

// TokenOperators: a flat deep copy of every token, in order.
std::vector<Token> get_all_tokens(const std::vector<Line>& lines);
std::vector<Token> get_all_tokens(const std::vector<Token>& tokens);

}  // namespace orvelle

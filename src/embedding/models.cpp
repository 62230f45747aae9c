#include "embedding/models.hpp"

namespace orvelle {

std::vector<Token> get_all_tokens(const std::vector<Line>& lines) {
    std::size_t n = 0;
    for (const Line& line : lines) n += line.tokens.size();
    std::vector<Token> out;
    out.reserve(n);
    for (const Line& line : lines) out.insert(out.end(), line.tokens.begin(), line.tokens.end());
    return out;
}

std::vector<Token> get_all_tokens(const std::vector<Token>& tokens) { return tokens; }

}  // namespace orvelle

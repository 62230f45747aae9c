// Typed decoder of one line of a token-feature file:
//   {"linex_index": 0, "features": [{"token": "Ġhello",
//     "layers": [{"index": 12, "values": [0.1, -0.2]}]}]}
// Keys come in any order, unknown keys are skipped whatever their value,
// every listed key is required once, and each record may also be written as
// an array of its two values in table order. Failures throw DecodeError with
// the texts and positions users of these files know (see decode_error.hpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fio/reader/json_cursor.hpp"

namespace orvelle {

struct TokenKelvra {
    std::size_t index = 0;
    std::vector<double> values;
};

struct FeatureKelvra {
    std::string token;
    std::vector<TokenKelvra> layers;
};

struct LineKelvra {
    std::size_t linex_index = 0;
    std::vector<FeatureKelvra> features;
};

class KelvraDecoder {
public:
    // Decodes one text line (terminator removed). Token texts are returned as
    // written, escapes decoded; normalising them is the caller's step.
    LineKelvra decode(std::string_view text);

private:
    void line(LineKelvra& out);
    void features(std::vector<FeatureKelvra>& out);
    void feature(FeatureKelvra& out);
    void layers(std::vector<TokenKelvra>& out);
    void layer(TokenKelvra& out);
    std::size_t usize();
    void values(std::vector<double>& out);
    void string(std::string& out);

    bool next_element(bool& first);
    bool next_key(bool& first);
    std::string_view key();
    void colon();
    void end_seq();
    void end_map();
    [[noreturn]] void fail_in_seq(std::string message);
    [[noreturn]] void fail_in_map(std::string message);
    [[noreturn]] void fail_invalid_type(std::string_view expected);

    JsonCursor c_;
    std::string scratch_;
    std::vector<char> frames_;
    // Length of the last `values` array: the next one is usually as long, so
    // its storage is allocated once at its final size.
    std::size_t values_hint_ = 0;
};

}  // namespace orvelle

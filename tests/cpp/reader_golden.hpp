// Reference data for the reader's tests, found under ORVELLE_SHARED_DIR.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <simdjson.h>

#include "test_support.hpp"

namespace orvelle::test {

// Test names may hold letters, digits and underscores only.
inline std::string test_name(std::size_t index, std::string_view label) {
    std::string out = std::to_string(index) + "_";
    for (char c : label) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (ok) out += c;
        else if (!out.empty() && out.back() != '_') out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

// One line of serde_errors.json: a line of a feature file and what decoding it
// gives, a record or an error.
struct GoldenLayer {
    std::uint64_t index;
    std::vector<std::string> value_bits;
};
struct GoldenFeature {
    std::string token, token_normalised;
    std::vector<GoldenLayer> layers;
};
struct GoldenLine {
    std::string label, line;
    bool ok = false;
    std::uint64_t linex_index = 0;
    std::vector<GoldenFeature> features;
    std::string debug;  // the error's debug form when !ok
    std::uint64_t column = 0;
};

// One literal of serde_errors.json numbers[]: placed as the only element of
// `values`, it decodes to `bits`, or fails with `debug`. std_parse_bits is the
// correctly rounded double, kept to show where the decoder's conversion
// differs from it.
struct GoldenNumber {
    std::string literal;
    bool ok = false;
    std::string bits, std_parse_bits, debug;
    std::optional<bool> equals_correctly_rounded;
};

inline void PrintTo(const GoldenLine& g, std::ostream* os) { *os << g.label; }
inline void PrintTo(const GoldenNumber& g, std::ostream* os) { *os << g.literal; }

inline simdjson::dom::element load_golden(simdjson::dom::parser& parser, const std::string& name) {
    return parser.load(golden_path(name)).value();
}

inline std::vector<GoldenLine> golden_lines() {
    std::vector<GoldenLine> out;
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    try {
        root = load_golden(parser, "serde_errors.json");
    } catch (const simdjson::simdjson_error&) {
        return out;
    }
    for (simdjson::dom::element c : root["lines"].get_array()) {
        GoldenLine g;
        g.label = std::string(c["label"].get_string().value());
        g.line = std::string(c["line"].get_string().value());
        g.ok = c["ok"].get_bool().value();
        if (g.ok) {
            simdjson::dom::element r = c["result"];
            g.linex_index = r["linex_index"].get_uint64().value();
            for (simdjson::dom::element f : r["features"].get_array()) {
                GoldenFeature gf;
                gf.token = std::string(f["token"].get_string().value());
                gf.token_normalised = std::string(f["token_normalised"].get_string().value());
                for (simdjson::dom::element l : f["layers"].get_array()) {
                    GoldenLayer gl{l["index"].get_uint64().value(), {}};
                    for (simdjson::dom::element v : l["values"].get_array())
                        gl.value_bits.emplace_back(v.get_string().value());
                    gf.layers.push_back(std::move(gl));
                }
                g.features.push_back(std::move(gf));
            }
        } else {
            g.debug = std::string(c["error"]["debug"].get_string().value());
            g.column = c["error"]["column"].get_uint64().value();
        }
        out.push_back(std::move(g));
    }
    return out;
}

inline std::vector<GoldenNumber> golden_numbers() {
    std::vector<GoldenNumber> out;
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    try {
        root = load_golden(parser, "serde_errors.json");
    } catch (const simdjson::simdjson_error&) {
        return out;
    }
    for (simdjson::dom::element c : root["numbers"].get_array()) {
        GoldenNumber g;
        g.literal = std::string(c["literal"].get_string().value());
        g.ok = c["ok"].get_bool().value();
        std::string_view std_bits;
        if (c["std_parse_bits"].get_string().get(std_bits) == simdjson::SUCCESS) g.std_parse_bits = std_bits;
        if (g.ok) {
            g.bits = std::string(c["bits"].get_string().value());
            g.equals_correctly_rounded = c["equals_correctly_rounded"].get_bool().value();
        } else {
            g.debug = std::string(c["error"]["debug"].get_string().value());
        }
        out.push_back(std::move(g));
    }
    return out;
}

}  // namespace orvelle::test

#include "fio/reader/kelvra_decoder.hpp"

#include <cstdint>

#include "fio/reader/json_number.hpp"
#include "fio/reader/json_syntax.hpp"

namespace orvelle {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "indexes are read as 64-bit values");

namespace {

constexpr std::string_view kLine = "struct LineKelvra";
constexpr std::string_view kLineArray = "struct LineKelvra with 2 elements";
constexpr std::string_view kFeature = "struct FeatureKelvra";
constexpr std::string_view kFeatureArray = "struct FeatureKelvra with 2 elements";
constexpr std::string_view kToken = "struct TokenKelvra";
constexpr std::string_view kTokenArray = "struct TokenKelvra with 2 elements";
constexpr std::string_view kSequence = "a sequence";
constexpr std::string_view kUsize = "usize";
constexpr std::string_view kF64 = "f64";
constexpr std::string_view kString = "a string";

bool is_digit(int c) { return c >= '0' && c <= '9'; }

bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

std::string describe(const JsonNumber& n) {
    switch (n.kind) {
        case JsonNumber::Unsigned: return unexpected_unsigned(n.u);
        case JsonNumber::Signed: return unexpected_signed(n.i);
        default: return unexpected_float(n.f);
    }
}

}  // namespace

LineKelvra KelvraDecoder::decode(std::string_view text) {
    c_ = JsonCursor(text);
    LineKelvra out;
    line(out);
    if (c_.skip_blanks() >= 0) c_.fail_peek(JsonError::TrailingCharacters);
    return out;
}

// ---- records ---------------------------------------------------------------
// Each record reads as an object or as an array of its two values. Errors of
// the record itself (length, missing or duplicate key) are placed after the
// record's closing bracket has been consumed, as far as the text allows.

void KelvraDecoder::line(LineKelvra& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c == '[') {
        c_.eat();
        bool first = true;
        if (!next_element(first)) fail_in_seq(invalid_length(0, kLineArray));
        out.linex_index = usize();
        if (!next_element(first)) fail_in_seq(invalid_length(1, kLineArray));
        features(out.features);
        end_seq();
    } else if (c == '{') {
        c_.eat();
        bool first = true, has_index = false, has_features = false;
        while (next_key(first)) {
            std::string_view k = key();
            if (k == "linex_index") {
                if (has_index) fail_in_map(duplicate_field("linex_index"));
                colon();
                out.linex_index = usize();
                has_index = true;
            } else if (k == "features") {
                if (has_features) fail_in_map(duplicate_field("features"));
                colon();
                features(out.features);
                has_features = true;
            } else {
                colon();
                skip_value(c_, frames_);
            }
        }
        if (!has_index) fail_in_map(missing_field("linex_index"));
        if (!has_features) fail_in_map(missing_field("features"));
        end_map();
    } else {
        fail_invalid_type(kLine);
    }
}

void KelvraDecoder::features(std::vector<FeatureKelvra>& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c != '[') fail_invalid_type(kSequence);
    c_.eat();
    bool first = true;
    while (next_element(first)) feature(out.emplace_back());
    end_seq();
}

void KelvraDecoder::feature(FeatureKelvra& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c == '[') {
        c_.eat();
        bool first = true;
        if (!next_element(first)) fail_in_seq(invalid_length(0, kFeatureArray));
        string(out.token);
        if (!next_element(first)) fail_in_seq(invalid_length(1, kFeatureArray));
        layers(out.layers);
        end_seq();
    } else if (c == '{') {
        c_.eat();
        bool first = true, has_token = false, has_layers = false;
        while (next_key(first)) {
            std::string_view k = key();
            if (k == "token") {
                if (has_token) fail_in_map(duplicate_field("token"));
                colon();
                string(out.token);
                has_token = true;
            } else if (k == "layers") {
                if (has_layers) fail_in_map(duplicate_field("layers"));
                colon();
                layers(out.layers);
                has_layers = true;
            } else {
                colon();
                skip_value(c_, frames_);
            }
        }
        if (!has_token) fail_in_map(missing_field("token"));
        if (!has_layers) fail_in_map(missing_field("layers"));
        end_map();
    } else {
        fail_invalid_type(kFeature);
    }
}

void KelvraDecoder::layers(std::vector<TokenKelvra>& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c != '[') fail_invalid_type(kSequence);
    c_.eat();
    bool first = true;
    while (next_element(first)) layer(out.emplace_back());
    end_seq();
}

void KelvraDecoder::layer(TokenKelvra& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c == '[') {
        c_.eat();
        bool first = true;
        if (!next_element(first)) fail_in_seq(invalid_length(0, kTokenArray));
        out.index = usize();
        if (!next_element(first)) fail_in_seq(invalid_length(1, kTokenArray));
        values(out.values);
        end_seq();
    } else if (c == '{') {
        c_.eat();
        bool first = true, has_index = false, has_values = false;
        while (next_key(first)) {
            std::string_view k = key();
            if (k == "index") {
                if (has_index) fail_in_map(duplicate_field("index"));
                colon();
                out.index = usize();
                has_index = true;
            } else if (k == "values") {
                if (has_values) fail_in_map(duplicate_field("values"));
                colon();
                values(out.values);
                has_values = true;
            } else {
                colon();
                skip_value(c_, frames_);
            }
        }
        if (!has_index) fail_in_map(missing_field("index"));
        if (!has_values) fail_in_map(missing_field("values"));
        end_map();
    } else {
        fail_invalid_type(kToken);
    }
}

// ---- typed values ----------------------------------------------------------

std::size_t KelvraDecoder::usize() {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    JsonNumber n;
    if (c == '-') {
        c_.eat();
        n = parse_number(c_, false);
    } else if (is_digit(c)) {
        n = parse_number(c_, true);
    } else {
        fail_invalid_type(kUsize);
    }
    if (n.kind == JsonNumber::Unsigned) return n.u;
    if (n.kind == JsonNumber::Signed) c_.fail(invalid_value(unexpected_signed(n.i), kUsize));
    c_.fail(invalid_type(unexpected_float(n.f), kUsize));
}

void KelvraDecoder::values(std::vector<double>& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c != '[') fail_invalid_type(kSequence);
    c_.eat();
    out.reserve(values_hint_);
    bool first = true;

    // The bulk of every file: numbers and commas. This loop takes them with
    // the position in a register; at anything else (the closing bracket, a
    // stray byte, a non-number) it stops before that element's separator and
    // the exact loop below carries on from there.
    const char* p = c_.data();
    const std::size_t n = c_.size();
    std::size_t i = c_.index();
    for (;;) {
        const std::size_t element = i;
        if (!first && i < n && p[i] == ',') {
            ++i;  // the usual separator: a comma right after the number
        } else {
            while (i < n && is_blank(p[i])) ++i;
            if (!first) {
                if (i == n || p[i] != ',') {
                    i = element;
                    break;
                }
                ++i;
            }
        }
        while (i < n && is_blank(p[i])) ++i;
        if (i == n || (p[i] != '-' && !is_digit(p[i]))) {
            i = element;
            break;
        }
        bool positive = p[i] != '-';
        if (!positive) ++i;
        double v;
        if (!fast_double(p, n, i, positive, v)) {
            v = parse_double_slow(c_, positive, i);
            i = c_.index();
        }
        out.push_back(v);
        first = false;
    }
    c_.set_index(i);

    while (next_element(first)) {
        int d = c_.peek();
        if (d == '-') {
            c_.eat();
            out.push_back(parse_double_slow(c_, false, c_.index()));
        } else if (is_digit(d)) {
            out.push_back(parse_double_slow(c_, true, c_.index()));
        } else {
            fail_invalid_type(kF64);
        }
    }
    end_seq();
    values_hint_ = out.size();
    // These vectors become the tokens' embeddings as they are: no spare room.
    if (out.capacity() != out.size()) out.shrink_to_fit();
}

void KelvraDecoder::string(std::string& out) {
    int c = c_.skip_blanks();
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    if (c != '"') fail_invalid_type(kString);
    c_.eat();
    out.assign(parse_string(c_, scratch_));
}

// ---- arrays and objects ----------------------------------------------------

// Moves to the next element of an array; false at its closing bracket (which
// stays unconsumed).
bool KelvraDecoder::next_element(bool& first) {
    int c = c_.skip_blanks();
    if (c == ']') return false;
    if (c == ',' && !first) {
        c_.eat();
        c = c_.skip_blanks();
    } else if (c >= 0) {
        if (!first) c_.fail_peek(JsonError::ExpectedListCommaOrEnd);
        first = false;
    } else {
        c_.fail_peek(JsonError::EofWhileParsingList);
    }
    if (c == ']') c_.fail_peek(JsonError::TrailingComma);
    if (c < 0) c_.fail_peek(JsonError::EofWhileParsingValue);
    return true;
}

// Moves to the next key of an object (on its opening quote); false at the
// closing brace.
bool KelvraDecoder::next_key(bool& first) {
    int c = c_.skip_blanks();
    if (c == '}') return false;
    if (c == ',' && !first) {
        c_.eat();
        c = c_.skip_blanks();
    } else if (c >= 0) {
        if (!first) c_.fail_peek(JsonError::ExpectedObjectCommaOrEnd);
        first = false;
    } else {
        c_.fail_peek(JsonError::EofWhileParsingObject);
    }
    if (c == '"') return true;
    if (c == '}') c_.fail_peek(JsonError::TrailingComma);
    if (c >= 0) c_.fail_peek(JsonError::KeyMustBeAString);
    c_.fail_peek(JsonError::EofWhileParsingValue);
}

// The key with its escapes decoded: "linex\u005findex" is linex_index.
std::string_view KelvraDecoder::key() {
    c_.eat();
    return parse_string(c_, scratch_);
}

void KelvraDecoder::colon() {
    int c = c_.skip_blanks();
    if (c == ':') {
        c_.eat();
        return;
    }
    if (c >= 0) c_.fail_peek(JsonError::ExpectedColon);
    c_.fail_peek(JsonError::EofWhileParsingObject);
}

void KelvraDecoder::end_seq() {
    int c = c_.skip_blanks();
    if (c == ']') {
        c_.eat();
        return;
    }
    if (c == ',') {
        c_.eat();
        if (c_.skip_blanks() == ']') c_.fail_peek(JsonError::TrailingComma);
        c_.fail_peek(JsonError::TrailingCharacters);
    }
    if (c >= 0) c_.fail_peek(JsonError::TrailingCharacters);
    c_.fail_peek(JsonError::EofWhileParsingList);
}

void KelvraDecoder::end_map() {
    int c = c_.skip_blanks();
    if (c == '}') {
        c_.eat();
        return;
    }
    if (c == ',') c_.fail_peek(JsonError::TrailingComma);
    if (c >= 0) c_.fail_peek(JsonError::TrailingCharacters);
    c_.fail_peek(JsonError::EofWhileParsingObject);
}

// A record-level error inside an array form: the array's end is consumed
// first, as far as it goes, and the error placed after it.
void KelvraDecoder::fail_in_seq(std::string message) {
    int c = c_.skip_blanks();
    if (c == ']') {
        c_.eat();
    } else if (c == ',') {
        c_.eat();
        c_.skip_blanks();
    }
    c_.fail(std::move(message));
}

void KelvraDecoder::fail_in_map(std::string message) {
    if (c_.skip_blanks() == '}') c_.eat();
    c_.fail(std::move(message));
}

// Reads the value that stands where `expected` should be, to name it.
void KelvraDecoder::fail_invalid_type(std::string_view expected) {
    std::string found;
    int c = c_.peek_or_null();
    switch (c) {
        case 'n':
            c_.eat();
            read_ident(c_, "ull");
            found = "null";
            break;
        case 't':
            c_.eat();
            read_ident(c_, "rue");
            found = "boolean `true`";
            break;
        case 'f':
            c_.eat();
            read_ident(c_, "alse");
            found = "boolean `false`";
            break;
        case '-':
            c_.eat();
            found = describe(parse_number(c_, false));
            break;
        case '"':
            c_.eat();
            found = unexpected_string(parse_string(c_, scratch_));
            break;
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default:
            if (!is_digit(c)) c_.fail_peek(JsonError::ExpectedSomeValue);
            found = describe(parse_number(c_, true));
    }
    c_.fail(invalid_type(found, expected));
}

}  // namespace orvelle

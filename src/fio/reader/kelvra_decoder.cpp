#include "fio/reader/kelvra_decoder.hpp"

#include <cstdint>

#include "fio/reader/json_number.hpp"

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

// Bytes that end a run of plain string content.
bool ends_run(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

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
                ignore_value();
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
                ignore_value();
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
                ignore_value();
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
    out.assign(parse_str(scratch_));
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
    return parse_str(scratch_);
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
            ident("ull");
            found = "null";
            break;
        case 't':
            c_.eat();
            ident("rue");
            found = "boolean `true`";
            break;
        case 'f':
            c_.eat();
            ident("alse");
            found = "boolean `false`";
            break;
        case '-':
            c_.eat();
            found = describe(parse_number(c_, false));
            break;
        case '"':
            c_.eat();
            found = unexpected_string(parse_str(scratch_));
            break;
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default:
            if (!is_digit(c)) c_.fail_peek(JsonError::ExpectedSomeValue);
            found = describe(parse_number(c_, true));
    }
    c_.fail(invalid_type(found, expected));
}

// ---- strings ---------------------------------------------------------------

// On the byte after the opening quote. Returns the content, escapes decoded:
// a view of the line when it has no escape, else of scratch.
std::string_view KelvraDecoder::parse_str(std::string& scratch) {
    const char* p = c_.data();
    const std::size_t n = c_.size();
    std::size_t i = c_.index();
    std::size_t start = i;
    bool copied = false;
    for (;;) {
        while (i < n && !ends_run(static_cast<unsigned char>(p[i]))) ++i;
        if (i == n) {
            c_.set_index(n);
            c_.fail(JsonError::EofWhileParsingString);
        }
        if (p[i] == '"') {
            c_.set_index(i + 1);
            if (!copied) return {p + start, i - start};
            scratch.append(p + start, i - start);
            return scratch;
        }
        if (p[i] == '\\') {
            if (!copied) scratch.clear();
            copied = true;
            scratch.append(p + start, i - start);
            c_.set_index(i + 1);
            parse_escape(scratch);
            i = start = c_.index();
        } else {
            c_.set_index(i + 1);
            c_.fail(JsonError::ControlCharacterWhileParsingString);
        }
    }
}

void KelvraDecoder::parse_escape(std::string& out) {
    int ch = c_.next();
    switch (ch) {
        case -1: c_.fail(JsonError::EofWhileParsingString);
        case '"': out += '"'; return;
        case '\\': out += '\\'; return;
        case '/': out += '/'; return;
        case 'b': out += '\b'; return;
        case 'f': out += '\f'; return;
        case 'n': out += '\n'; return;
        case 'r': out += '\r'; return;
        case 't': out += '\t'; return;
        case 'u': break;
        default: c_.fail(JsonError::InvalidEscape);
    }
    unsigned cp = hex_escape();
    if (cp >= 0xDC00 && cp <= 0xDFFF) c_.fail(JsonError::LoneLeadingSurrogateInHexEscape);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A leading surrogate must be followed by the escape of a trailing one.
        for (char expect : {'\\', 'u'}) {
            int next = c_.peek();
            if (next < 0) c_.fail(JsonError::EofWhileParsingString);
            c_.eat();
            if (next != expect) c_.fail(JsonError::UnexpectedEndOfHexEscape);
        }
        unsigned low = hex_escape();
        if (low < 0xDC00 || low > 0xDFFF) c_.fail(JsonError::LoneLeadingSurrogateInHexEscape);
        cp = (((cp - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
    }
    append_utf8(out, cp);
}

unsigned KelvraDecoder::hex_escape() {
    const char* p = c_.data();
    std::size_t i = c_.index();
    if (i + 4 > c_.size()) {
        c_.set_index(c_.size());
        c_.fail(JsonError::EofWhileParsingString);
    }
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
        int h = hex_value(static_cast<unsigned char>(p[i]));
        c_.set_index(++i);
        if (h < 0) c_.fail(JsonError::InvalidEscape);
        v = v * 16 + static_cast<unsigned>(h);
    }
    return v;
}

// ---- skipped values --------------------------------------------------------
// Values of unknown keys are checked for syntax only: their numbers are not
// converted (1e999 passes), their \u escapes not paired, and nesting has no
// depth limit (an explicit stack, not recursion).

void KelvraDecoder::ignore_str() {
    const char* p = c_.data();
    const std::size_t n = c_.size();
    std::size_t i = c_.index();
    for (;;) {
        while (i < n && !ends_run(static_cast<unsigned char>(p[i]))) ++i;
        if (i == n) {
            c_.set_index(n);
            c_.fail(JsonError::EofWhileParsingString);
        }
        if (p[i] == '"') {
            c_.set_index(i + 1);
            return;
        }
        if (p[i] != '\\') {
            c_.set_index(i);
            c_.fail(JsonError::ControlCharacterWhileParsingString);
        }
        c_.set_index(i + 1);
        switch (c_.next()) {
            case -1: c_.fail(JsonError::EofWhileParsingString);
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't': break;
            case 'u': hex_escape(); break;
            default: c_.fail(JsonError::InvalidEscape);
        }
        i = c_.index();
    }
}

void KelvraDecoder::ident(std::string_view rest) {
    for (char expect : rest) {
        int c = c_.next();
        if (c < 0) c_.fail(JsonError::EofWhileParsingValue);
        if (c != static_cast<unsigned char>(expect)) c_.fail(JsonError::ExpectedSomeIdent);
    }
}

// On the first digit (after a consumed minus sign).
void KelvraDecoder::ignore_number() {
    int c = c_.next();
    if (c == '0') {
        if (is_digit(c_.peek_or_null())) c_.fail_peek(JsonError::InvalidNumber);
    } else if (c >= '1' && c <= '9') {
        while (is_digit(c_.peek_or_null())) c_.eat();
    } else {
        c_.fail(JsonError::InvalidNumber);
    }
    int d = c_.peek_or_null();
    if (d == '.') {
        c_.eat();
        if (!is_digit(c_.peek_or_null())) c_.fail_peek(JsonError::InvalidNumber);
        while (is_digit(c_.peek_or_null())) c_.eat();
        d = c_.peek_or_null();
    }
    if (d == 'e' || d == 'E') {
        c_.eat();
        int s = c_.peek_or_null();
        if (s == '+' || s == '-') c_.eat();
        if (!is_digit(c_.next())) c_.fail(JsonError::InvalidNumber);
        while (is_digit(c_.peek_or_null())) c_.eat();
    }
}

void KelvraDecoder::ignore_value() {
    frames_.clear();
    char enclosing = 0;  // the open bracket the last value sits in, if any
    for (;;) {
        int peek = c_.skip_blanks();
        char frame = 0;
        switch (peek) {
            case -1: c_.fail_peek(JsonError::EofWhileParsingValue);
            case 'n': c_.eat(); ident("ull"); break;
            case 't': c_.eat(); ident("rue"); break;
            case 'f': c_.eat(); ident("alse"); break;
            case '-': c_.eat(); ignore_number(); break;
            case '"': c_.eat(); ignore_str(); break;
            case '[':
            case '{':
                if (enclosing) frames_.push_back(enclosing);
                enclosing = 0;
                c_.eat();
                frame = static_cast<char>(peek);
                break;
            default:
                if (!is_digit(peek)) c_.fail_peek(JsonError::ExpectedSomeValue);
                ignore_number();
        }

        bool accept_comma = true;
        if (frame) {
            accept_comma = false;
        } else if (enclosing) {
            frame = enclosing;
            enclosing = 0;
        } else if (!frames_.empty()) {
            frame = frames_.back();
            frames_.pop_back();
        } else {
            return;
        }

        // Close every bracket that ends here; stop at a comma or a value.
        for (;;) {
            int c = c_.skip_blanks();
            if (c == ',' && accept_comma) {
                c_.eat();
                break;
            }
            bool closes = (c == ']' && frame == '[') || (c == '}' && frame == '{');
            if (!closes) {
                if (c < 0)
                    c_.fail_peek(frame == '[' ? JsonError::EofWhileParsingList
                                              : JsonError::EofWhileParsingObject);
                if (accept_comma)
                    c_.fail_peek(frame == '[' ? JsonError::ExpectedListCommaOrEnd
                                              : JsonError::ExpectedObjectCommaOrEnd);
                break;
            }
            c_.eat();
            if (frames_.empty()) return;
            frame = frames_.back();
            frames_.pop_back();
            accept_comma = true;
        }

        if (frame == '{') {
            int c = c_.skip_blanks();
            if (c == '"') {
                c_.eat();
            } else {
                c_.fail_peek(c < 0 ? JsonError::EofWhileParsingObject : JsonError::KeyMustBeAString);
            }
            ignore_str();
            c = c_.skip_blanks();
            if (c == ':') {
                c_.eat();
            } else {
                c_.fail_peek(c < 0 ? JsonError::EofWhileParsingObject : JsonError::ExpectedColon);
            }
        }
        enclosing = frame;
    }
}

}  // namespace orvelle

#include "fio/reader/json_syntax.hpp"

namespace orvelle {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

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

unsigned hex_escape(JsonCursor& c) {
    const char* p = c.data();
    std::size_t i = c.index();
    if (i + 4 > c.size()) {
        c.set_index(c.size());
        c.fail(JsonError::EofWhileParsingString);
    }
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
        int h = hex_value(static_cast<unsigned char>(p[i]));
        c.set_index(++i);
        if (h < 0) c.fail(JsonError::InvalidEscape);
        v = v * 16 + static_cast<unsigned>(h);
    }
    return v;
}

void parse_escape(JsonCursor& c, std::string& out) {
    int ch = c.next();
    switch (ch) {
        case -1: c.fail(JsonError::EofWhileParsingString);
        case '"': out += '"'; return;
        case '\\': out += '\\'; return;
        case '/': out += '/'; return;
        case 'b': out += '\b'; return;
        case 'f': out += '\f'; return;
        case 'n': out += '\n'; return;
        case 'r': out += '\r'; return;
        case 't': out += '\t'; return;
        case 'u': break;
        default: c.fail(JsonError::InvalidEscape);
    }
    unsigned cp = hex_escape(c);
    if (cp >= 0xDC00 && cp <= 0xDFFF) c.fail(JsonError::LoneLeadingSurrogateInHexEscape);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A leading surrogate must be followed by the escape of a trailing one.
        for (char expect : {'\\', 'u'}) {
            int next = c.peek();
            if (next < 0) c.fail(JsonError::EofWhileParsingString);
            c.eat();
            if (next != expect) c.fail(JsonError::UnexpectedEndOfHexEscape);
        }
        unsigned low = hex_escape(c);
        if (low < 0xDC00 || low > 0xDFFF) c.fail(JsonError::LoneLeadingSurrogateInHexEscape);
        cp = (((cp - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
    }
    append_utf8(out, cp);
}

}  // namespace

std::string_view parse_string(JsonCursor& c, std::string& scratch) {
    const char* p = c.data();
    const std::size_t n = c.size();
    std::size_t i = c.index();
    std::size_t start = i;
    bool copied = false;
    for (;;) {
        while (i < n && !ends_run(static_cast<unsigned char>(p[i]))) ++i;
        if (i == n) {
            c.set_index(n);
            c.fail(JsonError::EofWhileParsingString);
        }
        if (p[i] == '"') {
            c.set_index(i + 1);
            if (!copied) return {p + start, i - start};
            scratch.append(p + start, i - start);
            return scratch;
        }
        if (p[i] == '\\') {
            if (!copied) scratch.clear();
            copied = true;
            scratch.append(p + start, i - start);
            c.set_index(i + 1);
            parse_escape(c, scratch);
            i = start = c.index();
        } else {
            c.set_index(i + 1);
            c.fail(JsonError::ControlCharacterWhileParsingString);
        }
    }
}

void read_ident(JsonCursor& c, std::string_view rest) {
    for (char expect : rest) {
        int b = c.next();
        if (b < 0) c.fail(JsonError::EofWhileParsingValue);
        if (b != static_cast<unsigned char>(expect)) c.fail(JsonError::ExpectedSomeIdent);
    }
}

namespace {

// The rest of a string whose opening quote was consumed: escapes must be
// well formed, but \u escapes are not paired.
void skip_string(JsonCursor& c) {
    const char* p = c.data();
    const std::size_t n = c.size();
    std::size_t i = c.index();
    for (;;) {
        while (i < n && !ends_run(static_cast<unsigned char>(p[i]))) ++i;
        if (i == n) {
            c.set_index(n);
            c.fail(JsonError::EofWhileParsingString);
        }
        if (p[i] == '"') {
            c.set_index(i + 1);
            return;
        }
        if (p[i] != '\\') {
            c.set_index(i);
            c.fail(JsonError::ControlCharacterWhileParsingString);
        }
        c.set_index(i + 1);
        switch (c.next()) {
            case -1: c.fail(JsonError::EofWhileParsingString);
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't': break;
            case 'u': hex_escape(c); break;
            default: c.fail(JsonError::InvalidEscape);
        }
        i = c.index();
    }
}

// On the first digit (after a consumed minus sign).
void skip_number(JsonCursor& c) {
    int b = c.next();
    if (b == '0') {
        if (is_digit(c.peek_or_null())) c.fail_peek(JsonError::InvalidNumber);
    } else if (b >= '1' && b <= '9') {
        while (is_digit(c.peek_or_null())) c.eat();
    } else {
        c.fail(JsonError::InvalidNumber);
    }
    int d = c.peek_or_null();
    if (d == '.') {
        c.eat();
        if (!is_digit(c.peek_or_null())) c.fail_peek(JsonError::InvalidNumber);
        while (is_digit(c.peek_or_null())) c.eat();
        d = c.peek_or_null();
    }
    if (d == 'e' || d == 'E') {
        c.eat();
        int s = c.peek_or_null();
        if (s == '+' || s == '-') c.eat();
        if (!is_digit(c.next())) c.fail(JsonError::InvalidNumber);
        while (is_digit(c.peek_or_null())) c.eat();
    }
}

}  // namespace

void skip_value(JsonCursor& c, std::vector<char>& frames) {
    frames.clear();
    char enclosing = 0;  // the open bracket the last value sits in, if any
    for (;;) {
        int peek = c.skip_blanks();
        char frame = 0;
        switch (peek) {
            case -1: c.fail_peek(JsonError::EofWhileParsingValue);
            case 'n': c.eat(); read_ident(c, "ull"); break;
            case 't': c.eat(); read_ident(c, "rue"); break;
            case 'f': c.eat(); read_ident(c, "alse"); break;
            case '-': c.eat(); skip_number(c); break;
            case '"': c.eat(); skip_string(c); break;
            case '[':
            case '{':
                if (enclosing) frames.push_back(enclosing);
                enclosing = 0;
                c.eat();
                frame = static_cast<char>(peek);
                break;
            default:
                if (!is_digit(peek)) c.fail_peek(JsonError::ExpectedSomeValue);
                skip_number(c);
        }

        bool accept_comma = true;
        if (frame) {
            accept_comma = false;
        } else if (enclosing) {
            frame = enclosing;
            enclosing = 0;
        } else if (!frames.empty()) {
            frame = frames.back();
            frames.pop_back();
        } else {
            return;
        }

        // Close every bracket that ends here; stop at a comma or a value.
        for (;;) {
            int b = c.skip_blanks();
            if (b == ',' && accept_comma) {
                c.eat();
                break;
            }
            bool closes = (b == ']' && frame == '[') || (b == '}' && frame == '{');
            if (!closes) {
                if (b < 0)
                    c.fail_peek(frame == '[' ? JsonError::EofWhileParsingList
                                              : JsonError::EofWhileParsingObject);
                if (accept_comma)
                    c.fail_peek(frame == '[' ? JsonError::ExpectedListCommaOrEnd
                                              : JsonError::ExpectedObjectCommaOrEnd);
                break;
            }
            c.eat();
            if (frames.empty()) return;
            frame = frames.back();
            frames.pop_back();
            accept_comma = true;
        }

        if (frame == '{') {
            int b = c.skip_blanks();
            if (b == '"') {
                c.eat();
            } else {
                c.fail_peek(b < 0 ? JsonError::EofWhileParsingObject : JsonError::KeyMustBeAString);
            }
            skip_string(c);
            b = c.skip_blanks();
            if (b == ':') {
                c.eat();
            } else {
                c.fail_peek(b < 0 ? JsonError::EofWhileParsingObject : JsonError::ExpectedColon);
            }
        }
        enclosing = frame;
    }
}

}  // namespace orvelle

#include "fio/reader/decode_error.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "util/panic.hpp"

namespace orvelle {

std::string_view error_text(JsonError code) {
    switch (code) {
        case JsonError::EofWhileParsingList: return "EOF while parsing a list";
        case JsonError::EofWhileParsingObject: return "EOF while parsing an object";
        case JsonError::EofWhileParsingString: return "EOF while parsing a string";
        case JsonError::EofWhileParsingValue: return "EOF while parsing a value";
        case JsonError::ExpectedColon: return "expected `:`";
        case JsonError::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case JsonError::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case JsonError::ExpectedSomeIdent: return "expected ident";
        case JsonError::ExpectedSomeValue: return "expected value";
        case JsonError::InvalidEscape: return "invalid escape";
        case JsonError::InvalidNumber: return "invalid number";
        case JsonError::NumberOutOfRange: return "number out of range";
        case JsonError::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case JsonError::KeyMustBeAString: return "key must be a string";
        case JsonError::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case JsonError::TrailingComma: return "trailing comma";
        case JsonError::TrailingCharacters: return "trailing characters";
        case JsonError::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    }
    return "unknown decoder error";
}

std::string DecodeError::debug() const { return decode_error_debug(message, line, column); }

std::string unexpected_unsigned(std::uint64_t v) { return "integer `" + std::to_string(v) + "`"; }

std::string unexpected_signed(std::int64_t v) { return "integer `" + std::to_string(v) + "`"; }

std::string unexpected_float(double v) { return "floating point `" + display_float(v) + "`"; }

std::string unexpected_string(std::string_view s) {
    std::string out = "string \"";
    append_debug_escaped(out, s);
    out += '"';
    return out;
}

std::string invalid_type(std::string_view unexpected, std::string_view expected) {
    return "invalid type: " + std::string(unexpected) + ", expected " + std::string(expected);
}

std::string invalid_value(std::string_view unexpected, std::string_view expected) {
    return "invalid value: " + std::string(unexpected) + ", expected " + std::string(expected);
}

std::string invalid_length(std::size_t len, std::string_view expected) {
    return "invalid length " + std::to_string(len) + ", expected " + std::string(expected);
}

std::string missing_field(std::string_view name) { return "missing field `" + std::string(name) + "`"; }

std::string duplicate_field(std::string_view name) {
    return "duplicate field `" + std::string(name) + "`";
}

std::string display_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Shortest round-trip digits in scientific form, then laid out positionally.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
    long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
    long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace orvelle

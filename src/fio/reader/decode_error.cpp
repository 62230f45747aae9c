#include "fio/reader/decode_error.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "util/float_format.hpp"
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

std::string unexpected_float(double v) { return "floating point `" + format_display(v) + "`"; }

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

}  // namespace orvelle

// Errors of the feature-line decoder: the syntax errors with their fixed
// texts, and the type errors of the three records ("invalid type: null,
// expected usize"). The wording and positions are part of the file format's
// interface: users' scripts and notes quote them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvelle {

enum class JsonError {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
};

std::string_view error_text(JsonError code);

// Thrown by the decoder. line and column count from 1 and in bytes; column 0
// means before the first byte of the line.
struct DecodeError {
    std::string message;
    std::size_t line = 1;
    std::size_t column = 0;

    // Error("<message>", line: L, column: C)
    std::string debug() const;
};

// The value found where another type was expected, as the messages name it:
// "integer `5`", "floating point `1.5`", "string \"x\"", "null", "sequence".
std::string unexpected_unsigned(std::uint64_t v);
std::string unexpected_signed(std::int64_t v);
std::string unexpected_float(double v);
std::string unexpected_string(std::string_view s);

std::string invalid_type(std::string_view unexpected, std::string_view expected);
std::string invalid_value(std::string_view unexpected, std::string_view expected);
std::string invalid_length(std::size_t len, std::string_view expected);
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);



}  // namespace orvelle

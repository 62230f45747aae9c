// A text in quotes, escaped so that it stays on one line and every invisible
// or combining character shows: "say \"hi\"", "a\tb", "e\u{301}".
#pragma once

#include <string>
#include <string_view>

namespace orvelle {

// \n \r \t \0 \\ \" for those six characters; \u{hex} for any character that
// is not printable or extends a grapheme; everything else as it is. Bytes
// that are not valid UTF-8 (never produced by the reader) are written \xhh.
void append_str_debug(std::string& out, std::string_view text);
std::string str_debug(std::string_view text);

// Whether the code point is written as \u{hex}.
bool needs_unicode_escape(char32_t cp);

}  // namespace orvelle

// JSON syntax below the record level: strings with their escapes, literal
// words, and values skipped unread (those of unknown keys).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fio/reader/json_cursor.hpp"

namespace orvelle {

// On the byte after the opening quote. Returns the content with its escapes
// decoded (a surrogate pair becomes one character; a lone surrogate is an
// error): a view of the text when there is no escape, else of scratch.
std::string_view parse_string(JsonCursor& c, std::string& scratch);

// The rest of a literal word whose first byte was consumed ("ull" of null).
void read_ident(JsonCursor& c, std::string_view rest);

// Skips one value of any type, checking its syntax only: numbers are not
// converted (1e999 passes), \u escapes are not paired, and nesting has no
// depth limit (`frames` is the stack of open brackets, not recursion).
void skip_value(JsonCursor& c, std::vector<char>& frames);

}  // namespace orvelle

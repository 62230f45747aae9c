// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
#pragma once

#include <string_view>

namespace orvelle {

bool is_valid_utf8(std::string_view bytes);

}  // namespace orvelle

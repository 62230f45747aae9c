// Removal of the tokenizers' word-piece and word-boundary markers from a
// token text.
#pragma once

#include <string>

namespace orvelle {

// Removes, one pattern after the other and each on the result of the step
// before, every non-overlapping occurrence (scanning from the left) of:
//   "##", "Ġ" (U+0120), the six characters \u0120, "▁" (U+2581), the six
//   characters \u2581.
// The order matters: "#Ġ#" becomes "##", because "##" was removed before
// "Ġ" joined the two hashes.
void normalise_token(std::string& text);

}  // namespace orvelle

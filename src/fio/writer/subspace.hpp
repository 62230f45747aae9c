// The subspace listing: one line per token,
//   text line_index layer_index v1,v2,...,vk,\n
// every value in its shortest positional rendering followed by a comma.
// Space::write (space.hpp) writes a whole space this way.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "embedding/models.hpp"

namespace orvelle {

// Builds listing lines into one reused buffer.
class ListingLine {
public:
    // The token's line, valid until the next call.
    std::string_view build(const Token& token);

private:
    std::unique_ptr<char[]> buf_;
    std::size_t capacity_ = 0;
};

}  // namespace orvelle

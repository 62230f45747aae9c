// Reader: what the analysis needs of a source of token features.
#pragma once

#include <concepts>
#include <string>
#include <vector>

#include "embedding/models.hpp"

namespace orvelle {

// read(path, user_friendly) returns the file's lines in file order;
// user_friendly switches on the "Reading file" progress bar.
template <class R>
concept Reader = requires(const R& reader, const std::string& path, bool user_friendly) {
    { reader.read(path, user_friendly) } -> std::same_as<std::vector<Line>>;
};

}  // namespace orvelle

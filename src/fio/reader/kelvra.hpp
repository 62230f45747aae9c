// Reader of the token-feature file (JSON lines).
#pragma once

#include <string>
#include <vector>

#include "embedding/models.hpp"

namespace orvelle {

struct KelvraReader {
    // Reader
    std::vector<Line> read(const std::string& path, bool user_friendly) const;
};

}  // namespace orvelle

// The global space of a file larger than memory, with the same bits as the
// one built in memory. Ordered passes replace holding every vector: the file
// is decoded once, its vectors spilled to an unnamed temporary file (column
// sums taken on the way); the covariance is added up from the spill in the
// 256-row blocks the in-memory product forms; after the decomposition the
// spill is projected once, its coordinates spilled in turn (the centre taken
// on the way) and read once more for the deviations. Only the token texts
// stay in memory, and the tokens a later step asks for are read back.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "embedding/models.hpp"
#include "space/reduction.hpp"
#include "util/spill_file.hpp"

namespace orvelle {

struct StreamedGlobal {
    std::vector<std::string> texts;  // every token's, in order
    std::vector<std::size_t> line_index;
    std::vector<std::size_t> layer_index;
    std::size_t line_count = 0;
    Reduction reduction;
    SpillFile coordinates;  // every token's PCA coordinates, before standardisation

    // The tokens at these positions, in this order, as the in-memory global
    // space holds them (reduced and standardised).
    std::vector<Token> tokens(const std::vector<std::size_t>& positions) const;
    // Positions of the tokens whose text is one of words, in order.
    std::vector<std::size_t> find(const std::vector<std::string>& words) const;
};

// Fails as the in-memory path would, with the same messages.
StreamedGlobal stream_global_space(const std::vector<std::string>& paths, bool user_friendly,
                                   std::optional<std::size_t> pca_dimension, unsigned threads = 0);

// Whether an analysis of these files should stream: ORVELLE_STREAM=1 or 0
// decides; otherwise when the vectors, estimated from the files' size, would
// not fit in the memory this process may still use.
bool should_stream(const std::vector<std::string>& paths);

}  // namespace orvelle

// Reader of the token-feature file (JSON lines).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "embedding/models.hpp"
#include "fio/reader/feature_file.hpp"
#include "fio/reader/parallel_decode.hpp"
#include "fio/reader/reader.hpp"
#include "util/progress_bar.hpp"

namespace orvelle {

struct KelvraReader {
    // Reader
    std::vector<Line> read(const std::string& path, bool user_friendly) const;
};

static_assert(Reader<KelvraReader>);

// read() with the decoding threads and batch size chosen by the caller; the
// result does not depend on them.
std::vector<Line> read_feature_file(const std::string& path, bool user_friendly,
                                    const ReadOptions& options);

// Several feature files read as one corpus, in the order given: the lines
// are those of the files concatenated, without concatenating them on disk.
// One "Reading file" bar over all of them; a failure names the file and its
// line. A single path reads exactly as read_feature_file.
std::vector<Line> read_corpus(const std::vector<std::string>& paths, bool user_friendly,
                              const ReadOptions& options = {});

// The "Reading file" bar's step after each batch: the batch's line bytes
// for plain text; for a compressed file, the file bytes read since the last
// batch, so that the bar, sized by the file, still ends at its size.
std::function<void(std::uint64_t)> reading_progress(const FeatureFile& file, ProgressBar& bar);

// The token pass: one Token per (feature, layer record) pair, features in
// order and within a feature its layer records in order, each with a copy of
// the feature's text and the record's values moved in. Advances `bar` by one
// per line.
std::vector<Line> make_lines(std::vector<LineKelvra>&& records, ProgressBar& bar);

}  // namespace orvelle

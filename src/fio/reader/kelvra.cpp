#include "fio/reader/kelvra.hpp"

#include <memory>

#include "fio/reader/feature_file.hpp"
#include "util/cancellation.hpp"
#include "util/panic.hpp"

namespace orvelle {

std::vector<Line> KelvraReader::read(const std::string& path, bool user_friendly) const {
    return read_feature_file(path, user_friendly, ReadOptions{});
}

std::vector<Line> read_feature_file(const std::string& path, bool user_friendly,
                                    const ReadOptions& options) {
    FeatureFile file(path);
    // The bar counts line bytes without their terminators, so it reaches
    // 100 % only through finish().
    ProgressBar reading(file.size(), "Reading file", user_friendly);
    std::vector<LineKelvra> records =
        decode_file(file, options, reading_progress(file, reading));
    reading.finish();

    ProgressBar generating(records.size(), "Generating tokens", true);
    std::vector<Line> lines = make_lines(std::move(records), generating);
    generating.finish();
    return lines;
}

std::vector<Line> read_corpus(const std::vector<std::string>& paths, bool user_friendly,
                              const ReadOptions& options) {
    if (paths.size() == 1) return read_feature_file(paths[0], user_friendly, options);
    // Every file is opened once before any is read, so a missing shard fails
    // at once; only one is open at a time, however many there are.
    auto open = [](const std::string& path) {
        try {
            return std::make_unique<FeatureFile>(path);
        } catch (const Panic& p) {
            panic(path + ": " + p.message());
        }
    };
    std::uint64_t total = 0;
    for (const std::string& path : paths) total += open(path)->size();
    ProgressBar reading(total, "Reading file", user_friendly);
    std::vector<LineKelvra> records;
    for (const std::string& path : paths) {
        ReadOptions shard = options;
        shard.source = path;
        std::unique_ptr<FeatureFile> file = open(path);
        std::vector<LineKelvra> part = decode_file(*file, shard, reading_progress(*file, reading));
        records.insert(records.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
    }
    reading.finish();

    ProgressBar generating(records.size(), "Generating tokens", true);
    std::vector<Line> lines = make_lines(std::move(records), generating);
    generating.finish();
    return lines;
}

std::function<void(std::uint64_t)> reading_progress(const FeatureFile& file, ProgressBar& bar) {
    if (file.compression() == Compression::none) return [&bar](std::uint64_t bytes) { bar.inc(bytes); };
    return [&file, &bar, seen = std::uint64_t(0)](std::uint64_t) mutable {
        bar.inc(file.consumed() - seen);
        seen = file.consumed();
    };
}

std::vector<Line> make_lines(std::vector<LineKelvra>&& records, ProgressBar& bar) {
    std::vector<Line> lines;
    lines.reserve(records.size());
    for (LineKelvra& record : records) {
        if (lines.size() % 4096 == 0) checkpoint();
        Line& line = lines.emplace_back();
        line.index = record.linex_index;
        std::size_t n = 0;
        for (const FeatureKelvra& f : record.features) n += f.layers.size();
        line.tokens.reserve(n);
        for (FeatureKelvra& f : record.features)
            for (TokenKelvra& layer : f.layers)
                line.tokens.push_back(Token{f.token, std::move(layer.values), layer.index, record.linex_index});
        record = LineKelvra{};  // its values now live in the tokens
        bar.inc(1);
    }
    return lines;
}

}  // namespace orvelle

#include "fio/reader/kelvra.hpp"

#include "fio/reader/feature_file.hpp"

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
        decode_file(file, options, [&](std::uint64_t bytes) { reading.inc(bytes); });
    reading.finish();

    ProgressBar generating(records.size(), "Generating tokens", true);
    std::vector<Line> lines = make_lines(std::move(records), generating);
    generating.finish();
    return lines;
}

std::vector<Line> make_lines(std::vector<LineKelvra>&& records, ProgressBar& bar) {
    std::vector<Line> lines;
    lines.reserve(records.size());
    for (LineKelvra& record : records) {
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

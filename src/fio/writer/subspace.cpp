#include "fio/writer/subspace.hpp"

#include <charconv>
#include <cstring>

#include "fio/writer/output_file.hpp"
#include "space/space.hpp"
#include "util/cancellation.hpp"
#include "util/float_format.hpp"
#include "util/progress_bar.hpp"

namespace orvelle {

std::string_view ListingLine::build(const Token& token) {
    constexpr std::size_t kIndexChars = 20;  // a 64-bit index in decimal
    const std::size_t need = token.text.size() + 2 * (kIndexChars + 1) + 2 +
                             token.embedding.size() * (kMaxDisplayChars + 1);
    if (need > capacity_) {
        buf_.reset(new char[need]);
        capacity_ = need;
    }
    char* const begin = buf_.get();
    char* p = begin;
    std::memcpy(p, token.text.data(), token.text.size());
    p += token.text.size();
    *p++ = ' ';
    p = std::to_chars(p, p + kIndexChars, token.line_index).ptr;
    *p++ = ' ';
    p = std::to_chars(p, p + kIndexChars, token.layer_index).ptr;
    *p++ = ' ';
    for (double v : token.embedding) {
        p = write_display(p, v);
        *p++ = ',';
    }
    *p++ = '\n';
    return {begin, static_cast<std::size_t>(p - begin)};
}

// One complete write per line, straight to the file: when a write fails, the
// lines before it are already there. Interrupted before it is opened, the
// file stays as it was; once opened (truncated), it goes.
void Space::write(const std::string& path, bool user_friendly) const {
    checkpoint();
    OutputFile file(path);
    ProgressBar bar(tokens.size(), "Generating space", user_friendly);
    ListingLine line;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (i % 64 == 0) checkpoint();
        file.write_all(line.build(tokens[i]));
        bar.inc(1);
    }
    file.complete();
    bar.finish();
}

}  // namespace orvelle

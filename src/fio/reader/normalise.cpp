#include "fio/reader/normalise.hpp"

#include <algorithm>
#include <string_view>

namespace orvelle {

namespace {

void remove_all(std::string& s, std::string_view pattern) {
    std::size_t hit = s.find(pattern);
    if (hit == std::string::npos) return;
    // Compact in place: the kept runs move left over the removed patterns.
    std::size_t out = hit, in = hit;
    for (;;) {
        std::size_t end = hit == std::string::npos ? s.size() : hit;
        std::copy(s.begin() + in, s.begin() + end, s.begin() + out);
        out += end - in;
        if (hit == std::string::npos) break;
        in = hit + pattern.size();
        hit = s.find(pattern, in);
    }
    s.resize(out);
}

}  // namespace

void normalise_token(std::string& text) {
    // Every marker starts with one of these bytes; most tokens hold none.
    if (text.find_first_of("#\xC4\\\xE2") == std::string::npos) return;
    remove_all(text, "##");
    remove_all(text, "\xC4\xA0");
    remove_all(text, "\\u0120");
    remove_all(text, "\xE2\x96\x81");
    remove_all(text, "\\u2581");
}

}  // namespace orvelle

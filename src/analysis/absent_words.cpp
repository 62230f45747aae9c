#include "analysis/absent_words.hpp"

#include <unordered_map>
#include <unordered_set>

namespace orvelle {

AbsentWords absent_words(const GlobalSpace& global, const std::vector<std::string>& words) {
    AbsentWords out;
    std::unordered_map<std::string, bool> seen;
    for (const std::string& w : words) seen.emplace(w, false);
    const std::size_t n = global.size();
    for (std::size_t i = 0; i < n; ++i)
        if (auto it = seen.find(global.text(i)); it != seen.end()) it->second = true;
    std::unordered_set<std::string> listed;
    for (const std::string& w : words)
        if (!seen.at(w) && listed.insert(w).second) out.words.push_back(w);
    if (out.words.empty()) return out;

    // Every prefix of an absent word: a run is extended only while it is one.
    std::unordered_set<std::string> prefixes;
    for (const std::string& w : out.words)
        for (std::size_t k = 1; k <= w.size(); ++k) prefixes.insert(w.substr(0, k));
    std::unordered_set<std::string> spelled;
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start;  // the line's tokens: [start, end)
        while (end < n && global.line_of(end) == global.line_of(start)) ++end;
        std::vector<const std::string*> pieces;
        for (std::size_t i = start; i < end; ++i)
            if (global.layer_of(i) == global.layer_of(start)) pieces.push_back(&global.text(i));
        for (std::size_t a = 0; a < pieces.size(); ++a) {
            std::string joined = *pieces[a];
            for (std::size_t b = a + 1; b < pieces.size() && !joined.empty() && prefixes.contains(joined); ++b) {
                joined += *pieces[b];
                if (listed.contains(joined)) spelled.insert(joined);
            }
        }
        start = end;
    }
    for (const std::string& w : out.words)
        if (spelled.contains(w)) out.spelled.push_back(w);
    return out;
}

}  // namespace orvelle

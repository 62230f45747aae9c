// Text-keyed table that iterates in order of first insertion: results and
// files come out identical on every run. Look-ups hash with a random key.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orvelle {

template <class V>
class OrderedTable {
public:
    using Entry = std::pair<std::string, V>;
    // Inserts or replaces; a replaced entry keeps its place.
    void insert(std::string key, V value);
    const V* find(std::string_view key) const;
    std::size_t size() const { return entries_.size(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    void reserve(std::size_t n);

private:
    std::vector<Entry> entries_;
    // hash index: to be written
};

}  // namespace orvelle

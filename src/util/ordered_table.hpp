// Text-keyed table that iterates in order of first insertion: results and
// files come out identical on every run. Look-ups hash with a random key
// (util/keyed_hash.hpp); the hash never decides the order of anything.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/keyed_hash.hpp"

namespace orvelle {

template <class V>
class OrderedTable {
public:
    using Entry = std::pair<std::string, V>;

    // Inserts or replaces; a replaced entry keeps its place.
    void insert(std::string key, V value) {
        const std::uint64_t h = keyed_hash(key);
        if (Slot* s = probe(key, h); s->filled()) {
            entries_[s->pos()].second = std::move(value);
            return;
        }
        if (entries_.size() >= kMaxEntries) throw std::length_error("OrderedTable: too many entries");
        if (needs_growth(entries_.size() + 1)) rebuild(entries_.size() + 1);
        Slot* s = probe(key, h);
        *s = Slot{static_cast<std::uint32_t>(entries_.size() + 1), tag_of(h)};
        entries_.emplace_back(std::move(key), std::move(value));
    }

    const V* find(std::string_view key) const {
        if (entries_.empty()) return nullptr;
        const Slot* s = probe(key, keyed_hash(key));
        return s->filled() ? &entries_[s->pos()].second : nullptr;
    }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    // Entry at position i in insertion order; the value may be changed in
    // place, the key may not.
    const Entry& entry(std::size_t i) const { return entries_[i]; }
    V& value_at(std::size_t i) { return entries_[i].second; }

    void reserve(std::size_t n) {
        entries_.reserve(n);
        if (needs_growth(n)) rebuild(n);
    }

private:
    // Index slot: position + 1 of the entry (0 marks a free slot) and the
    // hash's top bits, which settle most mismatches without a text compare.
    struct Slot {
        std::uint32_t pos_plus1 = 0;
        std::uint32_t tag = 0;
        bool filled() const { return pos_plus1 != 0; }
        std::size_t pos() const { return pos_plus1 - 1; }
    };
    static constexpr std::size_t kMaxEntries = 0xfffffffeu;

    static std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32); }

    // Load factor at most 3/4 (linear probing).
    bool needs_growth(std::size_t n) const { return n * 4 > slots_.size() * 3; }

    // The slot holding key, or the free slot where it would go. Requires at
    // least one free slot.
    template <class Self>
    static auto probe_in(Self& self, std::string_view key, std::uint64_t h) -> decltype(&self.slots_[0]) {
        const std::size_t mask = self.slots_.size() - 1;
        const std::uint32_t tag = tag_of(h);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            auto& s = self.slots_[i];
            if (!s.filled()) return &s;
            if (s.tag == tag && self.entries_[s.pos()].first == key) return &s;
        }
    }
    Slot* probe(std::string_view key, std::uint64_t h) {
        if (slots_.empty()) rebuild(1);
        return probe_in(*this, key, h);
    }
    const Slot* probe(std::string_view key, std::uint64_t h) const { return probe_in(*this, key, h); }

    void rebuild(std::size_t n) {
        std::size_t cap = 8;
        while (n * 4 > cap * 3) cap *= 2;
        if (cap <= slots_.size()) return;
        slots_.assign(cap, Slot{});
        const std::size_t mask = cap - 1;
        for (std::size_t pos = 0; pos < entries_.size(); ++pos) {
            const std::uint64_t h = keyed_hash(entries_[pos].first);
            std::size_t i = h & mask;
            while (slots_[i].filled()) i = (i + 1) & mask;
            slots_[i] = Slot{static_cast<std::uint32_t>(pos + 1), tag_of(h)};
        }
    }

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;  // size 0 or a power of two
};

}  // namespace orvelle

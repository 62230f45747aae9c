// Insertion-ordered table: order, replacement, look-up through growth.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calc_support.hpp"
#include "util/keyed_hash.hpp"
#include "util/ordered_table.hpp"

namespace orvelle {
namespace {

using Ops = std::vector<std::pair<std::string, int>>;

std::vector<std::pair<std::string, int>> entries(const OrderedTable<int>& t) {
    return {t.begin(), t.end()};
}

struct OrderCase {
    const char* label;
    Ops inserts;
    Ops expected;
    friend void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.label; }
};

class OrderedTableOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(OrderedTableOrder, IteratesInFirstInsertionOrder) {
    OrderedTable<int> t;
    for (const auto& [k, v] : GetParam().inserts) t.insert(k, v);
    EXPECT_EQ(entries(t), GetParam().expected);
    EXPECT_EQ(t.size(), GetParam().expected.size());
    for (const auto& [k, v] : GetParam().expected) {
        ASSERT_NE(t.find(k), nullptr) << k;
        EXPECT_EQ(*t.find(k), v) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OrderedTableOrder,
    ::testing::Values(
        OrderCase{"empty", {}, {}},
        OrderCase{"distinct keys keep their order", {{"z", 1}, {"a", 2}, {"m", 3}},
                  {{"z", 1}, {"a", 2}, {"m", 3}}},
        OrderCase{"replacement keeps the first place", {{"a", 1}, {"b", 2}, {"a", 3}},
                  {{"a", 3}, {"b", 2}}},
        OrderCase{"repeated replacement", {{"x", 1}, {"x", 2}, {"y", 3}, {"x", 4}},
                  {{"x", 4}, {"y", 3}}},
        OrderCase{"empty key is a key", {{"", 1}, {"a", 2}, {"", 5}}, {{"", 5}, {"a", 2}}},
        OrderCase{"keys differing only in case", {{"He", 1}, {"he", 2}}, {{"He", 1}, {"he", 2}}},
        OrderCase{"embedded NUL is part of the key",
                  {{std::string("a\0b", 3), 1}, {"a", 2}, {std::string("a\0c", 3), 3}},
                  {{std::string("a\0b", 3), 1}, {"a", 2}, {std::string("a\0c", 3), 3}}}),
    [](const auto& info) { return test::numbered("case", info.index); });

TEST(OrderedTable, FindMisses) {
    OrderedTable<int> t;
    EXPECT_EQ(t.find("a"), nullptr);
    t.insert("a", 1);
    EXPECT_EQ(t.find("b"), nullptr);
    EXPECT_EQ(t.find(std::string("a\0", 2)), nullptr);
}

// Many keys with and without reserve: all found, order kept through every
// rebuild of the index, replacements still in place.
class OrderedTableGrowth : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OrderedTableGrowth, KeepsEverythingThroughGrowth) {
    const int n = 20000;
    OrderedTable<int> t;
    t.reserve(GetParam());
    for (int i = 0; i < n; ++i) t.insert(test::numbered("k", i * 7919 % n), i);
    for (int i = 0; i < n; i += 3) t.insert(test::numbered("k", i * 7919 % n), -i);
    ASSERT_EQ(t.size(), static_cast<std::size_t>(n));
    int i = 0;
    for (const auto& [k, v] : t) {
        EXPECT_EQ(k, test::numbered("k", i * 7919 % n));
        EXPECT_EQ(v, i % 3 == 0 ? -i : i);
        ++i;
    }
    for (int j = 0; j < n; ++j) {
        const int* v = t.find(test::numbered("k", j * 7919 % n));
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(*v, j % 3 == 0 ? -j : j);
    }
    EXPECT_EQ(t.find(test::numbered("k", n)), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Reserve, OrderedTableGrowth, ::testing::Values(0, 1, 100, 20000, 100000));

TEST(OrderedTable, CopyIsIndependentAndValueAtKeepsIndex) {
    OrderedTable<int> a;
    for (int i = 0; i < 100; ++i) a.insert(std::to_string(i), i);
    OrderedTable<int> b = a;
    b.value_at(5) = -1;
    b.insert("new", 7);
    EXPECT_EQ(*a.find("5"), 5);
    EXPECT_EQ(a.find("new"), nullptr);
    EXPECT_EQ(*b.find("5"), -1);
    EXPECT_EQ(b.entry(100).first, "new");
    OrderedTable<int> c = std::move(b);
    EXPECT_EQ(*c.find("new"), 7);
}

// The key is fixed for the process, and it keys the hash.
TEST(KeyedHash, KeyIsStableAndMatters) {
    EXPECT_EQ(&process_hash_key(), &process_hash_key());
    EXPECT_EQ(keyed_hash("doctor"), keyed_hash("doctor"));
    EXPECT_NE(keyed_hash("doctor"), keyed_hash("nurse"));
    const HashKey k1{1, 2};
    const HashKey k2{1, 3};
    EXPECT_NE(siphash13(k1, "doctor"), siphash13(k2, "doctor"));
}

// Published SipHash-1-3 outputs: all-zero key, and key 00..0f.
TEST(KeyedHash, SipHash13ReferenceVectors) {
    const HashKey zero{0, 0};
    EXPECT_EQ(siphash13(zero, ""), 0xd1fba762150c532cULL);
    EXPECT_EQ(siphash13(zero, "siphash"), 0x8264ceeccb16bcbeULL);
    EXPECT_EQ(siphash13(zero, "digest-sip_hash"), 0xce31007e34130c0aULL);
    const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    EXPECT_EQ(siphash13(key, ""), 0xabac0158050fc4dcULL);
}

}  // namespace
}  // namespace orvelle

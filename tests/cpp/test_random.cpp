#include <gtest/gtest.h>
#include <simdjson.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "sha256_for_tests.hpp"
#include "space/random.hpp"

namespace orvelle {
namespace {

using test::golden_path;
using testing::sha256_hex;

std::vector<std::uint32_t> u32_list(simdjson::dom::array a) {
    std::vector<std::uint32_t> out;
    for (std::uint64_t x : a) out.push_back(static_cast<std::uint32_t>(x));
    return out;
}

// Counts, and optionally records, the words a consumer takes.
struct RecordingRng {
    explicit RecordingRng(std::int64_t seed)
        : inner(ChaCha8Rng::seed_from_u64(static_cast<std::uint64_t>(seed))) {}
    ChaCha8Rng inner;
    std::uint64_t consumed = 0;
    std::vector<std::uint32_t> words;
    std::uint32_t next_u32() {
        std::uint32_t w = inner.next_u32();
        ++consumed;
        words.push_back(w);
        return w;
    }
};

TEST(ChaChaGolden, KeyWordsAndFirst200Outputs) {
    simdjson::dom::parser parser;
    simdjson::dom::element doc = parser.load(golden_path("chacha.json"));
    std::size_t n = 0;
    for (simdjson::dom::element c : doc["cases"].get_array()) {
        const std::int64_t seed = c["seed_i64"].get_int64();
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto want_key = u32_list(c["key_words"].get_array());
        const ChaChaKey key = chacha_key_from_u64(static_cast<std::uint64_t>(seed));
        EXPECT_EQ(std::vector<std::uint32_t>(key.begin(), key.end()), want_key);

        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(static_cast<std::uint64_t>(seed));
        std::vector<std::uint32_t> got;
        for (std::size_t i = 0; i < 200; ++i) got.push_back(rng.next_u32());
        EXPECT_EQ(got, u32_list(c["next_u32"].get_array()));
        // 200 words: three refills of four blocks, then a fourth.
        EXPECT_EQ(rng.block_counter(), 16u);
        ++n;
    }
    EXPECT_EQ(n, 7u);
}

// The block function written out word by word, one block at a time.
std::array<std::uint32_t, 16> plain_block(const ChaChaKey& key, std::uint64_t counter) {
    std::array<std::uint32_t, 16> in = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    auto x = in;
    auto rotl = [](std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
    auto qr = [&](int a, int b, int c, int d) {
        x[a] += x[b], x[d] = rotl(x[d] ^ x[a], 16);
        x[c] += x[d], x[b] = rotl(x[b] ^ x[c], 12);
        x[a] += x[b], x[d] = rotl(x[d] ^ x[a], 8);
        x[c] += x[d], x[b] = rotl(x[b] ^ x[c], 7);
    };
    for (int r = 0; r < 4; ++r) {
        qr(0, 4, 8, 12), qr(1, 5, 9, 13), qr(2, 6, 10, 14), qr(3, 7, 11, 15);
        qr(0, 5, 10, 15), qr(1, 6, 11, 12), qr(2, 7, 8, 13), qr(3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) x[i] += in[i];
    return x;
}

// Refills across the carry of the block counter from its low word into its
// high word, which the reference outputs do not reach.
TEST(ChaCha, CounterCarriesIntoHighWord) {
    const ChaChaKey key = chacha_key_from_u64(5);
    for (std::uint64_t start : {std::uint64_t{0}, std::uint64_t{0xFFFFFFFE}, ~std::uint64_t{0} - 5}) {
        ChaCha8Rng rng(key, start);
        for (std::uint64_t b = 0; b < 8; ++b) {
            const auto want = plain_block(key, start + b);
            for (int w = 0; w < 16; ++w) ASSERT_EQ(rng.next_u32(), want[w]) << start << " " << b;
        }
    }
}

// Little-endian bytes of the permutation, as the reference digests hash it.
std::string digest(const std::vector<std::uint32_t>& perm) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t x : perm)
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(x >> (8 * b)));
    return sha256_hex(bytes);
}

TEST(ShuffleGolden, PermutationsDigestsAndWordsConsumed) {
    simdjson::dom::parser parser;
    simdjson::dom::element doc = parser.load(golden_path("shuffle.json"));
    std::size_t n_cases = 0;
    for (simdjson::dom::element c : doc["cases"].get_array()) {
        const std::uint64_t n = c["n"].get_uint64();
        const std::int64_t seed = c["seed_i64"].get_int64();
        SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));

        std::vector<std::uint32_t> perm(n);
        for (std::uint32_t i = 0; i < n; ++i) perm[i] = i;
        RecordingRng rng(seed);
        shuffle(std::span<std::uint32_t>(perm), rng);

        EXPECT_EQ(rng.consumed, c["u32_words_consumed"].get_uint64().value());
        EXPECT_EQ(digest(perm), c["sha256_le_u32"].get_string().value());
        simdjson::dom::array full, head;
        if (c["perm"].get(full) == simdjson::SUCCESS) {
            EXPECT_EQ(perm, u32_list(full));
        } else {
            ASSERT_EQ(c["perm_head50"].get(head), simdjson::SUCCESS);
            auto want = u32_list(head);
            EXPECT_EQ(std::vector<std::uint32_t>(perm.begin(), perm.begin() + want.size()), want);
        }
        EXPECT_EQ(shuffled_indexes(n, static_cast<std::uint64_t>(seed)), perm);
        ++n_cases;
    }
    EXPECT_EQ(n_cases, 24u);
}

// The draws of each step and the words each rejection discarded, step by step.
TEST(ShuffleGolden, DrawsAndRejections) {
    simdjson::dom::parser parser;
    simdjson::dom::element doc = parser.load(golden_path("shuffle.json"));
    std::size_t checked = 0;
    for (simdjson::dom::element c : doc["cases"].get_array()) {
        simdjson::dom::array draws;
        if (c["draws"].get(draws) != simdjson::SUCCESS) continue;
        const std::uint64_t n = c["n"].get_uint64();
        const std::int64_t seed = c["seed_i64"].get_int64();
        SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));

        struct Rejection {
            std::uint64_t i;
            std::vector<std::uint32_t> words;
            bool operator==(const Rejection&) const = default;
        };
        std::vector<Rejection> want_rejections;
        for (simdjson::dom::element r : c["rejections"].get_array()) {
            EXPECT_EQ(r["r"].get_uint64().value(), r["i"].get_uint64().value() + 1);
            want_rejections.push_back({r["i"].get_uint64(), u32_list(r["rejected_words"].get_array())});
        }

        RecordingRng rng(seed);
        std::vector<std::uint32_t> got_draws;
        std::vector<Rejection> got_rejections;
        for (std::uint64_t i = n - 1; i >= 1; --i) {
            rng.words.clear();
            const std::uint32_t j = bounded_u32(rng, static_cast<std::uint32_t>(i + 1));
            EXPECT_LE(j, i);
            got_draws.push_back(j);
            if (rng.words.size() > 1)
                got_rejections.push_back({i, {rng.words.begin(), rng.words.end() - 1}});
        }
        EXPECT_EQ(got_draws, u32_list(draws));
        EXPECT_TRUE(got_rejections == want_rejections);
        EXPECT_EQ(rng.consumed, c["u32_words_consumed"].get_uint64().value());
        ++checked;
    }
    EXPECT_EQ(checked, 12u);
}

// Whatever the bound, an accepted draw lies below it.
class BoundedDraw : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(BoundedDraw, StaysBelowBound) {
    const std::uint32_t r = GetParam();
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(99);
    for (int k = 0; k < 2000; ++k) ASSERT_LT(bounded_u32(rng, r), r);
}

INSTANTIATE_TEST_SUITE_P(Bounds, BoundedDraw,
                         ::testing::Values(2u, 3u, 1000u, 1u << 31, (1u << 31) + 1, UINT32_MAX));

}  // namespace
}  // namespace orvelle

#include "space/random.hpp"

#include <cstdint>
#include <numeric>
#include <string>

#include "util/panic.hpp"

namespace orvelle {

ChaChaKey chacha_key_from_u64(std::uint64_t s) {
    constexpr std::uint64_t kMul = 0x5851F42D4C957F2DULL;
    constexpr std::uint64_t kInc = 0xA17654E46FBE17F3ULL;
    ChaChaKey key;
    for (std::uint32_t& word : key) {
        s = s * kMul + kInc;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto r = static_cast<unsigned>(s >> 59);
        word = (x >> r) | (x << ((32 - r) & 31));
    }
    return key;
}

namespace {

// Word w of the four blocks of one refill, side by side: every quarter round
// then runs on all four blocks in one vector register.
constexpr int kLanes = 4;
using Lanes = std::uint32_t __attribute__((vector_size(4 * kLanes)));

inline Lanes rotl(Lanes x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b, d = rotl(d ^ a, 16);
    c += d, b = rotl(b ^ c, 12);
    a += b, d = rotl(d ^ a, 8);
    c += d, b = rotl(b ^ c, 7);
}

}  // namespace

void ChaCha8Rng::refill() {
    constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    Lanes in[16];
    for (int w = 0; w < 4; ++w) in[w] = Lanes{} + kSigma[w];
    for (int w = 0; w < 8; ++w) in[4 + w] = Lanes{} + key_[w];
    for (int l = 0; l < kLanes; ++l) {
        // The 64-bit counter carries from its low word into its high word.
        const std::uint64_t c = counter_ + static_cast<std::uint64_t>(l);
        in[12][l] = static_cast<std::uint32_t>(c);
        in[13][l] = static_cast<std::uint32_t>(c >> 32);
    }
    in[14] = in[15] = Lanes{};  // stream 0

    Lanes x[16];
    for (int w = 0; w < 16; ++w) x[w] = in[w];
    for (int round = 0; round < 8; round += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int w = 0; w < 16; ++w) {
        const Lanes out = x[w] + in[w];
        for (int l = 0; l < kLanes; ++l) buffer_[16 * l + w] = out[l];
    }
    counter_ += kLanes;
    index_ = 0;
}

std::vector<std::uint32_t> shuffled_indexes(std::size_t n, std::uint64_t seed) {
    if (n > UINT32_MAX)
        panic("A random selection covers at most 4294967295 tokens, the space has " +
              std::to_string(n));
    std::vector<std::uint32_t> index(n);
    std::iota(index.begin(), index.end(), std::uint32_t{0});
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
    shuffle(std::span<std::uint32_t>(index), rng);
    return index;
}

}  // namespace orvelle

// The seeded random machinery of the random subspace, fixed bit for bit so
// that one seed gives one selection on every platform: ChaCha with 8 rounds
// (four 16-word blocks per refill), its key expanded from a 64-bit seed by
// PCG32, the rejection-sampled draw below r and the Durstenfeld shuffle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvelle {

using ChaChaKey = std::array<std::uint32_t, 8>;

// Eight PCG32 outputs from the seed; word i of the key is output i.
ChaChaKey chacha_key_from_u64(std::uint64_t seed);

class ChaCha8Rng {
public:
    explicit ChaCha8Rng(const ChaChaKey& key, std::uint64_t block_counter = 0)
        : key_(key), counter_(block_counter) {}
    static ChaCha8Rng seed_from_u64(std::uint64_t seed) {
        return ChaCha8Rng(chacha_key_from_u64(seed));
    }

    std::uint32_t next_u32() {
        if (index_ == kBufferWords) refill();
        return buffer_[index_++];
    }

    const ChaChaKey& key() const { return key_; }
    // Block counter of the next refill.
    std::uint64_t block_counter() const { return counter_; }

private:
    static constexpr unsigned kBufferWords = 64;
    void refill();

    ChaChaKey key_;
    std::uint64_t counter_ = 0;  // stream words stay 0
    unsigned index_ = kBufferWords;
    alignas(64) std::array<std::uint32_t, kBufferWords> buffer_{};
};

// Uniform in [0, r) for 2 <= r: widening multiply, rejecting products whose
// low half lies above the largest multiple of r that fits the zone.
template <class Rng>
std::uint32_t bounded_u32(Rng& rng, std::uint32_t r) {
    const std::uint32_t zone = (r << __builtin_clz(r)) - 1;
    for (;;) {
        const std::uint64_t m = std::uint64_t{rng.next_u32()} * r;
        if (static_cast<std::uint32_t>(m) <= zone) return static_cast<std::uint32_t>(m >> 32);
    }
}

// Durstenfeld's shuffle: for i from n-1 down to 1, swap v[i] with
// v[bounded_u32(i + 1)]. Draws only depend on the generator, so they are
// made a batch ahead and the swap targets prefetched: on long lists the swaps
// are cache misses, not arithmetic. Requires v.size() < 2^32.
template <class Rng>
void shuffle(std::span<std::uint32_t> v, Rng& rng) {
    constexpr std::size_t kBatch = 32;
    std::uint32_t j[kBatch];
    std::size_t i = v.size();  // steps i-1, i-2, ... remain
    while (i > 1) {
        const std::size_t m = i - 1 < kBatch ? i - 1 : kBatch;
        for (std::size_t k = 0; k < m; ++k) {
            j[k] = bounded_u32(rng, static_cast<std::uint32_t>(i - k));
            __builtin_prefetch(&v[j[k]], 1);
        }
        for (std::size_t k = 0; k < m; ++k) std::swap(v[i - 1 - k], v[j[k]]);
        i -= m;
    }
}

// [0, n) shuffled with a generator seeded from `seed`. Stops with a failure
// when n does not fit the 32-bit index list.
std::vector<std::uint32_t> shuffled_indexes(std::size_t n, std::uint64_t seed);

}  // namespace orvelle

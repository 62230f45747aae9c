#include "util/keyed_hash.hpp"

#include <cstring>
#include <random>

namespace orvelle {

const HashKey& process_hash_key() {
    static const HashKey key = [] {
        std::random_device rd;
        auto word = [&rd] { return (std::uint64_t{rd()} << 32) | std::uint64_t{rd()}; };
        HashKey k;
        k.k0 = word();
        k.k1 = word();
        return k;
    }();
    return key;
}

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

inline std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t m = 0;
    for (int i = 7; i >= 0; --i) m = (m << 8) | p[i];
    return m;
}

}  // namespace

std::uint64_t siphash13(const HashKey& key, std::string_view bytes) {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
               key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    const std::size_t whole = n & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));

    std::uint64_t last = std::uint64_t(n & 0xff) << 56;
    for (std::size_t i = whole; i < n; ++i) last |= std::uint64_t{p[i]} << (8 * (i - whole));
    s.absorb(last);

    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace orvelle

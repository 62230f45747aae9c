// SipHash-1-3 of a text under a 128-bit key drawn once per process, so that
// look-up cost cannot be steered by crafted token texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvelle {

struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// Drawn from std::random_device on first use, then fixed for the process.
const HashKey& process_hash_key();

std::uint64_t siphash13(const HashKey& key, std::string_view bytes);

inline std::uint64_t keyed_hash(std::string_view bytes) {
    return siphash13(process_hash_key(), bytes);
}

}  // namespace orvelle

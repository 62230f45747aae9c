#include "fio/reader/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace orvelle {

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Feature files are nearly all ASCII: step over it 16 bytes at a time.
        while (i + 16 <= n) {
            std::uint64_t a, b;
            std::memcpy(&a, p + i, 8);
            std::memcpy(&b, p + i + 8, 8);
            if ((a | b) & 0x8080808080808080ull) break;
            i += 16;
        }
        if (i == n) break;
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        // Lead byte: the sequence length and the range of its second byte.
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;       // overlong
            if (c == 0xED) hi = 0x9F;       // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;       // overlong
            if (c == 0xF4) hi = 0x8F;       // above U+10FFFF
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

}  // namespace orvelle

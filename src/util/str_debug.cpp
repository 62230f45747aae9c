#include "util/str_debug.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace orvelle {
namespace {

struct Range {
    std::uint32_t first;
    std::uint32_t last;
};

constexpr Range kEscaped[] = {
#include "util/unicode_escapes.inc"
};

constexpr char kHex[] = "0123456789abcdef";

void append_unicode_escape(std::string& out, char32_t cp) {
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kHex[cp & 0xf];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) out += buf[--n];
    out += '}';
}

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0 when
// the bytes there are not one (overlong forms, surrogates, beyond U+10FFFF).
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xe0) == 0xc0) {
        len = 2, cp = b0 & 0x1f, min = 0x80;
    } else if ((b0 & 0xf0) == 0xe0) {
        len = 3, cp = b0 & 0x0f, min = 0x800;
    } else if ((b0 & 0xf8) == 0xf0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
}

}  // namespace

bool needs_unicode_escape(char32_t cp) {
    // The last range starting at or below cp is the only one that can hold it.
    const auto it = std::upper_bound(std::begin(kEscaped), std::end(kEscaped), cp,
                                     [](char32_t c, const Range& r) { return c < r.first; });
    return it != std::begin(kEscaped) && cp <= std::prev(it)->last;
}

void append_str_debug(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        // Plain printable ASCII goes out in one piece.
        std::size_t j = i;
        while (j < text.size()) {
            const auto b = static_cast<unsigned char>(text[j]);
            if (b < 0x20 || b >= 0x7f || b == '"' || b == '\\') break;
            ++j;
        }
        out.append(text, i, j - i);
        i = j;
        if (i == text.size()) break;

        char32_t cp;
        const std::size_t len = decode(text, i, cp);
        if (len == 0) {
            const auto b = static_cast<unsigned char>(text[i]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xf];
            ++i;
            continue;
        }
        switch (cp) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case U'\0': out += "\\0"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if (needs_unicode_escape(cp)) {
                    append_unicode_escape(out, cp);
                } else {
                    out.append(text, i, len);
                }
        }
        i += len;
    }
    out += '"';
}

std::string str_debug(std::string_view text) {
    std::string out;
    append_str_debug(out, text);
    return out;
}

}  // namespace orvelle

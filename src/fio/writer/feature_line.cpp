#include "fio/writer/feature_line.hpp"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "fio/writer/feature_number.hpp"
#include "util/panic.hpp"

namespace orvelle {

namespace {

template <std::size_t N>
char* put(char* out, const char (&s)[N]) {
    std::memcpy(out, s, N - 1);
    return out + N - 1;
}

constexpr std::size_t kIntChars = 20;  // a 64-bit integer in decimal, sign included

template <class T>
void check_shape(std::size_t tokens, std::size_t layers, const SentenceValues<T>& v) {
    if (tokens != v.tokens || layers != v.layers || v.values.size() != v.layers * v.tokens * v.width)
        panic("feature line: " + std::to_string(v.values.size()) + " values for " + std::to_string(layers) +
              " layers of " + std::to_string(tokens) + " tokens of width " + std::to_string(v.width));
}

}  // namespace

char* write_json_string(char* out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    *out++ = '"';
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && c != '"' && c != '\\') {
            *out++ = c;
            continue;
        }
        *out++ = '\\';
        switch (c) {
            case '"': *out++ = '"'; break;
            case '\\': *out++ = '\\'; break;
            case '\b': *out++ = 'b'; break;
            case '\f': *out++ = 'f'; break;
            case '\n': *out++ = 'n'; break;
            case '\r': *out++ = 'r'; break;
            case '\t': *out++ = 't'; break;
            default:
                out = put(out, "u00");
                *out++ = kHex[u >> 4];
                *out++ = kHex[u & 15];
        }
    }
    *out++ = '"';
    return out;
}

template <class T>
std::string_view FeatureLine::build(std::uint64_t line_index, std::span<const std::string_view> tokens,
                                    std::span<const std::int64_t> layers, const SentenceValues<T>& v,
                                    int digits) {
    check_shape(tokens.size(), layers.size(), v);
    if (digits < 0 || digits > 17) panic("feature line: digits " + std::to_string(digits) + " is not 0 to 17");
    std::size_t need = 64 + v.tokens * v.layers * (48 + v.width * (kMaxFeatureNumberChars + 1));
    for (std::string_view t : tokens) need += 6 * t.size() + 32;
    if (need > capacity_) {
        buf_.reset(new char[need]);
        capacity_ = need;
    }
    char* const begin = buf_.get();
    char* p = put(begin, "{\"linex_index\":");
    p = std::to_chars(p, p + kIntChars, line_index).ptr;
    p = put(p, ",\"features\":[");
    for (std::size_t t = 0; t < v.tokens; ++t) {
        if (t > 0) *p++ = ',';
        p = put(p, "{\"token\":");
        p = write_json_string(p, tokens[t]);
        p = put(p, ",\"layers\":[");
        for (std::size_t l = 0; l < v.layers; ++l) {
            if (l > 0) *p++ = ',';
            p = put(p, "{\"index\":");
            p = std::to_chars(p, p + kIntChars, layers[l]).ptr;
            p = put(p, ",\"values\":[");
            p = write_feature_row(p, v.values.subspan((l * v.tokens + t) * v.width, v.width), digits);
            p = put(p, "]}");
        }
        p = put(p, "]}");
    }
    p = put(p, "]}\n");
    return {begin, static_cast<std::size_t>(p - begin)};
}

template <class T>
std::optional<std::size_t> non_finite_layer(const SentenceValues<T>& v) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    constexpr Bits kExponent = std::bit_cast<Bits>(std::numeric_limits<T>::infinity());
    check_shape(v.tokens, v.layers, v);
    const std::size_t per_layer = v.tokens * v.width;
    for (std::size_t l = 0; l < v.layers; ++l) {
        // No early exit: the loop stays a plain reduction the compiler vectorises.
        bool bad = false;
        for (T x : v.values.subspan(l * per_layer, per_layer)) bad |= (std::bit_cast<Bits>(x) & kExponent) == kExponent;
        if (bad) return l;
    }
    return std::nullopt;
}

template std::string_view FeatureLine::build(std::uint64_t, std::span<const std::string_view>,
                                             std::span<const std::int64_t>, const SentenceValues<float>&, int);
template std::string_view FeatureLine::build(std::uint64_t, std::span<const std::string_view>,
                                             std::span<const std::int64_t>, const SentenceValues<double>&, int);
template std::optional<std::size_t> non_finite_layer(const SentenceValues<float>&);
template std::optional<std::size_t> non_finite_layer(const SentenceValues<double>&);

}  // namespace orvelle

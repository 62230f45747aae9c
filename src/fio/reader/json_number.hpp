// JSON numbers as feature files have always been decoded: the digits build an
// unsigned 64-bit significand (digits beyond it are dropped and only counted),
// which is converted to a double and then multiplied or divided once by the
// double nearest to 10^|e| (10^0 .. 10^308). With a significand below 2^53
// and |e| <= 22 that is the correctly rounded value; otherwise it can be one
// bit away from it. Files written with 17 significant digits (Python's repr)
// meet such cases, and results downstream react to the last bit, so the
// conversion is kept exactly as it was.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "fio/reader/json_cursor.hpp"

namespace orvelle {

struct JsonNumber {
    enum Kind { Unsigned, Signed, Float } kind;
    union {
        std::uint64_t u;
        std::int64_t i;
        double f;
    };

    double as_double() const {
        switch (kind) {
            case Unsigned: return static_cast<double>(u);
            case Signed: return static_cast<double>(i);
            default: return f;
        }
    }
};

// The doubles nearest to 10^0 .. 10^308.
extern const double kPow10[309];

// significand * 10^exponent as described above; exponents beyond 308 are
// divided out by 1e308 first. Fails with "number out of range" when the
// result would be infinite. The exponent is 64-bit: a run of digits moves it
// by one per digit, and a line may hold more than 2^31 of them.
double f64_from_parts(const JsonCursor& c, bool positive, std::uint64_t significand, std::int64_t exponent);

// Parses a number whose sign, if any, has been consumed; the cursor is on its
// first digit.
JsonNumber parse_number(JsonCursor& c, bool positive);

// A `values` element through parse_number, from its first digit at `start`.
double parse_double_slow(JsonCursor& c, bool positive, std::size_t start);

namespace detail {

static_assert(std::endian::native == std::endian::little, "digits are read eight at a time, first byte lowest");

inline constexpr std::uint64_t kPow10U64[9] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000};

// The value of eight digits, one per byte as 0..9, the first in the lowest
// byte (as loaded from memory on a little-endian machine).
inline std::uint64_t eight_digits(std::uint64_t x) {
    x = (x * 10) + (x >> 8);
    return (((x & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
            (((x >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
           32;
}

// Appends the run of digits at p[i] to sig, eight at a time where the text
// allows; returns how many there were, counted in the text's own size type:
// a run may be longer than an int counts. Past 19 digits sig wraps: the
// caller does not use it then.
[[gnu::always_inline]] inline std::size_t take_digits(const char* p, std::size_t& i, std::size_t n,
                                                      std::uint64_t& sig) {
    std::size_t count = 0;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        std::uint64_t x = w ^ 0x3030303030303030ull;  // digits become 0..9
        // High bit set in each byte that is not a digit. A carry out of a
        // byte can only mark bytes after the first non-digit, never used.
        std::uint64_t non_digit = ((x + 0x7676767676767676ull) | x) & 0x8080808080808080ull;
        int k = non_digit ? __builtin_ctzll(non_digit) >> 3 : 8;
        if (k == 0) return count;
        sig = sig * kPow10U64[k] + eight_digits(x << (8 * (8 - k)));
        i += static_cast<std::size_t>(k);
        count += static_cast<std::size_t>(k);
        if (k < 8) return count;
    }
    while (i < n && p[i] >= '0' && p[i] <= '9') {
        sig = sig * 10 + static_cast<std::uint64_t>(p[i] - '0');
        ++i;
        ++count;
    }
    return count;
}

}  // namespace detail

// The common forms of a `values` element, straight to a double: up to 19
// digits, an optional fraction, an exponent of up to 4 digits. p[i] is the
// first digit, the sign already read. Returns false, with i unchanged, for
// anything else (errors included): those take parse_double_slow, with the
// same result.
[[gnu::always_inline]] inline bool fast_double(const char* p, std::size_t n, std::size_t& i, bool positive,
                                               double& out) {
    std::size_t k = i;
    std::uint64_t sig = 0;

    std::size_t digits;
    if (k + 1 < n && p[k + 1] == '.' && static_cast<unsigned>(p[k] - '0') <= 9) {
        // One integer digit, the usual shape of activations.
        sig = static_cast<std::uint64_t>(p[k] - '0');
        digits = 1;
        ++k;
    } else {
        digits = detail::take_digits(p, k, n, sig);
        // No digit, or a leading zero followed by more: errors.
        if (digits == 0 || (digits > 1 && p[i] == '0')) return false;
    }
    std::size_t fraction = 0;
    if (k < n && p[k] == '.') {
        ++k;
        fraction = detail::take_digits(p, k, n, sig);
        if (fraction == 0) return false;
        digits += fraction;
    }
    // 19 digits always fit the significand; this also keeps exp within
    // -19 .. 0 before the exponent part.
    if (digits > 19) return false;
    auto exp = -static_cast<std::int64_t>(fraction);
    if (k < n && (p[k] | 0x20) == 'e') {
        ++k;
        bool neg_exp = false;
        if (k < n && (p[k] == '+' || p[k] == '-')) neg_exp = p[k++] == '-';
        std::int64_t e = 0;
        int exp_digits = 0;
        while (k < n && p[k] >= '0' && p[k] <= '9') {
            // Longer exponents take the full path; stopping here also keeps
            // e from overflowing on one of 19 digits or more.
            if (++exp_digits > 4) return false;
            e = e * 10 + (p[k] - '0');
            ++k;
        }
        if (exp_digits == 0) return false;
        exp += neg_exp ? -e : e;
        if (exp < -308 || exp > 308) return false;
    }
    double f = static_cast<double>(sig);
    // exp == 0 is an integer, or a fraction whose exponent cancelled: a
    // multiplication by 1 either way.
    if (exp >= 0) {
        f *= kPow10[exp];
        if (f > 1.7976931348623157e308) return false;  // out of range: an error
    } else {
        f /= kPow10[-exp];
    }
    out = positive ? f : -f;
    i = k;
    return true;
}

}  // namespace orvelle

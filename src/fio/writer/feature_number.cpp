#include "fio/writer/feature_number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "util/shortest_digits.hpp"

namespace orvelle {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t kPow10[20] = {
    1ull,
    10ull,
    100ull,
    1000ull,
    10000ull,
    100000ull,
    1000000ull,
    10000000ull,
    100000000ull,
    1000000000ull,
    10000000000ull,
    100000000000ull,
    1000000000000ull,
    10000000000000ull,
    100000000000000ull,
    1000000000000000ull,
    10000000000000000ull,
    100000000000000000ull,
    1000000000000000000ull,
    10000000000000000000ull,
};

// 10^k as a double at kPow10Double[k + 31], k from -30 to 30.
constexpr double kPow10Double[62] = {
    0.0,   1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19,
    1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,
    1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,
    1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,
    1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,  1e30,
};

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// floor(log10 v) for a normal v > 0 with floor(log2 v) = log2, or false
// outside 1e-31 to 1e30: from the binary exponent, one low for some v, which
// the comparison with the next power of ten mends (a power's double may be a
// last bit off 10^k, so the callers check the digit count they get).
[[gnu::always_inline]] inline bool decimal_exponent(double v, int log2, int& exp) {
    exp = (log2 * 78913) >> 18;
    if (exp < -31 || exp >= 30) return false;
    exp += v >= kPow10Double[exp + 32];
    return true;
}

// The two roundings of v = m x 2^e > 0 (m odd, exp its decimal exponent) to
// q, `digits` digits or 10^digits when it carries; false where one does not
// apply.
//
// In floating point: v x 10^s is exact when the bits of m and of 5^s fit 53
// (a float32's mantissa has 24 bits), and rounding it to an integer by adding
// 2^52 is the round-half-even of the exact value.
[[gnu::always_inline]] inline bool round_product(double v, std::uint64_t m, int exp, int digits, std::uint64_t& q) {
    const int s = digits - 1 - exp;
    if (digits > 15 || s < 0 || s > 19 || std::bit_width(m) + std::bit_width(kPow10[s] >> s) > 53) return false;
    const double y = v * kPow10Double[s + 31];
    if (!(y >= kPow10Double[digits + 30] && y < kPow10Double[digits + 31])) return false;  // exp was off
    q = std::bit_cast<std::uint64_t>(y + 0x1p52) & ((1ull << 52) - 1);
    return true;
}

// In integers, exactly: m x 10^s (below 2^117) and its binary fraction of
// fewer than 128 bits. False where exp was one off.
[[gnu::always_inline]] inline bool round_integer(std::uint64_t m, int e, int exp, int digits, std::uint64_t& q) {
    const int s = digits - 1 - exp;
    if (e >= 0 || e < -127 || s < 0 || s > 19) return false;
    const u128 scaled = static_cast<u128>(m) * kPow10[s];
    const int shift = -e;
    const u128 whole = scaled >> shift;
    if (whole < kPow10[digits - 1] || whole >= kPow10[digits]) return false;
    q = static_cast<std::uint64_t>(whole);
    const u128 rest = scaled & ((static_cast<u128>(1) << shift) - 1), half = static_cast<u128>(1) << (shift - 1);
    q += (rest > half) | ((rest == half) & q);  // no branch: the rounding direction is a coin toss
    return true;
}

// v > 0 of the given bits rounded to `digits` significant digits: q x
// 10^(exp - digits + 1) with 10^(digits-1) <= q < 10^digits; false for
// subnormals, values outside 1e-31 to 1e30 and the rare v whose exponent the
// estimate misses, which std::to_chars rounds (correctly, but slower).
[[gnu::always_inline]] inline bool round_g(double v, std::uint64_t bits, int digits, std::uint64_t& q, int& exp) {
    const int biased = static_cast<int>(bits >> 52);
    const std::uint64_t m = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    const int zeros = std::countr_zero(m);
    const std::uint64_t odd = m >> zeros;
    if (biased == 0 || !decimal_exponent(v, biased - 1023, exp) ||
        !(round_product(v, odd, exp, digits, q) || round_integer(odd, biased - 1075 + zeros, exp, digits, q)))
        return false;
    if (q == kPow10[digits]) {  // 9.99...95 carried into the next power of ten
        q = kPow10[digits - 1];
        ++exp;
    }
    return true;
}

// The text is put together in registers and stored in a few wide writes: a
// text built from byte stores and read back wide stalls on store forwarding,
// which costs more than the arithmetic. Stores may reach past the text's end,
// within the kMaxFeatureNumberChars the caller provides.

void store8(char* out, std::uint64_t w) { std::memcpy(out, &w, 8); }
void store16(char* out, u128 w) { std::memcpy(out, &w, 16); }
constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ull;

// The eight decimal digits of x < 10^8 as bytes 0 to 9, the first digit in
// the lowest byte: four lanes of x / 10000 and x % 10000, halved twice.
[[gnu::always_inline]] inline std::uint64_t digit_bytes(std::uint64_t x) {
    const std::uint64_t high = (x * 109951163) >> 40;  // x / 10000 for x < 10^8, in one multiplication
    std::uint64_t v = high | ((x - high * 10000) << 32);
    const std::uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007Full;
    v = hundreds | ((v - hundreds * 100) << 16);
    const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((v - tens * 10) << 8);
}

// "0.000ddd" (exp -4 to -1), "ddd00" (an integer), "dd.ddd" or "d.ddde-05",
// from the left-aligned digit bytes of q and the count n of significant ones.
std::size_t layout_g(char* out, u128 ascii, int n, int exp, int digits) {
    const auto lo = static_cast<std::uint64_t>(ascii), hi = static_cast<std::uint64_t>(ascii >> 64);
    const char last = static_cast<char>(hi >> 56);  // the 16th digit, beyond a 16-byte store with a point
    if (exp >= -4 && exp < digits) {
        if (exp < 0) {
            store8(out, 0x3030303030302E30ull);  // "0.000000"
            store8(out + 1 - exp, lo);
            store8(out + 9 - exp, hi);
            return static_cast<std::size_t>(1 - exp + n);
        }
        const int whole = exp + 1;
        if (n <= whole) {  // the zeros after the digits are the integer's
            store16(out, ascii);
            return static_cast<std::size_t>(whole);
        }
        const int at = 8 * whole;  // whole <= 15 here
        const u128 head = ascii & ((static_cast<u128>(1) << at) - 1);
        const u128 tail = at + 8 < 128 ? (ascii >> at) << (at + 8) : 0;
        store16(out, head | (static_cast<u128>('.') << at) | tail);
        out[16] = last;
        return static_cast<std::size_t>(n + 1);
    }
    std::size_t len = 1;
    if (n > 1) {
        store16(out, (ascii & 0xFF) | (static_cast<u128>('.') << 8) | ((ascii >> 8) << 16));
        out[16] = last;
        len = static_cast<std::size_t>(n) + 1;
    } else {
        out[0] = static_cast<char>(lo);
    }
    std::uint64_t e = exp < 0 ? -exp : exp;
    std::uint64_t tail = 'e' | (std::uint64_t{exp < 0 ? 0x2Du : 0x2Bu} << 8);  // "e-", "e+"
    std::size_t tail_len = 4;
    if (e >= 100) {
        tail |= ('0' + e / 100) << 16;
        e %= 100;
        ++tail_len;
    }
    std::uint16_t pair;
    std::memcpy(&pair, kPairs + 2 * e, 2);
    tail |= std::uint64_t{pair} << (8 * (tail_len - 2));
    store8(out + len, tail);
    return len + tail_len;
}

// digits <= 8, decimal exponent -4 to digits - 1: "0.000ddd", "ddd00" or
// "dd.ddd", in three overlapping stores and no branch on which (a branch on a
// value's size is mispredicted about as often as not): the first eight bytes
// ("0.000000" or the digits), the point, and the digits after it.
[[gnu::always_inline]] inline std::size_t put_fixed8(char* out, std::uint64_t ascii, int n, int exp) {
    const bool small = exp < 0;
    const int whole = exp + 1;
    store8(out, small ? 0x3030303030302E30ull : ascii);  // "0.000000" or the digits
    out[small ? 1 : whole] = '.';  // beyond the text, when no digit follows it
    const int after = small ? 1 - exp : whole + 1;
    store8(out + after, small ? ascii : ascii >> ((8 * whole) & 63));
    return static_cast<std::size_t>(small ? 1 - exp + n : (n > whole ? n + 1 : whole));
}

const char* special(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    return nullptr;
}

char* put(char* out, const char* s, std::size_t n) {
    std::memcpy(out, s, n);
    return out + n;
}

// write_g's body, inlined into the row loop (the call and its register saves
// cost as much as the rounding).
[[gnu::always_inline]] inline char* put_g(char* out, double v, int digits) {
    const std::uint64_t raw = std::bit_cast<std::uint64_t>(v);
    const std::uint64_t bits = raw & ~(1ull << 63);
    if (bits >= 0x7ff0000000000000ull) {
        const char* s = special(v);
        return put(out, s, std::strlen(s));
    }
    *out = '-';
    out += raw >> 63;
    v = std::bit_cast<double>(bits);
    if (bits == 0) {
        *out = '0';
        return out + 1;
    }
    std::uint64_t q;
    int exp;
    if (std::endian::native != std::endian::little || digits > 16 || !round_g(v, bits, digits, q, exp))
        return std::to_chars(out, out + kMaxFeatureNumberChars, v, std::chars_format::general, digits).ptr;
    // q's digits left-aligned in 16 bytes; the count of significant ones from
    // the last non-zero byte (trailing zeros are dropped).
    std::uint64_t first, second = 0;
    if (digits <= 8) {
        first = digit_bytes(q * kPow10[8 - digits]);
        const int n = 8 - std::countl_zero(first) / 8;
        if (exp >= -4 && exp < digits) return out + put_fixed8(out, first + kAsciiZeros, n, exp);
    } else {
        const std::uint64_t all = q * kPow10[16 - digits];
        first = digit_bytes(all / 100000000);
        second = digit_bytes(all % 100000000);
    }
    const int n = second ? 16 - std::countl_zero(second) / 8 : 8 - std::countl_zero(first) / 8;
    const u128 ascii = (first + kAsciiZeros) | (static_cast<u128>(second + kAsciiZeros) << 64);
    return out + layout_g(out, ascii, n, exp, digits);
}

}  // namespace

char* write_g(char* out, double v, int digits) { return put_g(out, v, digits); }

char* write_repr(char* out, double v) {
    if (const char* s = special(v)) return put(out, s, std::strlen(s));
    if (std::signbit(v)) {
        *out++ = '-';
        v = -v;
    }
    if (v == 0) return put(out, "0.0", 3);
    const Digits g = shortest_digits(v);
    if (g.exp < -4 || g.exp >= 16) {  // scientific
        *out++ = g.digits[0];
        if (g.count > 1) {
            *out++ = '.';
            out = put(out, g.digits + 1, g.count - 1);
        }
        *out++ = 'e';
        *out++ = g.exp < 0 ? '-' : '+';
        int e = g.exp < 0 ? -g.exp : g.exp;
        if (e >= 100) {
            *out++ = static_cast<char>('0' + e / 100);
            e %= 100;
        }
        return put(out, kPairs + 2 * e, 2);
    }
    if (g.exp < 0) {
        out = put(out, "0.000", 1 - g.exp);
        return put(out, g.digits, g.count);
    }
    if (g.count <= g.exp + 1) {
        out = put(out, g.digits, g.count);
        std::memset(out, '0', g.exp + 1 - g.count);
        return put(out + (g.exp + 1 - g.count), ".0", 2);
    }
    out = put(out, g.digits, g.exp + 1);
    *out++ = '.';
    return put(out, g.digits + g.exp + 1, g.count - g.exp - 1);
}

template <class T>
char* write_feature_row(char* out, std::span<const T> row, int digits) {
    if (row.empty()) return out;
    if (digits == 0)
        for (T v : row) {
            out = write_repr(out, static_cast<double>(v));
            *out++ = ',';
        }
    else
        for (T v : row) {
            out = put_g(out, static_cast<double>(v), digits);
            *out++ = ',';
        }
    return out - 1;
}

template char* write_feature_row(char*, std::span<const float>, int);
template char* write_feature_row(char*, std::span<const double>, int);

}  // namespace orvelle

#include "fio/reader/json_number.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace orvelle {

const double kPow10[309] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
    1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
    1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39,
    1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49,
    1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59,
    1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69,
    1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79,
    1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89,
    1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99,
    1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109,
    1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139,
    1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149,
    1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169,
    1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189,
    1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199,
    1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219,
    1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229,
    1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249,
    1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269,
    1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
    1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289,
    1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Consumes the run of digits at the cursor (or of zeros only) and returns its
// length. A number may be billions of digits long: eight at a time.
template <bool kZerosOnly>
std::size_t skip_run(JsonCursor& c) {
    const char* p = c.data();
    const std::size_t n = c.size(), start = c.index();
    std::size_t i = start;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        std::uint64_t x = w ^ 0x3030303030303030ull;  // '0' becomes 0, digits 0..9
        // High bit set in each byte that ends the run (as in take_digits; the
        // zero test carries nothing between bytes).
        std::uint64_t stop = kZerosOnly ? (((x & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | x)
                                        : ((x + 0x7676767676767676ull) | x);
        stop &= 0x8080808080808080ull;
        if (stop) {
            i += static_cast<std::size_t>(__builtin_ctzll(stop) >> 3);
            c.set_index(i);
            return i - start;
        }
    }
    while (i < n && (kZerosOnly ? p[i] == '0' : is_digit(p[i]))) ++i;
    c.set_index(i);
    return i - start;
}

std::size_t skip_digits(JsonCursor& c) { return skip_run<false>(c); }
std::size_t skip_zeros(JsonCursor& c) { return skip_run<true>(c); }

// Whether a * 10 + b would exceed max.
template <class T>
bool overflows(T a, T b, T max) {
    return a >= max / 10 && (a > max / 10 || b > max % 10);
}

// The exponents below are 64-bit and cannot overflow: a running exponent
// moves by one per digit of the text, and an explicit one stops at 2^31 - 1.
double parse_exponent(JsonCursor& c, bool positive, std::uint64_t significand, std::int64_t start) {
    c.eat();  // e or E
    bool positive_exp = true;
    int s = c.peek_or_null();
    if (s == '+') {
        c.eat();
    } else if (s == '-') {
        c.eat();
        positive_exp = false;
    }
    int first = c.next();
    if (first < 0) c.fail(JsonError::EofWhileParsingValue);
    if (!is_digit(first)) c.fail(JsonError::InvalidNumber);
    std::int32_t exp = first - '0';
    while (is_digit(c.peek_or_null())) {
        std::int32_t digit = c.peek_or_null() - '0';
        c.eat();
        if (overflows(exp, digit, kI32Max)) {
            // An exponent beyond 32 bits: a zero or a vanishing value stays
            // zero, a growing one is out of range.
            if (significand != 0 && positive_exp) c.fail(JsonError::NumberOutOfRange);
            skip_digits(c);
            return positive ? 0.0 : -0.0;
        }
        exp = exp * 10 + digit;
    }
    return f64_from_parts(c, positive, significand, positive_exp ? start + exp : start - exp);
}

// After the significand overflowed: the remaining digits are dropped.
double parse_decimal_overflow(JsonCursor& c, bool positive, std::uint64_t significand,
                              std::int64_t exponent) {
    skip_digits(c);
    int e = c.peek_or_null();
    if (e == 'e' || e == 'E') return parse_exponent(c, positive, significand, exponent);
    return f64_from_parts(c, positive, significand, exponent);
}

// On the decimal point. `exponent` counts the integer digits dropped before it.
double parse_decimal(JsonCursor& c, bool positive, std::uint64_t significand, std::int64_t exponent) {
    c.eat();
    // Zeros before the first significant digit only lower the exponent.
    if (significand == 0) exponent -= static_cast<std::int64_t>(skip_zeros(c));
    while (is_digit(c.peek_or_null())) {
        auto digit = static_cast<std::uint64_t>(c.peek_or_null() - '0');
        if (overflows(significand, digit, kU64Max))
            return parse_decimal_overflow(c, positive, significand, exponent);
        c.eat();
        significand = significand * 10 + digit;
        exponent -= 1;
    }
    // A point needs a digit after it. The test is on the running exponent, so
    // an integer that had dropped digits may end in a bare point ("1e20." of
    // 21 digits reads as a number).
    if (exponent == 0) {
        if (c.peek() >= 0) c.fail_peek(JsonError::InvalidNumber);
        c.fail_peek(JsonError::EofWhileParsingValue);
    }
    int e = c.peek_or_null();
    if (e == 'e' || e == 'E') return parse_exponent(c, positive, significand, exponent);
    return f64_from_parts(c, positive, significand, exponent);
}

// An integer part longer than the significand holds: its last digits only
// raise the exponent.
double parse_long_integer(JsonCursor& c, bool positive, std::uint64_t significand) {
    auto exponent = static_cast<std::int64_t>(skip_digits(c));
    int d = c.peek_or_null();
    if (d == '.') return parse_decimal(c, positive, significand, exponent);
    if (d == 'e' || d == 'E') return parse_exponent(c, positive, significand, exponent);
    return f64_from_parts(c, positive, significand, exponent);
}

JsonNumber float_number(double f) {
    JsonNumber n{JsonNumber::Float, {}};
    n.f = f;
    return n;
}

}  // namespace

double f64_from_parts(const JsonCursor& c, bool positive, std::uint64_t significand,
                      std::int64_t exp) {
    double f = static_cast<double>(significand);
    // Any significand is below 1e20, so two divisions by 1e308 bring it to
    // zero: the loop ends after a few rounds however far exp is from zero.
    for (;;) {
        if (exp >= -308 && exp <= 308) {
            if (exp >= 0) {
                f *= kPow10[exp];
                if (std::isinf(f)) c.fail(JsonError::NumberOutOfRange);
            } else {
                f /= kPow10[-exp];
            }
            break;
        }
        if (f == 0.0) break;
        if (exp >= 0) c.fail(JsonError::NumberOutOfRange);
        f /= 1e308;
        exp += 308;
    }
    return positive ? f : -f;
}

JsonNumber parse_number(JsonCursor& c, bool positive) {
    int first = c.next();
    if (first < 0) c.fail(JsonError::EofWhileParsingValue);
    std::uint64_t significand;
    if (first == '0') {
        // One leading zero only.
        if (is_digit(c.peek_or_null())) c.fail_peek(JsonError::InvalidNumber);
        significand = 0;
    } else if (first >= '1' && first <= '9') {
        significand = static_cast<std::uint64_t>(first - '0');
        for (;;) {
            int d = c.peek_or_null();
            if (!is_digit(d)) break;
            auto digit = static_cast<std::uint64_t>(d - '0');
            if (overflows(significand, digit, kU64Max))
                return float_number(parse_long_integer(c, positive, significand));
            c.eat();
            significand = significand * 10 + digit;
        }
    } else {
        c.fail(JsonError::InvalidNumber);
    }

    int d = c.peek_or_null();
    if (d == '.') return float_number(parse_decimal(c, positive, significand, 0));
    if (d == 'e' || d == 'E') return float_number(parse_exponent(c, positive, significand, 0));
    if (positive) {
        JsonNumber n{JsonNumber::Unsigned, {}};
        n.u = significand;
        return n;
    }
    // -0 and magnitudes beyond the signed range become doubles.
    auto neg = static_cast<std::int64_t>(0 - significand);
    if (neg >= 0) return float_number(-static_cast<double>(significand));
    JsonNumber n{JsonNumber::Signed, {}};
    n.i = neg;
    return n;
}

double parse_double_slow(JsonCursor& c, bool positive, std::size_t start) {
    c.set_index(start);
    return parse_number(c, positive).as_double();
}

}  // namespace orvelle

// The number path of a `values` element: the input is the text from the
// element's sign or first digit on. Whenever the fast conversion takes a
// literal, the slow one must give the same bits and stop at the same byte.
// Where the conversion is documented correctly rounded (the literal's digits
// below 2^53, its power of ten within 10^±22), both must equal strtod.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fio/reader/decode_error.hpp"
#include "fio/reader/json_cursor.hpp"
#include "fio/reader/json_number.hpp"
#include "fuzz_support.hpp"

using namespace orvelle;

namespace {

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A whole, well-formed literal as digits × 10^exp (fraction digits lower
// exp); false when the digits pass 19 places or the exponent 9 digits.
bool digits_and_power(std::string_view s, std::uint64_t& digits, std::int64_t& exp) {
    digits = 0;
    exp = 0;
    int count = 0;
    bool fraction = false;
    std::size_t k = s.starts_with('-') ? 1 : 0;
    for (; k < s.size() && s[k] != 'e' && s[k] != 'E'; ++k) {
        if (s[k] == '.') {
            fraction = true;
            continue;
        }
        if (++count > 19) return false;
        digits = digits * 10 + static_cast<std::uint64_t>(s[k] - '0');
        if (fraction) --exp;
    }
    if (k == s.size()) return true;
    ++k;
    bool negative = false;
    if (s[k] == '+' || s[k] == '-') negative = s[k++] == '-';
    if (s.size() - k > 9) return false;
    std::int64_t e = 0;
    for (; k < s.size(); ++k) e = e * 10 + (s[k] - '0');
    exp += negative ? -e : e;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    // The values loop hands over at a minus sign or a digit only.
    if (size == 0 || (p[0] != '-' && !is_digit(p[0]))) return 0;
    const bool positive = p[0] != '-';
    const std::size_t start = positive ? 0 : 1;

    std::size_t fast_end = start;
    double fast = 0.0;
    const bool took = fast_double(p, size, fast_end, positive, fast);

    JsonCursor cursor(std::string_view(p, size));
    std::optional<double> slow;
    try {
        slow = parse_double_slow(cursor, positive, start);
    } catch (const DecodeError&) {
    }

    if (took) {
        FUZZ_CHECK(slow.has_value());
        FUZZ_CHECK(bits(fast) == bits(*slow));
        FUZZ_CHECK(fast_end == cursor.index());
    } else {
        FUZZ_CHECK(fast_end == start);
    }

    std::uint64_t digits;
    std::int64_t exp;
    if (slow && cursor.index() == size && digits_and_power(std::string_view(p, size), digits, exp) &&
        digits < (std::uint64_t{1} << 53) && exp >= -22 && exp <= 22) {
        const std::string text(p, size);
        FUZZ_CHECK(bits(*slow) == bits(std::strtod(text.c_str(), nullptr)));
    }
    return 0;
}

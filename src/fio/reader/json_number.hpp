// JSON numbers as the feature files were always decoded: the digits build an
// unsigned 64-bit significand (digits beyond it are dropped and only counted),
// which is converted to a double and then multiplied or divided once by the
// exact double nearest to 10^|e| (10^0 .. 10^308). This is not a correctly
// rounded conversion: about one literal in five with 17 or more significant
// digits, or with |e| > 22, ends one bit away from the nearest double. Files
// written by Python's repr() hit those cases, and results downstream react to
// the last bit, so the conversion is kept exactly as it was.
#pragma once

#include <cstdint>

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

// significand * 10^exponent with one rounding step as described above; fails
// with "number out of range" when the result would be infinite.
double f64_from_parts(const JsonCursor& c, bool positive, std::uint64_t significand, std::int32_t exponent);

// Parses a number whose sign, if any, has been consumed; the cursor is on its
// first digit.
JsonNumber parse_number(JsonCursor& c, bool positive);

// The same for an element of `values`, straight to a double: the common
// short forms (up to 19 digits, optional fraction and exponent) take a fast
// path with identical results; everything else goes through parse_number.
double parse_double(JsonCursor& c, bool positive);

}  // namespace orvelle

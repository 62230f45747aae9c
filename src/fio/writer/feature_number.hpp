// A feature value as text, byte for byte as Python writes a float: the
// extraction writer's numbers, which readers and earlier files compare against.
#pragma once

#include <cstddef>
#include <span>

namespace orvelle {

// Room each call needs at `out`: the longest text is 24 bytes
// ("-1.2345678901234567e-308"), and the writers store in wide words that may
// reach past the text's end.
inline constexpr std::size_t kMaxFeatureNumberChars = 32;

// Python's f"{v:.{digits}g}" (digits 1 to 17): correctly rounded, ties to
// even; fixed notation for decimal exponents -4 up to digits - 1, scientific
// otherwise with a signed exponent of at least two digits ("1e-05"); trailing
// zeros and a bare point removed; "nan" (whatever its sign), "inf", "-inf".
char* write_g(char* out, double v, int digits);

// Python's repr(v): the shortest text that reads back as v; fixed for decimal
// exponents -4 to 15 with ".0" on integers ("1.0", "-0.0"), scientific
// otherwise ("1e-05", "1.5e+16").
char* write_repr(char* out, double v);

// digits 0: write_repr, else write_g. `out` has room for kMaxFeatureNumberChars.
inline char* write_feature_number(char* out, double v, int digits) {
    return digits == 0 ? write_repr(out, v) : write_g(out, v, digits);
}

// A row of values as "v1,v2,...,vk", each as write_feature_number writes it;
// `out` has room for row.size() * (kMaxFeatureNumberChars + 1).
template <class T>
char* write_feature_row(char* out, std::span<const T> row, int digits);

}  // namespace orvelle

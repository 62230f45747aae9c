// The shortest digit string that reads back as the same double (the nearest
// such string when several have that length), as d1 d2 ... dk x 10^(exp-k+1):
// exp is the decimal exponent of the first digit. std::to_chars finds it; the
// renderings place the point their own way.
#pragma once

#include <charconv>

namespace orvelle {

struct Digits {
    char digits[24];
    int count;
    int exp;
};

// v finite, non-zero, positive.
inline Digits shortest_digits(double v) {
    char buf[32];
    char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
    Digits d;
    const char* p = buf;
    d.digits[0] = *p++;
    d.count = 1;
    if (*p == '.') {
        ++p;
        while (*p != 'e') d.digits[d.count++] = *p++;
    }
    ++p;  // 'e'
    const bool negative_exp = *p++ == '-';
    int e = 0;
    while (p != end) e = e * 10 + (*p++ - '0');
    d.exp = negative_exp ? -e : e;
    return d;
}

}  // namespace orvelle

#include "util/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "util/shortest_digits.hpp"

namespace orvelle {

namespace {

char* put(char* out, const char* s, std::size_t n) {
    std::memcpy(out, s, n);
    return out + n;
}

// Digits with the point placed, never an exponent; no point for integers.
char* positional(char* out, const Digits& d) {
    const int k = d.count, e = d.exp;
    if (e >= k - 1) {
        out = put(out, d.digits, k);
        std::memset(out, '0', e - k + 1);
        return out + (e - k + 1);
    }
    if (e >= 0) {
        out = put(out, d.digits, e + 1);
        *out++ = '.';
        return put(out, d.digits + e + 1, k - e - 1);
    }
    *out++ = '0';
    *out++ = '.';
    std::memset(out, '0', -e - 1);
    out += -e - 1;
    return put(out, d.digits, k);
}

// NaN and the infinities, or nullptr for a finite value.
const char* special(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    return nullptr;
}

}  // namespace

char* write_display(char* out, double v) {
    if (const char* s = special(v)) return put(out, s, std::strlen(s));
    if (std::signbit(v)) {
        *out++ = '-';
        v = -v;
    }
    if (v == 0) {
        *out++ = '0';
        return out;
    }
    return positional(out, shortest_digits(v));
}

void append_display(std::string& out, double v) {
    char buf[kMaxDisplayChars];
    out.append(buf, write_display(buf, v));
}

std::string format_display(double v) {
    std::string s;
    append_display(s, v);
    return s;
}

void append_debug(std::string& out, double v) {
    if (const char* s = special(v)) {
        out += s;
        return;
    }
    char buf[kMaxDisplayChars + 8];
    char* p = buf;
    if (std::signbit(v)) {
        *p++ = '-';
        v = -v;
    }
    if (v == 0) {
        p = put(p, "0.0", 3);
    } else if (v >= 1e-4 && v < 1e16) {
        Digits d = shortest_digits(v);
        p = positional(p, d);
        if (d.exp >= d.count - 1) p = put(p, ".0", 2);
    } else {
        Digits d = shortest_digits(v);
        *p++ = d.digits[0];
        if (d.count > 1) {
            *p++ = '.';
            p = put(p, d.digits + 1, d.count - 1);
        }
        *p++ = 'e';
        p = std::to_chars(p, buf + sizeof buf, d.exp).ptr;
    }
    out.append(buf, p);
}

std::string format_debug(double v) {
    std::string s;
    append_debug(s, v);
    return s;
}

}  // namespace orvelle

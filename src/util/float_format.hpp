// Shortest round-trip renderings of a double.
#pragma once

#include <cstddef>
#include <string>

namespace orvelle {

// Positional, never an exponent: "1", "-0", "0.0000001", "NaN", "inf", "-inf".
void append_display(std::string& out, double v);
std::string format_display(double v);

// The longest positional rendering: "-0." then 323 zeros and one digit for
// the smallest subnormal.
inline constexpr std::size_t kMaxDisplayChars = 327;

// Writes the positional rendering at `out`, which must have room for
// kMaxDisplayChars, and returns the end. The listing writer's inner loop.
char* write_display(char* out, double v);

// Positional in [1e-4, 1e16) with at least one fraction digit ("1.0", "-0.0"),
// scientific otherwise ("1e-5", "1.2345e-5", "1e16"); "NaN", "inf", "-inf".
void append_debug(std::string& out, double v);
std::string format_debug(double v);

}  // namespace orvelle

// Shortest round-trip renderings of a double.
#pragma once

#include <string>

namespace orvelle {

// Positional, never an exponent: "1", "-0", "0.0000001", "NaN", "inf", "-inf".
void append_display(std::string& out, double v);
std::string format_display(double v);

// Positional in [1e-4, 1e16) with at least one fraction digit ("1.0", "-0.0"),
// scientific otherwise ("1e-5", "1.2345e-5", "1e16"); "NaN", "inf", "-inf".
void append_debug(std::string& out, double v);
std::string format_debug(double v);

}  // namespace orvelle

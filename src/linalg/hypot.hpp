// sqrt(x² + y²) without overflow or underflow, with the same bits on every
// machine. The C library's hypot is not: glibc takes a fused multiply-add
// path where the processor always has one (aarch64) and another where not
// (x86-64), and releases before 2.35 use a third algorithm; the two paths
// differ in the last bit for about one argument pair in eight. This is the
// x86-64 path of glibc 2.35 and later, the library the reference results
// come from, written in plain rounded operations.
#pragma once

namespace orvelle {

double hypot(double x, double y);

}  // namespace orvelle

// exp, log and lgamma as fixed sequences of rounded operations (no tables,
// no fused multiply-add; frexp and ldexp, which are exact, apart): the same
// bits on every machine and C library. The C library's are not: glibc's
// differ in their last bits between x86-64 and aarch64 (fused paths) and
// between releases for some arguments. Within a few units in the last place
// of the exact values.
#pragma once

namespace orvelle {

double fixed_exp(double x);
double fixed_log(double x);
// log |Γ(x)| for x > 0; NaN elsewhere.
double fixed_lgamma(double x);

}  // namespace orvelle

"""Writers of the two text files the viewer reads, for making test data.

They mirror the system's own renderings: the listing's positional shortest
round-trip numbers and the summary's escaped texts and debug-form numbers.
"""
import bisect
import json
import math
import os
from pathlib import Path


def shared_dir() -> Path:
    env = os.environ.get("ORVELLE_SHARED_DIR")
    return Path(env) if env else Path(__file__).resolve().parents[2].parent / "shared"


def _digits(x: float):
    """Shortest round-trip digits of |x| and the decimal exponent of the first digit."""
    mantissa, _, exp = repr(abs(x)).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    point = len(whole) + (int(exp) if exp else 0)  # digits before the decimal point
    lead = len(whole + frac) - len((whole + frac).lstrip("0"))
    digits = digits.rstrip("0") or "0"
    return digits, point - lead


def _special(x: float):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return None


def f64_display(x: float) -> str:
    """Listing form: positional, never an exponent; 1.0 -> "1", -0.0 -> "-0"."""
    s = _special(x)
    if s:
        return s
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0"
    digits, point = _digits(x)
    if point <= 0:
        return sign + "0." + "0" * -point + digits
    if point >= len(digits):
        return sign + digits + "0" * (point - len(digits))
    return sign + digits[:point] + "." + digits[point:]


def f64_debug(x: float) -> str:
    """Summary form: positional with a fraction in [1e-4, 1e16) and for 0, else 1.2345e-5."""
    s = _special(x)
    if s:
        return s
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    if 1e-4 <= abs(x) < 1e16:
        body = f64_display(abs(x))
        return sign + (body if "." in body else body + ".0")
    digits, point = _digits(x)
    mant = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mant}e{point - 1}"


_ESCAPED = None


def _escaped_ranges():
    global _ESCAPED
    if _ESCAPED is None:
        path = shared_dir() / "golden" / "str_debug_escapes.json"
        if path.exists():
            ranges = json.loads(path.read_text())["cases"]
        else:  # controls only: enough for the texts the tests write
            ranges = [[1, 8], [11, 12], [14, 31], [127, 160]]
        _ESCAPED = ([lo for lo, _ in ranges], [hi for _, hi in ranges])
    return _ESCAPED


SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0", "\\": "\\\\", '"': '\\"'}


def str_debug(text: str) -> str:
    los, his = _escaped_ranges()
    out = ['"']
    for ch in text:
        cp = ord(ch)
        k = bisect.bisect_right(los, cp) - 1
        if ch in SHORT:
            out.append(SHORT[ch])
        elif k >= 0 and cp <= his[k]:
            out.append("\\u{%x}" % cp)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def summary_text(bias: dict) -> str:
    """calculator_summary.txt for {space: {token: ratio}} in dict order."""
    inner = lambda t: "{" + ", ".join(f"{str_debug(k)}: {f64_debug(v)}" for k, v in t.items()) + "}"
    return "ideal_similarity: {" + ", ".join(f"{str_debug(s)}: {inner(t)}" for s, t in bias.items()) + "}\n"


def listing_text(tokens) -> str:
    """random_subspace.txt for [(text, line, layer, [values])]."""
    return "".join(f"{t} {line} {layer} " + "".join(f64_display(v) + "," for v in vals) + "\n"
                   for t, line, layer, vals in tokens)

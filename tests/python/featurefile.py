"""A strict, standalone reader of the token-feature file, for tests of the files orvelle.extract
writes: it accepts exactly what the extension's reader accepts in the object form (the array form
of the records, which the extractor never writes, is refused here)."""

import json
import math
import subprocess

MARKERS = ["##", "\u0120", "\\u0120", "\u2581", "\\u2581"]


def normalise(text):
    """The reader's token text: the five markers removed one after the other."""
    for m in MARKERS:
        text = text.replace(m, "")
    return text


def _no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    dup = {k for k in keys if keys.count(k) > 1}
    if dup:
        raise ValueError(f"duplicate key {sorted(dup)[0]!r}")
    return dict(pairs)


def _refuse_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def _index(value, what):
    if type(value) is not int or value < 0 or value >= 2**64:
        raise ValueError(f"{what} must be an integer from 0, not {value!r}")
    return value


def _record(obj, keys, what):
    if not isinstance(obj, dict):
        raise ValueError(f"{what} must be an object, not {type(obj).__name__}")
    missing = [k for k in keys if k not in obj]
    if missing:
        raise ValueError(f"{what} lacks {missing[0]!r}")
    return obj


def parse_line(text):
    """One line (terminator removed) -> (linex_index, [(token, [(index, values)])])."""
    if text.strip() == "":
        raise ValueError("blank line")
    doc = json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=_refuse_constant)
    line = _record(doc, ("linex_index", "features"), "line")
    features = line["features"]
    if not isinstance(features, list):
        raise ValueError("features must be an array")
    tokens = []
    for f in features:
        f = _record(f, ("token", "layers"), "feature")
        if not isinstance(f["token"], str):
            raise ValueError("token must be a string")
        if not isinstance(f["layers"], list):
            raise ValueError("layers must be an array")
        layers = []
        for rec in f["layers"]:
            rec = _record(rec, ("index", "values"), "layer record")
            values = rec["values"]
            if not isinstance(values, list):
                raise ValueError("values must be an array")
            for v in values:
                if type(v) not in (int, float) or not math.isfinite(v):
                    raise ValueError(f"value {v!r} is not a finite JSON number")
            layers.append((_index(rec["index"], "index"), [float(v) for v in values]))
        tokens.append((f["token"], layers))
    return _index(line["linex_index"], "linex_index"), tokens


def read(path):
    """Every line of a feature file (plain, or compressed with zstd), parsed; raises ValueError
    naming the line on any fault."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\x28\xb5\x2f\xfd"):
        data = subprocess.run(["zstd", "-dc"], input=data, stdout=subprocess.PIPE, check=True).stdout
    if data.startswith(b"\xef\xbb\xbf"):
        raise ValueError("byte-order mark")
    text = data.decode("utf-8")
    if "\r" in text:
        raise ValueError("the extractor writes \\n line ends only")
    if text and not text.endswith("\n"):
        raise ValueError("last line lacks its line feed")
    lines = text.split("\n")[:-1] if text else []
    parsed = []
    for n, line in enumerate(lines, 1):
        try:
            parsed.append(parse_line(line))
        except ValueError as e:
            raise ValueError(f"line {n}: {e}") from e
    return parsed

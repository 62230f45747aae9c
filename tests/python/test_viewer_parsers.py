"""The viewer's readers of the summary, the listing and the measurement tables, run under node."""
import json
import math
import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

from viewer_formats import shared_dir

HARNESS = Path(__file__).with_name("parsers_harness.js")
NODE = shutil.which("node")
pytestmark = pytest.mark.skipif(NODE is None, reason="node is not installed: the viewer's parsers run under node")
GOLDEN = shared_dir() / "golden"


def run(cases):
    out = subprocess.run([NODE, str(HARNESS)], input=json.dumps(cases), capture_output=True,
                         text=True, check=True, timeout=60)
    return json.loads(out.stdout)


def summary(text):
    return {"op": "summary", "input": text}


def listing(*chunks):
    return {"op": "listing", "chunks": list(chunks)}


def golden(name):
    path = GOLDEN / name
    if not path.exists():
        pytest.skip(f"reference vectors not found at {path} (set ORVELLE_SHARED_DIR)")
    return json.loads(path.read_text())["cases"]


def same_number(got_bits, want_bits):
    """Equal bit patterns; any NaN matches any NaN."""
    as_float = lambda b: struct.unpack("<d", struct.pack("<Q", int(b, 16)))[0]
    g, w = as_float(got_bits), as_float(want_bits)
    return (math.isnan(g) and math.isnan(w)) or got_bits == want_bits


def test_summary_numbers_read_back_exactly():
    cases = golden("f64_debug.json")
    results = run([summary('ideal_similarity: {"s": {"t": %s}}\n' % c["out"]) for c in cases])
    bad = [(c["out"], r) for c, r in zip(cases, results)
           if "ok" not in r or not same_number(r["ok"][0][1][0][1], c["bits"])]
    assert bad == []


def test_listing_numbers_read_back_exactly():
    cases = golden("f64_display.json")
    results = run([listing("t 0 0 %s,\n" % c["out"]) for c in cases])
    bad = [(c["out"], r) for c, r in zip(cases, results)
           if "ok" not in r or not same_number(r["ok"]["values"][0], c["bits"])]
    assert bad == []


def test_escaped_texts_read_back():
    cases = golden("str_debug.json")
    results = run([summary("ideal_similarity: {%s: {}}\n" % c["out"]) for c in cases])
    bad = [(c["label"], r) for c, r in zip(cases, results)
           if r.get("ok") != [["".join(map(chr, c["codepoints"])), []]]]
    assert bad == []


def test_nested_tables_read_back():
    cases = golden("map_debug.json")
    results = run([summary("ideal_similarity: " + c["out"] + "\n") for c in cases])
    for c, r in zip(cases, results):
        if c["outer_key"] is None:
            assert r == {"ok": []}
        elif c["inner_key"] is None:
            assert r == {"ok": [[c["outer_key"], []]]}
        elif not c.get("order_varies"):
            assert r == {"ok": [[c["outer_key"], [[c["inner_key"], c["value_bits"]]]]]}, c
        else:
            assert [space for space, _ in r["ok"]] == ["Space of he", "Space of she"]


def test_averages_sum_in_file_order():
    # 0.1 + 0.2 + 0.3 differs from 0.3 + 0.2 + 0.1 in the last bit.
    text = 'ideal_similarity: {"a": {"x": 0.1, "y": 0.2, "z": 0.3}, "b": {"z": 0.3, "y": 0.2, "x": 0.1}, "c": {"n": -2.0, "m": 1.0}, "e": {}}\n'
    (r,) = run([{"op": "averages", "input": text}])
    hexf = lambda v: "0x%016x" % struct.unpack("<Q", struct.pack("<d", v))[0]
    assert r["ok"][:3] == [
        ["a", hexf((0.1 + 0.2 + 0.3) / 3), hexf((0.1 + 0.2 + 0.3) / 3), 3],
        ["b", hexf((0.3 + 0.2 + 0.1) / 3), hexf((0.3 + 0.2 + 0.1) / 3), 3],
        ["c", hexf(-0.5), hexf(1.5), 2],
    ]
    space, mean, mean_abs, count = r["ok"][3]  # an empty space: 0 / 0
    assert (space, count) == ("e", 0)
    assert same_number(mean, "0x7ff8000000000000") and same_number(mean_abs, "0x7ff8000000000000")


@pytest.mark.parametrize("text, error", [
    ('{"a": {}}\n', 'expected the label "ideal_similarity: "'),
    ('ideal_similarity: {"a": {}}\nmore', "end of file after the table"),
    ('ideal_similarity: {"a": {"b": 1.0,}}\n', 'expected ", "'),
    ('ideal_similarity: {"a": {"b": 1.0}\n', 'expected ", "'),
    ('ideal_similarity: {"a": {"b": +1.0}}\n', "expected a number"),
    ('ideal_similarity: {"a": {"b": Infinity}}\n', "expected a number"),
    ('ideal_similarity: {"a\\x": {}}\n', "expected an escape"),
    ('ideal_similarity: {"a\\u{d800}": {}}\n', "Unicode scalar value"),
    ('ideal_similarity: {"a\\u{110000}": {}}\n', "Unicode scalar value"),
    ('ideal_similarity: {"abc', 'a closing "'),
    ('ideal_similarity: {"a": 1.0}\n', 'expected "{"'),
])
def test_malformed_summary_is_reported(text, error):
    (r,) = run([summary(text)])
    assert error in r["error"]


def test_summary_without_final_line_feed_is_accepted():
    (r,) = run([summary('ideal_similarity: {"a": {"b": 1.0}}')])
    assert r == {"ok": [["a", [["b", "0x3ff0000000000000"]]]]}


ONE = "0x3ff0000000000000"
HALF = "0x3fe0000000000000"


@pytest.mark.parametrize("chunks, texts, lines, layers, dim", [
    (["he 3 12 0.5,1,\n"], ["he"], [3], [12], 2),
    (["new york 3 12 0.5,1,\n"], ["new york"], [3], [12], 2),
    (["a b  c 0 1 0.5,1,\n"], ["a b  c"], [0], [1], 2),   # double space inside the text
    ([" 7 0 0.5,1,\n"], [""], [7], [0], 2),                # empty text
    (["1 2 3 4 0.5,1,\n"], ["1 2"], [3], [4], 2),          # text that looks like numbers
    (["he 3 12 0.5,1,"], ["he"], [3], [12], 2),            # no final line feed
    (["h", "e 3 1", "2 0.5,", "1,\nshe 4 0 1,0.", "5,\n"], ["he", "she"], [3, 4], [12, 0], 2),
    (["he 0 0 \nshe 1 0 \n"], ["he", "she"], [0, 1], [0, 0], 0),  # empty vectors
    ([""], [], [], [], 0),
])
def test_listing_lines_split_from_the_right(chunks, texts, lines, layers, dim):
    (r,) = run([listing(*chunks)])
    got = r["ok"]
    assert (got["texts"], got["lines"], got["layers"], got["dim"]) == (texts, lines, layers, dim)
    assert got["count"] == len(texts)
    if dim == 2:
        assert got["values"][:2] == [HALF, ONE]


@pytest.mark.parametrize("chunks, error", [
    (["he 3 12 0.5,1\n"], "line 1: the values must end with a comma"),
    (["he 3 12\n"], "line 1: expected"),
    (["3 12 0.5,\n"], "line 1: expected"),
    (["he x 12 0.5,\n"], 'line 1: line index "x" is not an unsigned integer'),
    (["he 3 -1 0.5,\n"], 'line 1: layer index "-1" is not an unsigned integer'),
    (["he 3 1 0.5,1,\nshe 4 1 0.5,\n"], "line 2: 1 values where earlier lines have 2"),
    (["he 3 1 0.5,,\n"], 'line 1: value 2 "" is not a number'),
    (["he 3 1 0.5,abc,\n"], 'line 1: value 2 "abc" is not a number'),
    (["he 3 1 0.5,-NaN,\n"], 'line 1: value 2 "-NaN" is not a number'),
])
def test_malformed_listing_is_reported(chunks, error):
    (r,) = run([listing(*chunks)])
    assert error in r["error"]


RATIOS = "space,word,kind,count,mean,sd,ci_low,ci_high\r\n"
INTERVALS = "quantity,space,other,word,draws,mean,lo,hi,sign_agreement\r\n"
TESTS = "word,space,other,estimate,ci_low,ci_high,p,q,effect_size,tokens,lines\r\n"


def bits(v):
    return "0x%016x" % struct.unpack("<Q", struct.pack("<d", v))[0]


@pytest.mark.parametrize("text, words", [
    (RATIOS + 's,"new, york",drawn,1,1.0,,,\r\n', ["new, york"]),
    (RATIOS + 's,"say ""hi""",drawn,1,1.0,,,\r\ns,"""",drawn,1,1.0,,,\r\n', ['say "hi"', '"']),
    (RATIOS + 's,"two\r\nlines",drawn,1,1.0,,,\r\ns,"\n",drawn,1,1.0,,,\r\ns,"a\rb",drawn,1,1.0,,,\r\n',
     ["two\r\nlines", "\n", "a\rb"]),
    (RATIOS + "s,,drawn,1,1.0,,,\r\n", [""]),                                     # the empty token text
    (RATIOS.replace("\r\n", "\n") + "s,a,drawn,1,1.0,,,\ns,b,drawn,1,1.0,,,\n", ["a", "b"]),
    (RATIOS + "s,a,drawn,1,1.0,,,", ["a"]),                                       # no final line end
    (RATIOS + "s,a,drawn,1,1.0,,,\r\n\r\ns,b,drawn,1,1.0,,,\r\n\n", ["a", "b"]),  # blank lines
    ("\ufeff" + RATIOS + "s,a,drawn,1,1.0,,,\r\n", ["a"]),                        # saved with a byte order mark
])
def test_csv_fields_read_back(text, words):
    (r,) = run([{"op": "wordRatios", "input": text}])
    assert [row["word"] for row in r["ok"]] == words


def test_csv_numbers_read_back_exactly():
    rng = random.Random(5)
    values = [0.1, -0.0, 1e-05, 1.5e+16, 5e-324, 1.7976931348623157e+308, math.nan, math.inf, -math.inf]
    values += [v for v in (struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(2000))
               if math.isfinite(v)]
    text = RATIOS + "".join(f"s,w,drawn,2,{v!r},,,\r\n" for v in values) + "s,none,target,0,,,,\r\n"
    (r,) = run([{"op": "wordRatios", "input": text}])
    *rows, empty = r["ok"]
    bad = [(v, row["mean"]) for v, row in zip(values, rows) if not same_number(row["mean"], bits(v))]
    assert bad == [] and len(rows) == len(values)
    assert rows[0]["sd"] is None and rows[0]["count"] == 2
    assert empty == {"space": "s", "word": "none", "kind": "target", "count": 0,
                     "mean": None, "sd": None, "ciLow": None, "ciHigh": None}


def test_intervals_keep_words_only_where_the_quantity_has_them():
    text = INTERVALS + (
        "mean ratio,Space of he,,,10,1.0,0.5,1.5,\r\n"
        "target ratio,Space of he,,nurse,10,0.25,0.0,0.5,\r\n"
        "target difference,Space of he,Space of she,nurse,1,-0.5,,,1.0\r\n")
    (r,) = run([{"op": "intervals", "input": text}])
    assert [(x["quantity"], x["other"], x["word"], x["draws"], x["lo"], x["signAgreement"]) for x in r["ok"]] == [
        ("mean ratio", None, None, 10, bits(0.5), None),
        ("target ratio", None, "nurse", 10, bits(0.0), None),
        ("target difference", "Space of she", "nurse", 1, None, bits(1.0)),
    ]


def test_target_tests_read_back_with_empty_cells_as_null():
    text = TESTS + ("nurse,Space of he,Space of she,-0.5,-0.8,-0.2,0.001,0.003,-1.25,12,9\r\n"
                    "ghost,Space of he,Space of she,,,,,,,0,0\r\n")
    (r,) = run([{"op": "tests", "input": text}])
    assert r["ok"] == [
        dict(word="nurse", space="Space of he", other="Space of she", estimate=bits(-0.5), ciLow=bits(-0.8),
             ciHigh=bits(-0.2), p=bits(0.001), q=bits(0.003), effectSize=bits(-1.25), tokens=12, lines=9),
        dict(word="ghost", space="Space of he", other="Space of she", estimate=None, ciLow=None, ciHigh=None,
             p=None, q=None, effectSize=None, tokens=0, lines=0)]


@pytest.mark.parametrize("op, text, error", [
    ("wordRatios", "space,word,kind\r\n",
     'line 1: expected the header "space,word,kind,count,mean,sd,ci_low,ci_high", found "space,word,kind"'),
    ("wordRatios", INTERVALS, "(the header of intervals.csv)"),
    ("intervals", RATIOS, "(the header of word_ratios.csv)"),
    ("tests", INTERVALS, "(the header of intervals.csv)"),
    ("tests", TESTS + "a,s,o,1.0,,,,,,x,1\r\n", 'line 2: tokens "x" is not an unsigned integer'),
    ("wordRatios", "", "line 1: empty file"),
    ("wordRatios", RATIOS + 's,"open,drawn,1,1.0,,,\r\n', "line 2: a quoted field is not closed"),
    ("wordRatios", RATIOS + 's,a"b,drawn,1,1.0,,,\r\n', "line 2: a quote inside an unquoted field"),
    ("wordRatios", RATIOS + 's,"a"b,drawn,1,1.0,,,\r\n', "line 2: expected a comma or a line end after a quoted field"),
    # lines count the line breaks inside quoted fields
    ("wordRatios", RATIOS + 's,"x\r\ny",drawn,1,1.0,,,\r\ns,b,drawn,1,1.0,,\r\n', "line 4: 7 fields where the header has 8"),
    ("wordRatios", RATIOS + "s,a,drawn,1.0,1.0,,,\r\n", 'line 2: count "1.0" is not an unsigned integer'),
    ("wordRatios", RATIOS + "s,a,drawn,,,,,\r\n", 'line 2: count "" is not an unsigned integer'),
    ("wordRatios", RATIOS + "s,a,drawn,2,Infinity,,,\r\n", 'line 2: mean "Infinity" is not a number'),
    ("wordRatios", RATIOS + "s,a,drawn,2,1.0,NaN,,\r\n", 'line 2: sd "NaN" is not a number'),
    ("wordRatios", RATIOS + "s,a,drawn,2,1.0,0.5, 1.0,\r\n", 'line 2: ci_low " 1.0" is not a number'),
    ("wordRatios", RATIOS + "s,a,random,2,1.0,,,\r\n", 'line 2: kind "random" is neither'),
    ("intervals", INTERVALS + "median,s,,,10,1.0,,,\r\n", 'line 2: unknown quantity "median"'),
    ("intervals", INTERVALS + "mean ratio,s,,,,1.0,,,\r\n", 'line 2: draws "" is not an unsigned integer'),
])
def test_malformed_tables_are_reported(op, text, error):
    (r,) = run([{"op": op, "input": text}])
    assert error in r["error"]

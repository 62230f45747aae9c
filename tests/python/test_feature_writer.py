"""The extension's feature-line writer against the Python writer it replaced, byte for byte."""
import json

import numpy as np
import pytest

from feature_lines import native_line, python_line
from orvelle.orvelle import _feature_line


def awkward_values(dtype):
    """Finite values of `dtype` over its whole range, and the cases rounding gets wrong."""
    rng = np.random.default_rng(5)
    info = np.finfo(dtype)
    bits = np.dtype(f"u{info.bits // 8}")
    raw = rng.integers(0, np.iinfo(bits).max, 6000, dtype=bits, endpoint=True).view(dtype)
    spread = (rng.standard_normal(6000) * 10.0 ** rng.integers(-12, 13, 6000)).astype(dtype)
    edges = np.array([0.0, -0.0, info.smallest_subnormal, -info.smallest_subnormal, info.smallest_normal,
                      info.max, -info.max, 9.99999999e5, 9.9999999e5, 0.099999999999, 9.99999995e-5,
                      0.125, 0.375, 2.5, 1e-5, 1e-4, 1e16, 123456789.0, 0.1, 1 / 3], dtype=dtype)
    values = np.concatenate([raw[np.isfinite(raw)], spread, edges])
    return values[: len(values) // 8 * 8].reshape(2, -1, 4)  # two layers, tokens of four units


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("digits", [1, 2, 6, 8, 9, 16, 17, "shortest"])
def test_numbers_match_python_formatting(dtype, digits):
    values = awkward_values(dtype)
    texts = ["t"] * values.shape[1]
    assert native_line(7, texts, [12, 0], values, digits) == python_line(7, texts, [12, 0], values, digits)


def test_tokens_are_escaped_as_json_dumps():
    texts = ['"', "\\", "a\\\"b", "\x00\x01\x1f\x7f", "\b\f\n\r\t", "é", "中文", "🙂", "\u2028\u2029", "", "##ing"]
    values = np.linspace(-1, 1, 2 * len(texts) * 3, dtype=np.float32).reshape(2, len(texts), 3)
    line = native_line(0, texts, [6, 5], values, 8)
    assert line == python_line(0, texts, [6, 5], values, 8)
    assert [f["token"] for f in json.loads(line)["features"]] == texts


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_value_without_json_spelling_is_refused(bad, dtype):
    values = np.zeros((3, 2, 4), dtype=dtype)
    values[1, 1, 3] = bad
    with pytest.raises(ValueError, match="^sentence 9: hidden state 4 holds a value that is not finite$"):
        native_line(9, ["a", "b"], [5, 4, 3], values, 8)


@pytest.mark.parametrize("change,error,message", [
    ({"dtype": "float16"}, ValueError, "dtype must be 'float32' or 'float64'"),
    ({"width": 5}, ValueError, "values hold 96 bytes; 3 layers of 2 tokens of 5 float32 values take 120"),
    ({"digits": 18}, ValueError, "digits must be 0"),
    ({"values": memoryview(b"")}, TypeError, "argument 'values'"),
    ({"tokens": "ab"}, TypeError, "argument 'tokens'"),
    ({"tokens": ["\ud800", "b"]}, UnicodeEncodeError, "surrogates"),
])
def test_bad_arguments_are_refused(change, error, message):
    args = {"line_index": 0, "tokens": ["a", "b"], "layers": [1, 2, 3],
            "values": np.zeros((3, 2, 4), np.float32).tobytes(), "dtype": "float32", "width": 4, "digits": 8}
    with pytest.raises(error, match=message):
        _feature_line(**{**args, **change})


def test_an_unaligned_bytearray_reads_the_same_values():
    values = np.arange(12, dtype=np.float64).reshape(1, 3, 4) / 7
    shifted = bytearray(b"x" + values.tobytes())
    del shifted[0]  # the data now starts one byte into the allocation
    assert _feature_line(0, ["a", "b", "c"], [1], shifted, "float64", 4, 8) == native_line(
        0, ["a", "b", "c"], [1], values, 8)

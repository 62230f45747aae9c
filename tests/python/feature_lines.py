"""The feature writer's two spellings of a line: the native one, and the Python one orvelle.extract
used before it, which the native one must match byte for byte (tests and benchmarks/)."""

import json

import numpy as np

from orvelle.extract import format_values
from orvelle.orvelle import _feature_line


def python_line(index, texts, layers, values, digits):
    """The line as orvelle.extract wrote it in Python: values[layer][token][unit] through
    float64 lists, each number by format_values, each token by json.dumps."""
    rows = values.astype(np.float64).tolist()
    features = []
    for t, text in enumerate(texts):
        records = ",".join('{"index":%d,"values":[%s]}' % (layer, format_values(rows[i][t], digits))
                           for i, layer in enumerate(layers))
        features.append('{"token":%s,"layers":[%s]}' % (json.dumps(text, ensure_ascii=False), records))
    return ('{"linex_index":%d,"features":[%s]}\n' % (index, ",".join(features))).encode()


def native_line(index, texts, layers, values, digits):
    code = 0 if digits == "shortest" else digits
    return _feature_line(index, texts, layers, values.tobytes(), str(values.dtype), values.shape[2], code)

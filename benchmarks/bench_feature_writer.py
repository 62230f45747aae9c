"""Feature-line writing: the extension's writer beside the Python formatting it replaced, on the
same rows, in one run.

Sentences of activation-like values (layers x tokens x units, a few outlier units), as
orvelle.extract hands them over. The Python writer is the former one: the rows to float64 lists,
f"{v:.8g}" per value, json.dumps per token, joins. The native one: tobytes() and _feature_line.
Both write each line to the null device, as the extraction writes it to its file, and must give
the same bytes. Prints lines/s, values/s (CPU time of this process, the least of the repeats) and
the ratio for each setting.

    python benchmarks/bench_feature_writer.py [--sentences 20] [--tokens 30] [--layers 4] [--width 768]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from feature_lines import native_line, python_line  # noqa: E402


def make_sentences(n, layers, tokens, width, dtype, seed=3):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        x = rng.standard_normal((layers, tokens, width)) * 0.5
        x[:, :, rng.choice(width, 3, replace=False)] *= 40.0
        out.append(x.astype(dtype))
    return out


def best_of(repeats, f):
    """Least CPU time of this process over the repeats: the machine may be shared."""
    best = float("inf")
    for _ in range(repeats):
        t = time.process_time()
        f()
        best = min(best, time.process_time() - t)
    return best


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sentences", type=int, default=20)
    p.add_argument("--tokens", type=int, default=30)
    p.add_argument("--layers", type=int, default=4)
    p.add_argument("--width", type=int, default=768)
    p.add_argument("--repeats", type=int, default=3)
    a = p.parse_args()
    texts = [f"tok{t}" for t in range(a.tokens)]
    layers = list(range(12, 12 - a.layers, -1))
    n_values = a.sentences * a.layers * a.tokens * a.width
    print(f"{a.sentences} sentences of {a.layers} layers x {a.tokens} tokens x {a.width} units "
          f"({n_values} values)")
    for dtype, digits in [(np.float32, 8), (np.float32, "shortest"), (np.float64, 8)]:
        sentences = make_sentences(a.sentences, a.layers, a.tokens, a.width, dtype)

        def write(line):
            with open(os.devnull, "wb") as f:
                for i, v in enumerate(sentences):
                    f.write(line(i, texts, layers, v, digits))

        for i, v in enumerate(sentences):
            assert native_line(i, texts, layers, v, digits) == python_line(i, texts, layers, v, digits)
        py = best_of(a.repeats, lambda: write(python_line))
        native = best_of(a.repeats, lambda: write(native_line))
        print(f"{np.dtype(dtype).name} digits={digits}: python {a.sentences / py:8.1f} lines/s "
              f"({n_values / py / 1e6:6.2f} M values/s)  native {a.sentences / native:8.1f} lines/s "
              f"({n_values / native / 1e6:6.2f} M values/s)  ratio {py / native:5.1f}x")


if __name__ == "__main__":
    main()

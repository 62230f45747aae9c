#!/usr/bin/env python3
"""Writes a realistic token-feature file (JSON lines) for the reader's benchmark.

Each line is one sentence of 8 to 40 tokens; each token carries its activation
vectors at several layers, 768 values each by default, written with 6 to 8
significant digits as an extraction script using json.dumps would write them
(", " separators, non-ASCII token texts as \\u escapes). Token texts are word
pieces with the markers of the common tokenizers: "##" continuations,
"\u0120" word starts, "\u2581" word starts.

    python3 benchmarks/gen_features.py benchmarks/data/features_1g.jsonl --size-mb 1000

The output depends only on the arguments (fixed seed by default).
"""
import argparse
import json
import pathlib
import subprocess
import sys

import numpy as np

WORDS = (
    "the of and to in is was for that with as on by it from at his an were are which this be "
    "or has had not first one their its new after who they have her she two been other when "
    "there all during into school time may years more most only over city some world would "
    "where later up such used many can state about national out known university united then "
    "made team american century between season three series both film game before under well "
    "general year people government group music through album while part however since north "
    "embedding activation representation transformer attention layer token sentence language"
).split()


def vocabulary(rng):
    """Word pieces as three tokenizer families write them."""
    vocab = []
    for w in WORDS:
        vocab.append(w)
        vocab.append("\u0120" + w)          # byte-level BPE word start
        vocab.append("\u2581" + w)          # sentencepiece word start
        if len(w) > 4:
            cut = int(rng.integers(2, len(w) - 1))
            vocab.append(w[:cut])
            vocab.append("##" + w[cut:])    # wordpiece continuation
    vocab += [".", ",", "\u0120(", ")", "\u0120\"", "[CLS]", "[SEP]", "<s>", "</s>"]
    return vocab


def number_pool(rng, size):
    """Formatted activation values: mostly small, some outliers, 6-8 digits."""
    x = rng.standard_normal(size) * 0.6
    outliers = rng.random(size) < 0.01
    x[outliers] *= 40.0
    tiny = rng.random(size) < 0.02
    x[tiny] *= 1e-4
    digits = rng.integers(6, 9, size)
    return [json.dumps(float(f"{v:.{p}g}")) for v, p in zip(x.tolist(), digits.tolist())]


def cached(name: str, size_mb: float) -> pathlib.Path:
    """benchmarks/data/NAME, written by this script at SIZE_MB unless it is there already."""
    data = pathlib.Path(__file__).resolve().parent / "data"
    data.mkdir(parents=True, exist_ok=True)
    path = data / name
    if not path.exists():
        subprocess.run([sys.executable, __file__, str(path), "--size-mb", str(size_mb)], check=True)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--size-mb", type=float, default=100.0, help="stop after this many MB (10^6 bytes)")
    ap.add_argument("--width", type=int, default=768, help="values per layer record")
    ap.add_argument("--layers", default="0,4,8,12", help="layer indexes of every token")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    rng = np.random.default_rng(args.seed)
    vocab = vocabulary(rng)
    pool = number_pool(rng, 1 << 20)
    layers = [int(v) for v in args.layers.split(",")]
    limit = int(args.size_mb * 1e6)

    written = 0
    line_index = 0
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        while written < limit:
            features = []
            for tok in rng.integers(0, len(vocab), int(rng.integers(8, 41))).tolist():
                records = []
                for layer in layers:
                    picks = rng.integers(0, len(pool), args.width).tolist()
                    values = ", ".join([pool[i] for i in picks])
                    records.append('{"index": %d, "values": [%s]}' % (layer, values))
                features.append('{"token": %s, "layers": [%s]}' % (json.dumps(vocab[tok]), ", ".join(records)))
            line = '{"linex_index": %d, "features": [%s]}\n' % (line_index, ", ".join(features))
            out.write(line)
            written += len(line.encode("utf-8"))
            line_index += 1
    print(f"{args.output}: {line_index} lines, {written / 1e6:.1f} MB", file=sys.stderr)


if __name__ == "__main__":
    main()

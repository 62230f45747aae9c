#!/usr/bin/env python3
"""Validity on real language: does the he - she difference measured for an occupation follow the
share of women in it?

Reads a feature file of occupation sentences (default: the bundled example, 920 sentences of our
own, 46 occupations, all-mpnet-base-v2's last layer, whole words) and the share of women of each
occupation (examples/occupations.tsv: U.S. Bureau of Labor Statistics, Current Population Survey
2015, table 11; the file says more). For several draws per line (ratios), it runs measure() with
10 draws, seed groups he,him and she,her, the seed words, sentence markers and punctuation kept out
of the draw, and prints, against the share of women: Pearson's r and Spearman's rho of the mean
difference over the draws; and, among the occupations with at least 80 % women (men), how many
have a difference clearly on the she side (he side): the central 95 % of draws excludes zero and
every draw agrees on its sign; and how many clearly on the other side. Beside it, a plain cosine baseline on the raw vectors: the occupation's mean vector's
cosine with the mean he/him vector minus that with the mean she/her vector.

    python benchmarks/bench_validity.py [--features examples/features.jsonl.zst] [--ratios 0.8,2,4,6,8,-1]

A negative r is the expected direction: the more women in an occupation, the closer it sits to
she,her than to he,him.
"""
from __future__ import annotations

import argparse
import csv
import io
import json
import pathlib
import subprocess
import sys
import time
import warnings

import numpy as np

import orvelle

ROOT = pathlib.Path(__file__).resolve().parents[1]
GROUPS = [["he", "him"], ["she", "her"]]
EXCLUDE = ["<s>", "</s>", ".", ",", "he", "him", "she", "her"]
DOMINATED = 80  # percent of one sex that makes an occupation clearly dominated


def shares(path: pathlib.Path) -> dict[str, float]:
    with open(path, encoding="utf-8") as f:
        rows = csv.DictReader((line for line in f if not line.startswith("#")), delimiter="\t")
        return {r["occupation"]: float(r["bls_pct_female"]) for r in rows}


def text_of(path: pathlib.Path) -> io.TextIOBase:
    """The feature file's text, through the zstd or gzip command when it is compressed."""
    with open(path, "rb") as f:
        head = f.read(4)
    tool = "zstd" if head == b"\x28\xb5\x2f\xfd" else "gzip" if head[:2] == b"\x1f\x8b" else None
    if tool is None:
        return open(path, encoding="utf-8")
    data = subprocess.run([tool, "-dc", str(path)], check=True, stdout=subprocess.PIPE).stdout
    return io.StringIO(data.decode("utf-8"))


def cosine_baseline(path: pathlib.Path, words: list[str]) -> np.ndarray:
    """cos(mean vector of w, mean of he,him) - cos(mean vector of w, mean of she,her), per word."""
    wanted = set(words) | {w for g in GROUPS for w in g}
    sums: dict[str, np.ndarray] = {}
    counts: dict[str, int] = {}
    for line in text_of(path):
        for f in json.loads(line)["features"]:
            if f["token"] in wanted:
                for layer in f["layers"]:
                    v = np.asarray(layer["values"])
                    sums[f["token"]] = sums.get(f["token"], 0) + v
                    counts[f["token"]] = counts.get(f["token"], 0) + 1

    def centre(ws):
        return sum(sums[w] for w in ws) / sum(counts[w] for w in ws)

    def cos(a, b):
        return float(a @ b / np.linalg.norm(a) / np.linalg.norm(b))

    he, she = centre(GROUPS[0]), centre(GROUPS[1])
    return np.array([cos(centre([w]), he) - cos(centre([w]), she) for w in words])


def spearman(x: np.ndarray, y: np.ndarray) -> float:
    rank = lambda v: np.argsort(np.argsort(v))  # noqa: E731
    return float(np.corrcoef(rank(x), rank(y))[0, 1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--features", default=str(ROOT / "examples" / "features.jsonl.zst"))
    ap.add_argument("--occupations", default=str(ROOT / "examples" / "occupations.tsv"))
    ap.add_argument("--ratios", default="0.8,2,4,6,8,-1", help="random_token_num values; 'default' for "
                    "measure()'s own draw")
    ap.add_argument("--draws", type=int, default=10)
    a = ap.parse_args()
    path = pathlib.Path(a.features)
    share = shares(pathlib.Path(a.occupations))
    words = list(share)
    y = np.array([share[w] for w in words])

    t0 = time.perf_counter()
    base = cosine_baseline(path, words)
    print(f"{path.name}: {len(words)} occupations; cosine baseline on the raw vectors: r = "
          f"{np.corrcoef(base, y)[0, 1]:+.3f}, rho = {spearman(base, y):+.3f}\n")
    print(f"ratio     tokens  per comp.      r    rho  women >= {DOMINATED}%: she / he   men >= {DOMINATED}%: he / she")
    for text in a.ratios.split(","):
        ratio = None if text == "default" else float(text)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            m = orvelle.measure(str(path), GROUPS, words, a.draws, random_token_num=ratio, exclude_words=EXCLUDE)
        diffs = {t.word: t for t in m.target_differences()}
        x = np.array([diffs[w].mean for w in words])
        # Clearly one sign: the central 95 % of draws excludes zero and every draw agrees.
        sign = {w: 0 if not ((diffs[w].lo > 0 or diffs[w].hi < 0) and diffs[w].sign_agreement == 1.0)
                else int(np.sign(diffs[w].mean)) for w in words}
        women = [w for w in words if share[w] >= DOMINATED]
        men = [w for w in words if share[w] <= 100 - DOMINATED]
        tokens = m.draws[0].random_space.tokens
        print(f"{text:8s} {tokens:7d} {tokens / 512:9.1f} {np.corrcoef(x, y)[0, 1]:+.3f} {spearman(x, y):+.3f}"
              f"  {sum(1 for w in women if sign[w] < 0):2d} / {sum(1 for w in women if sign[w] > 0):2d} of "
              f"{len(women)}     {sum(1 for w in men if sign[w] > 0):2d} / {sum(1 for w in men if sign[w] < 0):2d} "
              f"of {len(men)}")
    print(f"\n{time.perf_counter() - t0:.0f} s; every token drawn (-1) leaves only the draws' order to vary")
    return 0


if __name__ == "__main__":
    sys.exit(main())

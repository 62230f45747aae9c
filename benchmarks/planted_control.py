#!/usr/bin/env python3
"""Positive control: a planted association must come out of the bias ratios.

Writes a feature file with gen_planted.py (targets loaded on the direction that
separates "he,him" from "she,her" with known strengths), runs the analysis for
draws seed .. seed+draws-1 and compares, per draw, each target's ratio in the
"he" space minus its ratio in the "she" space with the planted strength.
Passes when every draw has Spearman >= 0.9 and every target has the planted sign.
With orvelle.measure a target's ratio is its mean over all its occurrences;
without it (older builds) it is the ratio of the word's last drawn occurrence,
read from calculator_summary.txt (NaN when the draw missed the word; --ratio -1
draws every token, but then every draw holds the same tokens in another order).

    python benchmarks/planted_control.py [--lines 1500] [--layers 11,12] [--ratio 0.8] [--draws 10]

exits 0 on a pass.
"""
from __future__ import annotations

import argparse
import os
import re
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orvelle  # noqa: E402
from gen_planted import SEEDS_A, SEEDS_B, TARGETS, generate  # noqa: E402

GROUPS = [list(SEEDS_A), list(SEEDS_B)]
SPACES = ["Space of " + g[0] for g in GROUPS]
# Summary keys are double-quoted with backslash escapes; values are bare floats.
TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|([{}])|([^\s{}:,"]+)')
ESCAPE = re.compile(r'\\(?:u\{([0-9a-fA-F]+)\}|(.))', re.S)
PLAIN = {"n": "\n", "t": "\t", "r": "\r", "0": "\0"}


def unescape(text: str) -> str:
    return ESCAPE.sub(lambda m: chr(int(m[1], 16)) if m[1] else PLAIN.get(m[2], m[2]), text)


def parse_summary(path: str) -> dict[str, dict[str, float]]:
    """The `ideal_similarity: {space: {word: ratio}}` line of calculator_summary.txt."""
    with open(path, encoding="utf-8") as f:
        body = f.read().partition("ideal_similarity: ")[2]
    stack: list[dict] = []
    root: dict = {}
    key = None
    for text, brace, number in TOKEN.findall(body):
        if brace == "{":
            inner: dict = {}
            if stack:
                stack[-1][key] = inner
            else:
                root = inner
            stack.append(inner)
        elif brace == "}":
            stack.pop()
        elif number:
            stack[-1][key] = float(number)  # float() reads NaN, inf, -0.0, 1e-5
        else:
            key = unescape(text)
    return root


def by_calculator(path: str, ratio: float, seeds: list[int], folder: str) -> list[dict[str, float]]:
    """Per draw: last drawn occurrence's ratio difference per target (NaN when not drawn)."""
    diffs = []
    for seed in seeds:
        orvelle.calculator(path, GROUPS, random_token_num=ratio, random_token_seed=seed,
                           subspace_folder_path=folder).save_summary(folder)
        table = parse_summary(folder + "/calculator_summary.txt")
        diffs.append({w: table[SPACES[0]].get(w, np.nan) - table[SPACES[1]].get(w, np.nan)
                      for w in TARGETS})
    return diffs


def by_measure(path: str, ratio: float, seeds: list[int]):
    """Per draw: ratio difference per target over all of its occurrences; and the target tests."""
    m = orvelle.measure(path, GROUPS, TARGETS, len(seeds), random_token_num=ratio,
                        random_token_seed=seeds[0])
    a, b = m.spaces
    tests = m.target_tests() if hasattr(m, "target_tests") else []
    return [{w: d.targets[a][w] - d.targets[b][w] for w in TARGETS} for d in m.draws], tests


def report_tests(tests, strengths: dict[str, float]) -> None:
    """The target tests by planted strength: estimate, 95 % interval, p and q."""
    print("\ntarget tests (over the draws and a bootstrap of the lines), by planted strength")
    print(f"  {'target':<10} {'strength':>8} {'estimate':>10} {'95 % interval':>24} {'p':>9} {'q':>9}")
    for t in sorted(tests, key=lambda t: strengths[t.word]):
        print(f"  {t.word:<10} {strengths[t.word]:+8.2f} {t.estimate:10.5f} "
              f"[{t.ci_low:10.5f}, {t.ci_high:10.5f}] {t.p:9.2g} {t.q:9.2g}")


def spearman(x: np.ndarray, y: np.ndarray) -> float:
    if not np.isfinite(y).all():
        return float("nan")
    rank = lambda v: np.argsort(np.argsort(v))  # noqa: E731 (distinct values: no ties)
    return float(np.corrcoef(rank(x), rank(y))[0, 1])


def report(label: str, diffs: list[dict[str, float]], seeds: list[int], planted: np.ndarray) -> bool:
    """Prints one line per draw; True when every draw meets both criteria."""
    print(f"\n{label}\n  seed  spearman  signs   min |diff|")
    passed = True
    for seed, d in zip(seeds, diffs):
        y = np.array([d[w] for w in TARGETS])
        rho = spearman(planted, y)
        same = int((np.sign(y) == np.sign(planted)).sum())
        ok = rho >= 0.9 and same == len(TARGETS)
        passed &= ok
        print(f"  {seed:4d}  {rho:8.3f}  {same:2d}/{len(TARGETS)}  {np.nanmin(np.abs(y)):10.5f}"
              f"  {'ok' if ok else 'FAIL'}")
    return passed


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lines", type=int, default=1500)
    ap.add_argument("--tokens", type=int, default=10, help="tokens per line")
    ap.add_argument("--layers", default="11,12", help="layer indexes of every token (default: 11,12)")
    ap.add_argument("--ratio", type=float, default=0.8,
                    help="random_token_num (default: 0.8); -1 draws every token")
    ap.add_argument("--draws", type=int, default=10)
    ap.add_argument("--seed", type=int, default=1, help="seed of the first draw")
    a = ap.parse_args()
    seeds = list(range(a.seed, a.seed + a.draws))
    layers = tuple(int(v) for v in a.layers.split(","))

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "planted.jsonl")
        t0 = time.perf_counter()
        strengths = generate(path, a.lines, a.tokens, layers=layers)
        t_gen = time.perf_counter() - t0
        planted = np.array([strengths[w] for w in TARGETS])
        has_measure = hasattr(orvelle, "measure")
        print(f"orvelle from {os.path.dirname(orvelle.__file__)}; measure: {'yes' if has_measure else 'no'}")
        print(f"file: {a.lines} lines x {a.tokens} tokens x {len(layers)} layer(s), width 512, "
              f"{os.path.getsize(path) / 1e6:.0f} MB, written in {t_gen:.1f} s")
        print(f"ratio {a.ratio:g}" + (" (every token drawn)" if a.ratio < 0 else "")
              + f"; planted: {', '.join(f'{w} {s:+.2f}' for w, s in strengths.items())}")

        t0 = time.perf_counter()
        if has_measure:
            diffs, tests = by_measure(path, a.ratio, seeds)
            passed = report("targets over all occurrences (orvelle.measure)", diffs, seeds, planted)
            if tests:
                report_tests(tests, strengths)
        t_main = time.perf_counter() - t0
        t0 = time.perf_counter()
        last = report("last drawn occurrence (calculator summary)"
                      + ("; for comparison, not judged" if has_measure else ""),
                      by_calculator(path, a.ratio, seeds, tmp), seeds, planted)
        t_calc = time.perf_counter() - t0
    if not has_measure:
        passed = last
    print(f"\ntimes: generate {t_gen:.1f} s"
          + (f", measure {t_main:.1f} s" if has_measure else "")
          + f", {a.draws} calculator runs {t_calc:.1f} s")
    print(f"verdict: {'PASS' if passed else 'FAIL'} (Spearman >= 0.9 and every planted sign, in every draw)")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Calibration of the target tests (Measurement.target_tests): do the 95 % intervals hold their
error rates, and how much power do they have?

Null control: files from gen_calibration.py whose targets carry no association (their true
difference is exactly zero by the generator's symmetry), once with the seed groups moderately apart
(gamma 1.5) and once far apart (gamma 4: the groups differ strongly, the targets are unrelated to
that difference). Over every target of every file: the share of 95 % intervals that cover zero
(should be 93-97 %) and of p < 0.05 (3-7 %), overall and by the number of lines holding the target.

Positive control: files whose targets are loaded on the seed direction with planted strengths;
the share of p < 0.05 and of q < 0.05 per strength.

    python benchmarks/calibration.py [--files 40] [--power-files 10] [--draws 10] [--resamples 1000]

Each file takes 10 to 20 s on 2 shared cores; the defaults run for 20 to 40 minutes.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orvelle  # noqa: E402
from gen_calibration import SEEDS_A, SEEDS_B, generate, target_names  # noqa: E402

GROUPS = [list(SEEDS_A), list(SEEDS_B)]
BANDS = [(2, 20), (20, 50), (50, 150), (150, 10**9)]
# Planted strengths of the power table: each file gives every level to targets of every frequency.
LEVELS = (0.0, 0.25, 0.5, 1.0, 2.0)


def wilson(k: int, n: int) -> str:
    """k/n as a percentage with its 95 % Wilson interval."""
    if n == 0:
        return "-"
    z, p = 1.959964, k / n
    mid = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return f"{100 * p:5.1f} % [{100 * (mid - half):4.1f}, {100 * (mid + half):4.1f}]"


def run_file(path: str, targets: list[str], draws: int, resamples: int, seed: int):
    m = orvelle.measure(path, GROUPS, targets, draws, random_token_seed=seed, resamples=resamples)
    return m.target_tests()


def null_control(label: str, gamma: float, a, tmp: str) -> None:
    names = target_names(a.targets)
    rows = []
    t0 = time.perf_counter()
    for f in range(a.files):
        path = os.path.join(tmp, "null.jsonl")
        generate(path, a.lines, targets=a.targets, gamma=gamma, seed=1000 + f)
        rows += [t for t in run_file(path, names, a.draws, a.resamples, 1 + 97 * f) if not math.isnan(t.p)]
    took = time.perf_counter() - t0
    print(f"\n{label}: {a.files} files of {a.lines} lines, {len(rows)} target tests, {took:.0f} s")
    print(f"  {'lines holding the target':<26} {'tests':>6}  {'interval covers 0':<26} {'p < 0.05':<26}")
    for lo, hi in [(2, 10**9), *BANDS]:
        band = [t for t in rows if lo <= t.lines < hi]
        name = "all" if hi == 10**9 and lo == 2 else (f"{lo} or more" if hi == 10**9 else f"{lo} to {hi - 1}")
        cover = sum(t.ci_low <= 0 <= t.ci_high for t in band)
        reject = sum(t.p < 0.05 for t in band)
        print(f"  {name:<26} {len(band):>6}  {wilson(cover, len(band)):<26} {wilson(reject, len(band)):<26}")
    below_q = sum(t.q < 0.05 for t in rows)
    print(f"  q < 0.05 in {below_q} of {len(rows)} tests (every one a false discovery)")


def power_control(a, tmp: str) -> None:
    names = target_names(a.targets)
    strengths = np.array([LEVELS[k % len(LEVELS)] * (1 if (k // len(LEVELS)) % 2 == 0 else -1)
                          for k in range(a.targets)])
    hits: dict[float, list] = {s: [] for s in LEVELS}
    t0 = time.perf_counter()
    for f in range(a.power_files):
        path = os.path.join(tmp, "planted.jsonl")
        # Rotate the levels over the targets so each level meets every frequency.
        shifted = np.roll(strengths, f)
        planted = generate(path, a.lines, targets=a.targets, strengths=shifted, seed=5000 + f)
        for t in run_file(path, names, a.draws, a.resamples, 1 + 97 * f):
            if math.isnan(t.p):
                continue
            s = planted[t.word]
            right_sign = s == 0 or (t.estimate > 0) == (s > 0)
            hits[abs(s)].append((t.p < 0.05 and right_sign, t.q < 0.05 and right_sign, t.lines))
    took = time.perf_counter() - t0
    print(f"\npositive control: {a.power_files} files of {a.lines} lines, targets loaded on the seed direction "
          f"with strength s (gamma 1.5), {took:.0f} s")
    print("  share of tests with p < 0.05 (q < 0.05) and the planted sign; by lines holding the target")
    header = "".join(f"{f'{lo}-{hi - 1}' if hi < 10**9 else f'{lo}+':>16}" for lo, hi in BANDS)
    print(f"  {'|s|':>5} {'tests':>6} {'p < 0.05':>10} {'q < 0.05':>10}  {header}")
    for s in LEVELS:
        rows = hits[s]
        n = len(rows)
        by_band = ""
        for lo, hi in BANDS:
            band = [r for r in rows if lo <= r[2] < hi]
            cell = f"{100 * sum(r[0] for r in band) / len(band):.0f} % ({len(band)})" if band else "-"
            by_band += f"{cell:>16}"
        print(f"  {s:5.2f} {n:>6} {100 * sum(r[0] for r in rows) / max(n, 1):9.1f}% "
              f"{100 * sum(r[1] for r in rows) / max(n, 1):9.1f}%  {by_band}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=40, help="files per null condition")
    ap.add_argument("--power-files", type=int, default=20)
    ap.add_argument("--lines", type=int, default=1500)
    ap.add_argument("--targets", type=int, default=24)
    ap.add_argument("--draws", type=int, default=10)
    ap.add_argument("--resamples", type=int, default=1000)
    ap.add_argument("--only", choices=["null", "strong", "power"], action="append",
                    help="run only these parts (repeatable)")
    a = ap.parse_args()
    parts = a.only or ["null", "strong", "power"]
    print(f"orvelle from {os.path.dirname(orvelle.__file__)}; {a.draws} draws, {a.resamples} resamples per file")
    with tempfile.TemporaryDirectory() as tmp:
        if "null" in parts:
            null_control("null control, no association (gamma 1.5)", 1.5, a, tmp)
        if "strong" in parts:
            null_control("null control, seed groups far apart (gamma 4), targets unrelated", 4.0, a, tmp)
        if "power" in parts:
            power_control(a, tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""What the target tests cost: measure() with 100 target words and 1 000 bootstrap resamples,
against the same call with no resamples (the tests' estimates only) in the same run.

On the bundled example (40 lines, 3 layers; its 100 commonest words other than the seeds as
targets) and on a generated file of 1 500 lines (gen_calibration.py, 100 targets), each with the
default 10 draws; the least of --repeat runs.

    python benchmarks/bench_target_tests.py [--repeat 3]
"""
from __future__ import annotations

import argparse
import collections
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orvelle  # noqa: E402
from gen_calibration import SEEDS_A, SEEDS_B, generate, target_names  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GROUPS = [list(SEEDS_A), list(SEEDS_B)]


def best(repeat: int, call) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return min(times)


def compare(label: str, path: str, targets: list[str], repeat: int, **kwargs) -> None:
    run = lambda r: orvelle.measure(path, GROUPS, targets, 10, resamples=r, **kwargs)  # noqa: E731
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tests = run(1000).target_tests()
        without = best(repeat, lambda: run(0))
        full = best(repeat, lambda: run(1000))
    tested = sum(t.p == t.p for t in tests)
    print(f"{label}: {len(targets)} targets ({tested} in two lines or more), 10 draws")
    print(f"  measure, resamples=0     {without:7.2f} s")
    print(f"  measure, resamples=1000  {full:7.2f} s   (+{full - without:.2f} s, {full / without:.2f}x)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    example = os.path.join(ROOT, "examples", "features.jsonl.zst")
    counts: collections.Counter = collections.Counter()
    text = subprocess.run(["zstd", "-dc", example], check=True, capture_output=True, text=True).stdout
    for line in text.splitlines():
        counts.update(feat["token"] for feat in json.loads(line)["features"])
    seeds = {w for g in GROUPS for w in g}
    words = [w for w, _ in counts.most_common() if w not in seeds][:100]
    print(f"orvelle from {os.path.dirname(orvelle.__file__)}; {os.cpu_count()} CPUs")
    compare("bundled example", example, words, a.repeat, random_token_num=16,
            exclude_words=["<s>", "</s>", "."])
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "generated.jsonl")
        generate(path, 1500, targets=100, seed=7)
        compare("generated, 1500 lines x 12 tokens", path, target_names(100), a.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())

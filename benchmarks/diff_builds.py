#!/usr/bin/env python3
"""Differential check of two builds over many small, odd feature files.

Generates files of 512 to 600 wide vectors and 1 to 40 lines (repeated vectors,
identical vectors, constant and zero columns, seed words absent or excluded,
ratios from 0.1 to 16, 0 and -1), runs calculator() on each in this Python and
in the baseline's, and compares the outcomes and the listings byte for byte.
Every case that completed in the baseline must complete here with the same
listing; measure() with one draw must end as calculator() does here, with the
same listing. Prints the counts and exits non-zero on any regression.

    python benchmarks/diff_builds.py --baseline /path/to/old/venv/bin/python [--cases 1000] [--seed 7]

The baseline is any interpreter with an orvelle installed, for example a build
of an earlier commit into a venv of its own.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
from collections import Counter

import numpy as np

VOCAB = ["he", "him", "she", "her", "the", "a", "nurse", "doctor", "of", "x"]
GROUPS = ([["he", "him"], ["she", "her"]], [["he"], ["she"]], [["zz"], ["she"]], [["a"], ["the"]])
EXCLUDES = (None, [], ["he", "him", "she", "her"], VOCAB, ["the", "a", "of"])
RATIOS = (0.1, 0.5, 0.7, 0.8, 1.0, 1.5, 2.0, 4.0, 16.0, 0.0, -1.0)


def vectors(rng: np.random.Generator, n: int, width: int) -> np.ndarray:
    """n vectors in one of the odd shapes a small file can take."""
    kind = rng.integers(7)
    if kind == 0:  # plain Gaussian
        v = rng.standard_normal((n, width))
    elif kind == 1:  # a few vectors, repeated
        pool = rng.standard_normal((int(rng.integers(1, 4)), width))
        v = pool[rng.integers(len(pool), size=n)]
    elif kind == 2:  # all identical
        v = np.repeat(rng.standard_normal((1, width)), n, axis=0)
    elif kind == 3:  # constant and zero columns
        v = rng.standard_normal((n, width))
        v[:, rng.integers(width, size=width // 3)] = 0.0
        v[:, : width // 4] = 1.5
    elif kind == 4:  # small integers: many exact ties
        v = rng.integers(-1, 2, size=(n, width)).astype(float)
    elif kind == 5:  # huge and tiny magnitudes
        v = rng.standard_normal((n, width)) * 10.0 ** rng.integers(-150, 150, size=(1, width))
    else:  # rank one
        v = np.outer(rng.standard_normal(n), rng.standard_normal(width))
    return v.round(6) if kind != 5 else v


def generate(rng: np.random.Generator, folder: str, i: int) -> dict:
    width = int(rng.integers(512, 601))
    lines = int(rng.integers(1, 41))
    per_line = rng.integers(1, 6, size=lines)
    v = vectors(rng, int(per_line.sum()), width)
    path = os.path.join(folder, f"case{i}.jsonl")
    k = 0
    with open(path, "w", encoding="utf-8") as f:
        for li, count in enumerate(per_line):
            feats = []
            for _ in range(count):
                feats.append({"token": VOCAB[rng.integers(len(VOCAB))],
                              "layers": [{"index": 0, "values": v[k].tolist()}]})
                k += 1
            f.write(json.dumps({"linex_index": li, "features": feats}) + "\n")
    return {"path": path, "groups": GROUPS[rng.integers(len(GROUPS))],
            "exclude": EXCLUDES[rng.integers(len(EXCLUDES))],
            "ratio": float(RATIOS[rng.integers(len(RATIOS))]), "seed": int(rng.integers(1, 6))}


def outcome(call) -> str:
    try:
        call()
        return "ok"
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return f"{type(e).__name__}: {e}"


def listing(folder: str) -> str:
    path = os.path.join(folder, "random_subspace.txt")
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    os.remove(path)
    return digest


def worker(cases_path: str, out_path: str) -> None:
    """Runs every case in this interpreter's orvelle; writes outcomes and listing digests."""
    import warnings

    import orvelle
    warnings.simplefilter("ignore")
    with open(cases_path) as f:
        cases = json.load(f)
    results = []
    with tempfile.TemporaryDirectory() as folder:
        for c in cases:
            kw = dict(random_token_num=c["ratio"], random_token_seed=c["seed"], exclude_words=c["exclude"])
            r = {"calculator": outcome(lambda: orvelle.calculator(c["path"], c["groups"], subspace_folder_path=folder,
                                                                  **kw))}
            r["listing"] = listing(folder)
            if hasattr(orvelle, "measure"):
                r["measure"] = outcome(lambda: orvelle.measure(c["path"], c["groups"], draws=1, out=folder, **kw))
                r["measure_listing"] = listing(folder)
            results.append(r)
    with open(out_path, "w") as f:
        json.dump(results, f)


def run(python: str, cases_path: str, folder: str, name: str) -> list[dict]:
    out = os.path.join(folder, name + ".json")
    subprocess.run([python, os.path.abspath(__file__), "--worker", cases_path, out], check=True,
                   stderr=subprocess.DEVNULL, cwd=folder)
    with open(out) as f:
        return json.load(f)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--baseline", help="Python interpreter with the earlier build")
    p.add_argument("--cases", type=int, default=1000)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        worker(*args.worker)
        return 0
    if not args.baseline:
        p.error("--baseline is required")
    rng = np.random.default_rng(args.seed)
    with tempfile.TemporaryDirectory() as folder:
        cases = [generate(rng, folder, i) for i in range(args.cases)]
        cases_path = os.path.join(folder, "cases.json")
        with open(cases_path, "w") as f:
            json.dump(cases, f)
        old = run(args.baseline, cases_path, folder, "baseline")
        new = run(sys.executable, cases_path, folder, "current")

    tally: Counter[str] = Counter()
    problems = []
    for i, (c, o, n) in enumerate(zip(cases, old, new)):
        done_before, done_now = o["calculator"] == "ok", n["calculator"] == "ok"
        tally["completed in the baseline" if done_before else "failed in the baseline"] += 1
        tally["completed here" if done_now else "failed here"] += 1
        if done_before and not done_now:
            problems.append(f"case {i}: completed in the baseline, here {n['calculator']}")
        if o["listing"] != n["listing"]:
            problems.append(f"case {i}: listings differ")
        if not done_before and done_now:
            tally["failed in the baseline, completed here"] += 1
        if not done_before and not done_now and o["calculator"] != n["calculator"]:
            tally["failed in both, other message"] += 1
        if "measure" in n and (n["measure"] != n["calculator"] or n["measure_listing"] != n["listing"]):
            problems.append(f"case {i}: measure() {n['measure']} against calculator() {n['calculator']}")
        if problems and problems[-1].startswith(f"case {i}:"):
            problems[-1] += f" ({json.dumps({k: c[k] for k in ('groups', 'exclude', 'ratio', 'seed')})})"
    for key in sorted(tally):
        print(f"{tally[key]:6d}  {key}")
    for message, count in Counter(n["calculator"][:60] for n in new if n["calculator"] != "ok").most_common():
        print(f"{count:6d}  failed here with {message}...")
    for line in problems:
        print(line)
    print(f"{len(cases)} cases, {len(problems)} regressions")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Reading a compressed feature file against the same text uncompressed.

Writes a generated feature file (gen_features.py) into benchmarks/data, compresses it with the
zstd and gzip command-line tools at their default levels, then runs the reader's benchmark
(build/tests/bench_reader, from `make cpp-tests`) on the plain, zstd and gzip files in alternating
rounds and prints each round's read time and the median ratio of the plain file's time to each
compressed file's (1.0: as fast; the goal for zstd is 0.8 or more). The reader decodes on one
thread per usable core.

    python benchmarks/bench_compressed.py [--size-mb 300] [--rounds 3] [--threads N]
"""
from __future__ import annotations

import argparse
import pathlib
import re
import shutil
import statistics
import subprocess
import sys

import gen_features  # noqa: E402 - beside this script

ROOT = pathlib.Path(__file__).resolve().parents[1]


def read_seconds(exe: pathlib.Path, path: pathlib.Path, threads: str) -> float:
    out = subprocess.run([str(exe), str(path), *([threads] if threads else [])], check=True,
                         capture_output=True, text=True).stdout
    return float(re.search(r"^read\s+([0-9.]+) s", out, re.M).group(1))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mb", type=float, default=300.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--threads", default="", help="decoding threads (default: one per usable core)")
    ap.add_argument("--build", default=str(ROOT / "build" / "tests"))
    a = ap.parse_args()
    exe = pathlib.Path(a.build) / "bench_reader"
    if not exe.exists():
        sys.exit(f"{exe} is missing: run make cpp-tests first")
    for tool in ("zstd", "gzip"):
        if not shutil.which(tool):
            sys.exit(f"the {tool} command is missing: apt-get install {tool}")

    plain = gen_features.cached(f"compressed_{int(a.size_mb)}mb.jsonl", a.size_mb)
    files = {"plain": plain, "zstd": plain.with_name(plain.name + ".zst"), "gzip": plain.with_name(plain.name + ".gz")}
    if not files["zstd"].exists():
        subprocess.run(["zstd", "-q", "-T0", str(plain), "-o", str(files["zstd"])], check=True)
    if not files["gzip"].exists():
        with open(files["gzip"], "wb") as f:
            subprocess.run(["gzip", "-c", str(plain)], stdout=f, check=True)
    for name, path in files.items():
        print(f"{name:6s} {path.stat().st_size / 1e6:8.1f} MB  {path.name}")

    times: dict[str, list[float]] = {name: [] for name in files}
    for r in range(a.rounds):
        for name, path in files.items():
            times[name].append(read_seconds(exe, path, a.threads))
        print(f"round {r + 1}: " + ", ".join(f"{n} {t[-1]:.2f} s" for n, t in times.items()))
    text_mb = plain.stat().st_size / 1e6
    for name in ("zstd", "gzip"):
        ratios = [p / c for p, c in zip(times["plain"], times[name])]
        print(f"{name}: {text_mb / statistics.median(times[name]):.0f} MB of text per second; median speed "
              f"ratio to plain {statistics.median(ratios):.2f} ({', '.join(f'{x:.2f}' for x in ratios)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

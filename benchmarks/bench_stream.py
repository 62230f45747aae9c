"""The bounded-memory path against the in-memory one on one generated file, in one run.

Generates a feature file of --size-mb (768 wide, gen_features.py), runs calculator() on it in a
fresh process with ORVELLE_STREAM=0 and with ORVELLE_STREAM=1, and prints each run's wall time and
peak RSS, the ratio of the times, and whether the listings and summaries are byte for byte the
same; then the streamed run once more under a hard address-space cap (prlimit --as) far below the
file's vector bytes.

    python benchmarks/bench_stream.py [--size-mb 2000] [--cap-mb 1500] [--keep]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import gen_features  # noqa: E402 - beside this script

ROOT = pathlib.Path(__file__).resolve().parents[1]
CHILD = """
import resource, sys, warnings, orvelle
warnings.simplefilter("ignore")
c = orvelle.calculator(sys.argv[1], [["his", "they"], ["she", "her"]], subspace_folder_path=sys.argv[2])
c.save_summary(sys.argv[2])
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def run(path, out, stream, cap=None):
    out.mkdir()
    cmd = [sys.executable, "-c", CHILD, str(path), str(out)]
    if cap:
        cmd = ["prlimit", f"--as={cap}", *cmd]
    t = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, "ORVELLE_STREAM": stream})
    elapsed = time.perf_counter() - t
    if r.returncode != 0:
        sys.exit(f"run with ORVELLE_STREAM={stream} failed: {r.stderr.strip().splitlines()[-1]}")
    files = [(out / n).read_bytes() for n in ("random_subspace.txt", "calculator_summary.txt")]
    return elapsed, int(r.stdout.split()[-1]), files


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mb", type=float, default=2000.0)
    ap.add_argument("--cap-mb", type=float, default=1500.0, help="address-space cap of the last run")
    ap.add_argument("--keep", action="store_true", help="keep the generated file in benchmarks/data")
    a = ap.parse_args()
    path = gen_features.cached(f"stream_{int(a.size_mb)}mb.jsonl", a.size_mb)
    try:
        with tempfile.TemporaryDirectory() as tmp:
            tmp = pathlib.Path(tmp)
            mem = run(path, tmp / "mem", "0")
            streamed = run(path, tmp / "stream", "1")
            capped = run(path, tmp / "capped", "1", cap=int(a.cap_mb * 2**20))
    finally:
        if not a.keep:
            path.unlink()
    print(f"{path.name}: {path.stat().st_size / 1e6 if path.exists() else a.size_mb:.0f} MB of text")
    for name, (t, rss, _) in [("in memory", mem), ("streamed", streamed), (f"streamed, cap {a.cap_mb:.0f} MB", capped)]:
        print(f"{name:>24}: {t:7.1f} s, peak RSS {rss / 2**20:7.0f} MiB")
    print(f"time streamed / in memory: {streamed[0] / mem[0]:.2f}")
    print(f"outputs byte for byte the same: {mem[2] == streamed[2] == capped[2]}")
    return 0 if mem[2] == streamed[2] == capped[2] else 1


if __name__ == "__main__":
    sys.exit(main())

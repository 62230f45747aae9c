"""The decomposition beside numpy.linalg.svd on the same matrices, in one run.

For each width d, makes an activation-like covariance matrix (d x d, a decaying
spectrum over dense directions), then times, in alternating rounds, the C++
program bench_svd (the system's decomposition: singular values and U, all
cores) and numpy.linalg.svd of the same matrix (its LAPACK, all cores).
Prints the best and the median of each and their ratios (ours / numpy; below
1 is faster). With --baseline BIN, another build of bench_svd (say, an older
commit's) runs in the same rounds, and its output is compared byte for byte.

    python benchmarks/bench_svd.py [--sizes 768,2048,4096] [--rounds 3] [--build build/tests] [--baseline BIN]
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]


def covariance(d: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    n = d + d // 4
    x = (rng.standard_normal((n, d)) * (1.0 + np.arange(d)) ** -0.8) @ (rng.standard_normal((d, d)) / np.sqrt(d))
    x -= x.mean(axis=0)
    s = x.T @ x / (n - 1)
    return (s + s.T) / 2


def ours(program: str, path: pathlib.Path, out: pathlib.Path) -> float:
    r = subprocess.run([program, str(path), "--out", str(out)], capture_output=True, text=True, check=True)
    return float(dict(line.split() for line in r.stdout.splitlines())["svd"])


def numpy_svd(a: np.ndarray) -> float:
    t = time.perf_counter()
    np.linalg.svd(a)
    return time.perf_counter() - t


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="768,2048,4096", help="comma-separated widths")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--build", default=str(ROOT / "build" / "tests"), help="folder holding bench_svd")
    ap.add_argument("--baseline", help="another bench_svd to time in the same rounds")
    a = ap.parse_args()
    program = str(pathlib.Path(a.build) / "bench_svd")
    print(f"{os.cpu_count()} CPUs; numpy {np.__version__}; {a.rounds} rounds, alternating")
    same_bits = True
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        for d in (int(s) for s in a.sizes.split(",")):
            m = covariance(d)
            path = tmp / f"a{d}.bin"
            with open(path, "wb") as f:
                f.write(np.uint64(d).tobytes())
                f.write(np.ascontiguousarray(m).tobytes())
            times = {"ours": [], "numpy": [], "baseline": []}
            for _ in range(a.rounds):
                times["ours"].append(ours(program, path, tmp / "ours.bin"))
                times["numpy"].append(numpy_svd(m))
                if a.baseline:
                    times["baseline"].append(ours(a.baseline, path, tmp / "baseline.bin"))
            line = f"d={d:5d}: ours best {min(times['ours']):7.2f} s, median {statistics.median(times['ours']):7.2f} s; " \
                   f"numpy best {min(times['numpy']):7.2f} s, median {statistics.median(times['numpy']):7.2f} s; " \
                   f"ours/numpy best {min(times['ours']) / min(times['numpy']):.2f}, " \
                   f"median {statistics.median(times['ours']) / statistics.median(times['numpy']):.2f}"
            if a.baseline:
                same = (tmp / "ours.bin").read_bytes() == (tmp / "baseline.bin").read_bytes()
                same_bits &= same
                line += f"; baseline best {min(times['baseline']):7.2f} s " \
                        f"(ours/baseline {min(times['ours']) / min(times['baseline']):.2f}), same bits: {same}"
            print(line, flush=True)
    return 0 if same_bits else 1


if __name__ == "__main__":
    sys.exit(main())

"""The portable build (kernels chosen at run time) against the -march=native build, on the PCA stages.

Runs bench_pca from both build folders in turns on the same data and keeps the best wall and CPU time
of each stage; then the portable one once more, forced to the baseline kernels (ORVELLE_SIMD=baseline),
to show what the run-time choice is worth. Prints the times with their ratios to the native build.
On a shared machine the CPU time of a one-worker run (--threads 1) is the steadier figure: it leaves
out the time other programs held the core.

    cmake -S . -B build/native -G Ninja -DORVELLE_MODULE=OFF -DORVELLE_TESTS=ON -DORVELLE_NATIVE=ON
    cmake -S . -B build/tests -G Ninja -DORVELLE_MODULE=OFF -DORVELLE_TESTS=ON
    cmake --build build/native --target bench_pca && cmake --build build/tests --target bench_pca
    python benchmarks/bench_dispatch.py [--n 100000] [--d 768] [--k 512] [--rounds 5] [--threads 1]
"""

import argparse
import os
import platform
import subprocess
import sys
import tempfile

import numpy as np

from bench_pca import make_data

STAGES = [("means", "column means"), ("covariance", "covariance"), ("projection", "projection"),
          ("svd", "decomposition"), ("bidiagonal", "  its bidiagonal stage")]


def cpu_model():
    with open("/proc/cpuinfo", encoding="utf-8") as f:
        return next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), platform.machine())


def run(exe, data, out, k, threads, level):
    env = {key: value for key, value in os.environ.items() if key != "ORVELLE_SIMD"}
    if level:
        env["ORVELLE_SIMD"] = level
    text = subprocess.run([exe, data, out, str(k), str(threads)], env=env, check=True, capture_output=True,
                          text=True).stdout
    return {key: float(value) for key, value in (line.split() for line in text.splitlines())}


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--native", default="build/native", help="build folder configured with ORVELLE_NATIVE=ON")
    p.add_argument("--portable", default="build/tests", help="build folder of the default configuration")
    p.add_argument("--n", type=int, default=100000)
    p.add_argument("--d", type=int, default=768)
    p.add_argument("--k", type=int, default=512)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--threads", type=int, default=1, help="workers per stage, 0: one per hardware thread")
    a = p.parse_args()

    native, portable = os.path.join(a.native, "bench_pca"), os.path.join(a.portable, "bench_pca")
    best = {"native": {}, "portable": {}, "baseline": {}}

    def keep(label, times):
        for key, value in times.items():
            best[label][key] = min(best[label].get(key, value), value)

    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "X.bin")
        with open(data, "wb") as f:
            np.array([a.n, a.d], dtype="<u8").tofile(f)
            make_data(a.n, a.d).tofile(f)
        # In turns, so drifting load on a shared machine reaches both builds alike.
        for _ in range(a.rounds):
            keep("native", run(native, data, tmp, a.k, a.threads, None))
            keep("portable", run(portable, data, tmp, a.k, a.threads, None))
        keep("baseline", run(portable, data, tmp, a.k, a.threads, "baseline"))

    print(f"{cpu_model()}, {os.cpu_count()} hardware threads; data n={a.n} d={a.d} k={a.k}, "
          f"threads={a.threads}; native and portable: best of {a.rounds} rounds in turns, baseline: 1 run")
    print(f"{'':<24}{'---------- wall s ----------':>30}{'----------- cpu s -----------':>32}{'baseline':>20}")
    print(f"{'stage':<24}{'native':>10}{'portable':>10}{'ratio':>8}{'native':>12}{'portable':>10}{'ratio':>8}"
          f"{'cpu s':>10}{'ratio':>8}")
    worst = {"wall": 0.0, "cpu": 0.0}
    for key, label in STAGES:
        n, p, b = (best[build] for build in ("native", "portable", "baseline"))
        wall, cpu = p[key] / n[key], p[key + "_cpu"] / n[key + "_cpu"]
        if key in ("covariance", "projection", "svd"):
            worst = {"wall": max(worst["wall"], wall), "cpu": max(worst["cpu"], cpu)}
        print(f"{label:<24}{n[key]:>10.4f}{p[key]:>10.4f}{wall:>8.3f}{n[key + '_cpu']:>12.4f}{p[key + '_cpu']:>10.4f}"
              f"{cpu:>8.3f}{b[key + '_cpu']:>10.4f}{b[key + '_cpu'] / n[key + '_cpu']:>8.3f}")
    print("ratio = time / native time; portable = default build at the widest level this CPU runs")
    for kind, value in worst.items():
        print(f"worst {kind} ratio of covariance, projection, decomposition: {value:.3f} "
              f"({'within' if value <= 1.05 else 'OVER'} the 1.05 bar)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

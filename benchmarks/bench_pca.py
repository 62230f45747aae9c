"""PCA stages beside numpy on the same matrices, in one run.

Makes a realistic activation-like data matrix (anisotropic, a few outlier
features, a decaying spectrum), runs the C++ program bench_pca on it, then
times numpy on the very same arrays: ``C.T @ C`` for the covariance,
``C @ W`` for the projection (W = our kept components) and
``numpy.linalg.eigh`` on our covariance S. Prints the times and the ratios.

    python benchmarks/bench_pca.py [--build build/tests] [--n 100000] [--d 768] [--k 512]
"""

import argparse
import ctypes
import os
import subprocess
import sys
import tempfile
import time

import numpy as np


def blas_config():
    try:
        libs = os.path.join(os.path.dirname(np.__file__), os.pardir, "numpy.libs")
        for name in sorted(os.listdir(libs)):
            if "openblas" in name:
                lib = ctypes.CDLL(os.path.join(libs, name))
                core = lib.scipy_openblas_get_corename64_
                core.restype = ctypes.c_char_p
                threads = lib.scipy_openblas_get_num_threads64_()
                return f"OpenBLAS core {core().decode()}, {threads} threads"
    except Exception as e:  # the report only
        return f"unknown ({e})"
    return "unknown"


def make_data(n, d, seed=1):
    rng = np.random.default_rng(seed)
    spectrum = (1.0 + np.arange(d)) ** -0.8
    q, _ = np.linalg.qr(rng.standard_normal((d, d)))
    x = (rng.standard_normal((n, d)) * spectrum) @ q.T
    outliers = rng.choice(d, 4, replace=False)
    x[:, outliers] = x[:, outliers] * 30.0 + 5.0
    x += rng.normal(0.0, 0.2, d)
    return np.ascontiguousarray(x)


def timed(f):
    """Wall and CPU seconds (all threads of this process) of one call."""
    w, c = time.perf_counter(), time.process_time()
    f()
    return time.perf_counter() - w, time.process_time() - c


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default="build/tests")
    p.add_argument("--n", type=int, default=100000)
    p.add_argument("--d", type=int, default=768)
    p.add_argument("--k", type=int, default=512)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--memory", action="store_true", help="also measure the peak memory of pca()")
    a = p.parse_args()

    exe = os.path.join(a.build, "bench_pca")
    x = make_data(a.n, a.d)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "X.bin")
        with open(path, "wb") as f:
            np.array([a.n, a.d], dtype="<u8").tofile(f)
            x.tofile(f)

        # Ours and numpy's take turns, best of each kept: the machine is shared
        # and its load drifts, so the two sides should see the same periods.
        c = x - x.mean(axis=0)
        ours, ref = {}, {}
        for _ in range(a.repeat):
            out = subprocess.run([exe, path, tmp, str(a.k)], check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                key, value = line.split()
                ours[key] = min(ours.get(key, float(value)), float(value))
            s = np.fromfile(os.path.join(tmp, "S.bin")).reshape(a.d, a.d)
            w = np.fromfile(os.path.join(tmp, "W.bin")).reshape(a.d, a.k)
            for key, f in (("covariance", lambda: c.T @ c), ("projection", lambda: c @ w),
                           ("svd", lambda: np.linalg.eigh(s))):
                wall, cpu = timed(f)
                ref[key] = min(ref.get(key, wall), wall)
                ref[key + "_cpu"] = min(ref.get(key + "_cpu", cpu), cpu)
        mem = None
        if a.memory:
            out = subprocess.run([exe, "--memory", path, str(a.k)], check=True, capture_output=True, text=True).stdout
            mem = dict(line.split() for line in out.splitlines())

    print(f"numpy {np.__version__}, {blas_config()}")
    print(f"data n={a.n} d={a.d} k={a.k}")
    print(f"{'stage':<24}{'ours s':>9}{'numpy s':>9}{'ratio':>8}{'ours cpu':>10}{'numpy cpu':>10}{'ratio':>8}")
    print(f"{'column means':<24}{ours['means']:>9.4f}{'':>17}{ours['means_cpu']:>10.4f}")
    for key, label in (("covariance", "covariance | C.T@C"), ("projection", "projection | C@W"),
                       ("svd", "decomposition | eigh")):
        print(f"{label:<24}{ours[key]:>9.4f}{ref[key]:>9.4f}{ref[key] / ours[key]:>8.3f}"
              f"{ours[key + '_cpu']:>10.4f}{ref[key + '_cpu']:>10.4f}{ref[key + '_cpu'] / ours[key + '_cpu']:>8.3f}")
    print(f"{'  its bidiagonal stage':<24}{ours['bidiagonal']:>9.4f}{'':>17}{ours['bidiagonal_cpu']:>10.4f}")
    print("ratio = numpy time / ours (throughput of ours relative to numpy); bars: covariance and projection >= 0.4")
    print(f"decomposition {ours['svd']:.3f} s: {'within' if ours['svd'] <= 0.5 else 'OVER'} the 0.5 s bar")
    if mem:
        print(f"pca() on tokens: raw vectors {mem['raw_mib']} MiB, resident before {mem['rss_before_mib']} MiB, "
              f"peak {mem['peak_mib']} MiB = {mem['peak_over_raw']} x raw, {mem['pca_tokens']} s; "
              f"scale_tokens after it {mem['scale_tokens']} s")


if __name__ == "__main__":
    sys.exit(main())

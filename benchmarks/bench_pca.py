"""PCA stages beside numpy on the same matrices, in one run.

Makes a realistic activation-like data matrix (anisotropic, a few outlier
features, a decaying spectrum), runs the C++ program bench_pca on it, then
times numpy on the very same arrays: ``C.T @ C`` for the covariance,
``C @ W`` for the projection (W = our kept components) and
``numpy.linalg.eigh`` on our covariance S. Prints the times and the ratios.

    python benchmarks/bench_pca.py [--build build/t] [--n 100000] [--d 768] [--k 512]
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


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default="build/t")
    p.add_argument("--n", type=int, default=100000)
    p.add_argument("--d", type=int, default=768)
    p.add_argument("--k", type=int, default=512)
    p.add_argument("--repeat", type=int, default=2)
    p.add_argument("--memory", action="store_true", help="also measure the peak memory of pca()")
    a = p.parse_args()

    exe = os.path.join(a.build, "bench_pca")
    x = make_data(a.n, a.d)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "X.bin")
        with open(path, "wb") as f:
            np.array([a.n, a.d], dtype="<u8").tofile(f)
            x.tofile(f)

        ours = {}
        for _ in range(a.repeat):
            out = subprocess.run([exe, path, tmp, str(a.k)], check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                key, value = line.split()
                v = float(value)
                ours[key] = min(ours.get(key, v), v)
        s = np.fromfile(os.path.join(tmp, "S.bin")).reshape(a.d, a.d)
        w = np.fromfile(os.path.join(tmp, "W.bin")).reshape(a.d, a.k)
        mem = None
        if a.memory:
            out = subprocess.run([exe, "--memory", path, str(a.k)], check=True, capture_output=True, text=True).stdout
            mem = dict(line.split() for line in out.splitlines())

    c = x - x.mean(axis=0)
    t_gram = best(lambda: c.T @ c, a.repeat)
    t_proj = best(lambda: c @ w, a.repeat)
    t_eigh = best(lambda: np.linalg.eigh(s), a.repeat)

    print(f"numpy {np.__version__}, {blas_config()}")
    print(f"data n={a.n} d={a.d} k={a.k}")
    print(f"{'stage':<28}{'orvelle s':>12}{'numpy s':>12}{'numpy/ours':>12}")
    print(f"{'column means':<28}{ours['means']:>12.4f}")
    print(f"{'covariance vs C.T@C':<28}{ours['covariance']:>12.4f}{t_gram:>12.4f}{t_gram / ours['covariance']:>12.3f}")
    print(f"{'projection vs C@W':<28}{ours['projection']:>12.4f}{t_proj:>12.4f}{t_proj / ours['projection']:>12.3f}")
    print(f"{'decomposition vs eigh':<28}{ours['svd']:>12.4f}{t_eigh:>12.4f}{t_eigh / ours['svd']:>12.3f}")
    print(f"{'  of which bidiagonal':<28}{ours['bidiagonal']:>12.4f}")
    print(f"decomposition {'within' if ours['svd'] <= 0.5 else 'OVER'} the 0.5 s bar")
    if mem:
        print(f"pca() on tokens: raw vectors {mem['raw_mib']} MiB, resident before {mem['rss_before_mib']} MiB, "
              f"peak {mem['peak_mib']} MiB = {mem['peak_over_raw']} x raw, {mem['pca_tokens']} s")


if __name__ == "__main__":
    sys.exit(main())

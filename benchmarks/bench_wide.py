"""The whole analysis of wide feature files beside numpy's covariance and SVD, in one run.

For each --widths w, generates a feature file of one layer w values wide (gen_features.py, kept in
benchmarks/data) whose token count grows with w (about 1.6 tokens per feature, as 308 MB at 4096),
then times, in alternating rounds:
  - calculator() on it (every token drawn into the random space unless --ratio says), in a fresh
    process for each --python interpreter given (say, a venv holding an older build beside the
    current one; the first is "ours");
  - numpy: centring, Xc.T @ Xc / (n - 1) and np.linalg.svd of the result, on a random n x w matrix of
    the file's token count, in a fresh process (its LAPACK and BLAS, all cores);
  - with --stages BIN (repeatable), the C++ program bench_pipeline ("stages": the analysis step by
    step, wall and CPU seconds of each) of that build.
Prints each round, then the medians and the ratios to numpy (below 1 is faster), the peak RSS, whether
every install wrote the same listing and summary byte for byte, and the median stage table. The
machine may be shared: only ratios within one run mean much.

    python benchmarks/bench_wide.py [--widths 2048,4096,8192] [--rounds 3] [--ratio -1]
        [--python PY ...] [--stages build/tests/bench_pipeline ...]
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
CALCULATOR = """
import resource, sys, time, warnings, orvelle
warnings.simplefilter("ignore")
t = time.perf_counter()
c = orvelle.calculator(sys.argv[1], [["his", "they"], ["she", "her"]], random_token_num=float(sys.argv[3]),
                       random_token_seed=1, subspace_folder_path=sys.argv[2])
print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
c.save_summary(sys.argv[2])
"""
NUMPY = """
import resource, sys, time
import numpy as np
n, d = int(sys.argv[1]), int(sys.argv[2])
x = np.random.default_rng(1).standard_normal((n, d))
t = time.perf_counter()
xc = x - x.mean(axis=0)
s = xc.T @ xc / (n - 1)
np.linalg.svd(s)
print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def feature_file(width: int) -> tuple[pathlib.Path, int]:
    """The generated file for this width and its token count."""
    size_mb = round(308 * (width / 4096) ** 2)
    data = ROOT / "benchmarks" / "data"
    data.mkdir(parents=True, exist_ok=True)
    path = data / f"wide{width}_{size_mb}mb.jsonl"
    if not path.exists():
        subprocess.run([sys.executable, str(ROOT / "benchmarks" / "gen_features.py"), str(path),
                        "--size-mb", str(size_mb), "--width", str(width), "--layers", "0"], check=True)
    with open(path, "rb") as f:
        tokens = sum(chunk.count(b'{"token": ') for chunk in iter(lambda: f.read(1 << 24), b""))
    return path, tokens


def run(args: list[str], env: dict | None = None) -> str:
    r = subprocess.run(args, capture_output=True, text=True, env=env)
    if r.returncode != 0:
        sys.exit(f"{args[0]} failed: {(r.stderr.strip().splitlines() or ['?'])[-1]}")
    return r.stdout


def stage_times(program: str, path: pathlib.Path, out: pathlib.Path, ratio: float) -> dict[str, float]:
    lines = run([program, str(path), str(out), "stages", str(ratio)]).splitlines()
    return {k: float(v) for k, v in (line.split() for line in lines)}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--widths", default="2048,4096,8192", help="comma-separated widths")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--ratio", type=float, default=-1.0, help="random_token_num (-1: every token)")
    ap.add_argument("--python", action="append", help="interpreter to run calculator() with (repeatable)")
    ap.add_argument("--stages", action="append", default=[], help="a bench_pipeline to time stage by stage")
    a = ap.parse_args()
    pythons = a.python or [sys.executable]
    import numpy as np
    print(f"{os.cpu_count()} CPUs; numpy {np.__version__}; {a.rounds} rounds, alternating; wall seconds")
    env = {**os.environ, "ORVELLE_STREAM": "0"}
    all_same = True
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        for width in (int(w) for w in a.widths.split(",")):
            path, n = feature_file(width)
            print(f"width {width}: {path.name}, {n} tokens", flush=True)
            names = [f"calculator() [{py}]" for py in pythons] + ["numpy cov+svd"] + \
                    [f"stages [{p}]" for p in a.stages]
            times = {k: [] for k in names}
            rss = {k: 0 for k in names}
            stages = {p: [] for p in a.stages}
            outputs = []
            for r in range(a.rounds):
                for k, py in enumerate(pythons):
                    out = tmp / f"{width}_{r}_{k}"
                    out.mkdir()
                    seconds, peak = run([py, "-c", CALCULATOR, str(path), str(out), str(a.ratio)], env).split()
                    times[names[k]].append(float(seconds))
                    rss[names[k]] = max(rss[names[k]], int(peak))
                    outputs.append([(out / f).read_bytes() for f in ("random_subspace.txt", "calculator_summary.txt")])
                seconds, peak = run([sys.executable, "-c", NUMPY, str(n), str(width)]).split()
                times["numpy cov+svd"].append(float(seconds))
                rss["numpy cov+svd"] = max(rss["numpy cov+svd"], int(peak))
                for p in a.stages:
                    out = tmp / f"{width}_{r}_stages"
                    out.mkdir(exist_ok=True)
                    st = stage_times(p, path, out, a.ratio)
                    stages[p].append(st)
                    times[f"stages [{p}]"].append(st["total"])
                    outputs.append([(out / f).read_bytes() for f in ("random_subspace.txt", "calculator_summary.txt")])
                print(f"  round {r + 1}: " + ", ".join(f"{k} {v[-1]:.1f} s" for k, v in times.items()), flush=True)
            numpy = statistics.median(times["numpy cov+svd"])
            for k, v in times.items():
                peak = f", peak RSS {rss[k] / 2**20:.0f} MiB" if rss[k] else ""
                print(f"  median {k}: {statistics.median(v):.1f} s = {statistics.median(v) / numpy:.2f} x numpy{peak}")
            same = all(o == outputs[0] for o in outputs)
            all_same &= same
            print(f"  listings and summaries byte for byte the same: {same}")
            if a.stages:
                keys = [k for k in stages[a.stages[0]][0] if k + "_cpu" in stages[a.stages[0]][0]]
                print("  stage (median wall s / CPU s)" + "".join(f" | {p}" for p in a.stages))
                for key in keys:
                    cells = []
                    for p in a.stages:
                        wall = statistics.median(s[key] for s in stages[p])
                        cpu = statistics.median(s.get(key + "_cpu", float("nan")) for s in stages[p])
                        cells.append(f"{wall:8.3f} / {cpu:8.3f}")
                    print(f"  {key:22s}" + "".join(f" | {c}" for c in cells))
                print(f"  {'total':22s}" + "".join(f" | {statistics.median(s['total'] for s in stages[p]):8.3f}"
                                                   for p in a.stages))
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())

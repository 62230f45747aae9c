"""The whole analysis of a wide feature file, with one or more installs, in one run.

Generates a feature file of --width values per token (one layer, gen_features.py), runs
calculator() on it in a fresh process for each --python interpreter given (say, a venv holding an
older build beside the current one), and prints each run's wall time and peak RSS, and whether the
listings and summaries are byte for byte the same.

    python benchmarks/bench_wide.py [--width 4096] [--size-mb 308] [--ratio 4] [--python PY ...] [--keep]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
CHILD = """
import resource, sys, time, warnings, orvelle
warnings.simplefilter("ignore")
t = time.perf_counter()
c = orvelle.calculator(sys.argv[1], [["his", "they"], ["she", "her"]], random_token_num=float(sys.argv[3]),
                       random_token_seed=1, subspace_folder_path=sys.argv[2])
print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
c.save_summary(sys.argv[2])
"""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--width", type=int, default=4096)
    ap.add_argument("--size-mb", type=float, default=308.0)
    ap.add_argument("--ratio", type=float, default=4.0, help="random_token_num")
    ap.add_argument("--python", action="append", help="interpreter to run calculator() with (repeatable)")
    ap.add_argument("--keep", action="store_true", help="keep the generated file in benchmarks/data")
    a = ap.parse_args()
    pythons = a.python or [sys.executable]
    data = ROOT / "benchmarks" / "data"
    data.mkdir(parents=True, exist_ok=True)
    path = data / f"wide{a.width}_{int(a.size_mb)}mb.jsonl"
    if not path.exists():
        subprocess.run([sys.executable, str(ROOT / "benchmarks" / "gen_features.py"), str(path),
                        "--size-mb", str(a.size_mb), "--width", str(a.width), "--layers", "0"], check=True)
    outputs = []
    try:
        with tempfile.TemporaryDirectory() as tmp:
            for k, py in enumerate(pythons):
                out = pathlib.Path(tmp) / str(k)
                out.mkdir()
                r = subprocess.run([py, "-c", CHILD, str(path), str(out), str(a.ratio)], capture_output=True,
                                   text=True, env={**os.environ, "ORVELLE_STREAM": "0"})
                if r.returncode != 0:
                    sys.exit(f"{py} failed: {r.stderr.strip().splitlines()[-1]}")
                seconds, rss = r.stdout.split()
                outputs.append([(out / n).read_bytes() for n in ("random_subspace.txt", "calculator_summary.txt")])
                print(f"{py}: calculator() {float(seconds):.1f} s, peak RSS {int(rss) / 2**20:.0f} MiB", flush=True)
    finally:
        if not a.keep:
            path.unlink()
    same = all(o == outputs[0] for o in outputs)
    print(f"{path.name}, {a.width} wide: outputs byte for byte the same: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""End-to-end benchmark: generates a realistic feature file (768 wide, 4 layers,
about 1 GB by default), then runs the analysis stage by stage and whole, each
in its own process, printing per-stage wall times and peak RSS beside the raw
size of the vectors.

    python3 benchmarks/bench_pipeline.py [--size-mb 1000] [--keep]

Needs the C++ benchmarks built (make cpp-tests, or cmake with
-DORVELLE_TESTS=ON into build/tests).
"""
import argparse
import pathlib
import subprocess
import tempfile

import gen_features  # noqa: E402 - beside this script

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mb", type=float, default=1000.0)
    ap.add_argument("--build", default=str(ROOT / "build" / "tests"))
    ap.add_argument("--keep", action="store_true", help="keep the generated file")
    args = ap.parse_args()

    path = gen_features.cached(f"pipeline_{int(args.size_mb)}mb.jsonl", args.size_mb)
    size_mb = path.stat().st_size / 1e6
    exe = pathlib.Path(args.build) / "bench_pipeline"
    try:
        with tempfile.TemporaryDirectory() as out:
            print(f"{path.name}: {size_mb:.1f} MB")
            print("stages (one process):")
            subprocess.run([str(exe), str(path), out, "stages"], check=True, stderr=subprocess.DEVNULL)
            print("whole analysis (another process):")
            subprocess.run([str(exe), str(path), out, "whole"], check=True, stderr=subprocess.DEVNULL)
            cat = subprocess.run(["bash", "-c", f"TIMEFORMAT=%R; time cat {path} > /dev/null"],
                                 capture_output=True, text=True)
            print(f"reference: cat of the file {cat.stderr.strip()} s")
    finally:
        if not args.keep:
            path.unlink(missing_ok=True)


if __name__ == "__main__":
    main()

"""What releasing the interpreter lock costs and gives, against another build, in one run.

For the bundled example and a generated file (--size-mb, 768 wide, 4 layers, gen_features.py),
runs calculator() with its defaults in fresh processes, alternating this interpreter's build
(--python, default the running one) and a reference build (--base-python, say a venv holding the
build before the change; --build-base REV makes one from a revision of this repository), and
prints for each build:

- the median wall time of --repeat calls and the ratio of the medians (the cost of releasing and
  polling: it should be 1.00 within the noise);
- how often a Python thread that sleeps 10 ms between ticks ticked per second during the call;
- the delay from a SIGINT sent --interrupt-at seconds into the call on the generated file until
  the call raised KeyboardInterrupt (or returned, had it not stopped).

    python benchmarks/bench_release.py --base-python /tmp/base/bin/python [--size-mb 887] [--repeat 5]
    python benchmarks/bench_release.py --build-base 6e16433 [--size-mb 887]
"""

import argparse
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import gen_features  # noqa: E402 - beside this script

ROOT = pathlib.Path(__file__).resolve().parents[1]
CHILD = """
import signal, sys, threading, time, warnings, orvelle
warnings.simplefilter("ignore")
signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell starts background jobs with SIGINT ignored
path, folder, mode = sys.argv[1], sys.argv[2], sys.argv[3]
seeds = [group.split(",") for group in sys.argv[4:]]
ticks, done = [], threading.Event()
def tick():
    while not done.wait(0.01):
        ticks.append(1)
if mode == "ticks":
    threading.Thread(target=tick, daemon=True).start()
print("start", flush=True)  # the parent sends its SIGINT from here on
start = time.monotonic()
try:
    orvelle.calculator(path, seeds, subspace_folder_path=folder)
    end, how = time.monotonic(), "returned"
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # a signal sent after the call is not this run's
except KeyboardInterrupt:
    end, how = time.monotonic(), "interrupted"
done.set()
print({"time": end - start, "ticks": len(ticks) / (end - start), "interrupt": f"{how} {end}"}[mode])
"""


def child(python: str, path: pathlib.Path, seeds: list[str], mode: str, at: float = 0.0) -> str:
    """Runs CHILD; in the mode "interrupt", sends it SIGINT `at` seconds into its call, from here,
    since a thread of a process whose interpreter lock is held could not send it in time, and
    returns how the call ended and how long after the signal."""
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.Popen([python, "-c", CHILD, str(path), out, mode, *seeds], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env={**os.environ, "ORVELLE_STREAM": "0"})
        proc.stdout.readline()
        if mode == "interrupt":
            time.sleep(at)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate()
    if proc.returncode != 0 or not stdout.strip():
        sys.exit(f"{python} failed: {stderr.strip()[-2000:]}")
    if mode == "interrupt":
        how, end = stdout.split()
        return f"{how} {float(end) - sent:.3f}"
    return stdout.strip()


def build_base(rev: str) -> str:
    """A venv beside the generated files holding the build of `rev`; made once."""
    home = ROOT / "benchmarks" / "data" / f"base-{rev}"
    python, built = home / "venv" / "bin" / "python", home / "built"
    if built.exists():
        return str(python)
    src = home / "src"
    src.mkdir(parents=True, exist_ok=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev], capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    subprocess.run([sys.executable, "-m", "venv", str(home / "venv")], check=True)
    pip = [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    subprocess.run([*pip, "scikit-build-core", "numpy"], check=True)
    subprocess.run([*pip, "--no-build-isolation", str(src)], check=True)
    built.touch()
    return str(python)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--python", default=sys.executable, help="interpreter with the build under test")
    base = ap.add_mutually_exclusive_group(required=True)
    base.add_argument("--base-python", help="interpreter with the reference build")
    base.add_argument("--build-base", metavar="REV", help="build REV of this repository as the reference")
    ap.add_argument("--size-mb", type=float, default=887.0, help="the generated file (the issue measured 887)")
    ap.add_argument("--repeat", type=int, default=5, help="timed calls per build and file")
    ap.add_argument("--interrupt-at", type=float, nargs="+", default=[1.0, 3.0],
                    help="seconds into the call at which SIGINT is sent, on the generated file")
    a = ap.parse_args()
    builds = {"this build": a.python, "reference": a.base_python or build_base(a.build_base)}
    # The generated vocabulary has no "he" or "him".
    files = {"bundled example": (ROOT / "examples" / "features.jsonl.zst", ["he,him", "she,her"]),
             f"generated {a.size_mb:g} MB": (gen_features.cached(f"release_{int(a.size_mb)}mb.jsonl", a.size_mb),
                                             ["his,they", "she,her"])}
    for label, (path, seeds) in files.items():
        print(f"{label} ({path.stat().st_size / 1e6:.1f} MB), calculator() with its defaults:", flush=True)
        times = {name: [] for name in builds}
        order = list(builds.items())
        for _ in range(a.repeat):  # alternating, first one then the other, so that the machine's moods fall on both
            for name, python in order:
                times[name].append(float(child(python, path, seeds, "time")))
            order.reverse()
        medians = {name: statistics.median(t) for name, t in times.items()}
        for name, t in times.items():
            ticks = float(child(builds[name], path, seeds, "ticks"))
            print(f"  {name:>10}: median {medians[name]:.3f} s of {len(t)} ({min(t):.3f} to {max(t):.3f}); "
                  f"a 10 ms ticker ran {ticks:.0f} times a second", flush=True)
        best = {name: min(t) for name, t in times.items()}
        print(f"  this build / reference: {medians['this build'] / medians['reference']:.3f} (medians), "
              f"{best['this build'] / best['reference']:.3f} (fastest calls)", flush=True)
        if label.startswith("generated"):
            for at in a.interrupt_at:
                for name, python in builds.items():
                    how, delay = child(python, path, seeds, "interrupt", at).split()
                    what = f"{how} {delay} s later" if float(delay) >= 0 else "the call had returned"
                    print(f"  {name:>10}: SIGINT {at:g} s into the call: {what}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

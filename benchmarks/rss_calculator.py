"""Resident memory over repeated calculator() calls: successes and failures in turn.

Cycles through a whole analysis, a missing feature file and an empty seed group (file read, spaces
fitted and listing written, then "The space is empty!"), --calls calls in all. Every --every calls it
prints the resident set size as it is, the bytes malloc holds for live blocks, and the resident set
size once malloc_trim(0) has handed the free pages back: glibc keeps the pages a call freed in its
arenas, so the plain size swings by tens of MiB from call to call, while a leak shows as growth of
the other two. The trimmed size may still rise in steps of a few MiB as new worker threads open
new malloc arenas (at most 8 per core; with MALLOC_ARENA_MAX=1 it stays exactly level). The
reference is the sample after --warmup calls; the growth of the trimmed size
from there to the last call decides, and the script exits 1 when it passes --max-growth-mib. The
failures' one-line reports on standard error are silenced.

    python benchmarks/rss_calculator.py [FEATURES] [--ratio 6] [--calls 1000] [--every 100] [--warmup 100]
"""

import argparse
import contextlib
import ctypes
import gc
import os
import sys
import tempfile
import warnings

import orvelle

EXAMPLES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
PAGE = os.sysconf("SC_PAGE_SIZE")
LIBC = ctypes.CDLL("libc.so.6")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


LIBC.mallinfo2.restype = MallInfo2


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def sample() -> tuple[float, float, float]:
    """Resident MiB, MiB malloc holds for live blocks (all arenas and mmapped ones), resident MiB after trimming."""
    gc.collect()
    rss = rss_mib()
    info = LIBC.mallinfo2()
    LIBC.malloc_trim(0)
    return rss, (info.uordblks + info.hblkhd) / 2**20, rss_mib()


@contextlib.contextmanager
def stderr_silenced():
    # The extension writes its failure line to descriptor 2 itself.
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def panic_type() -> type[BaseException]:
    try:
        with stderr_silenced():
            orvelle.calculator("/nonexistent/rss-calculator.jsonl", [["he"]])
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e)
    raise AssertionError("calculator on a missing file did not fail")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("features", nargs="?", default=os.path.join(EXAMPLES, "features.jsonl.zst"))
    p.add_argument("--ratio", type=float, default=6)
    p.add_argument("--calls", type=int, default=1000, help="rounded up to whole rounds of the three kinds")
    p.add_argument("--every", type=int, default=100)
    p.add_argument("--warmup", type=int, default=100)
    p.add_argument("--max-growth-mib", type=float, default=4.0)
    a = p.parse_args()
    if not 0 < a.warmup < a.calls:
        p.error("--warmup must be between 0 and --calls")
    panic = panic_type()
    warnings.simplefilter("ignore", orvelle.RankDeficiencyWarning)
    exclude = ["<s>", "</s>", ".", ",", "he", "him", "she", "her"]
    with tempfile.TemporaryDirectory() as out:
        kinds = [
            ("analysis", a.features, [["he", "him"], ["she", "her"]], True),
            ("missing file", os.path.join(out, "missing.jsonl"), [["he", "him"]], False),
            ("empty seed group", a.features, [["he", "him"], []], False),
        ]
        rounds = -(-a.calls // len(kinds))
        calls = rounds * len(kinds)
        print(f"file: {a.features}, ratio {a.ratio:g}; {calls} calls: {rounds} rounds of "
              f"{', '.join(k[0] for k in kinds)}")
        print(f"{'calls':>6} {'RSS MiB':>9} {'in use MiB':>11} {'trimmed MiB':>12} {'growth MiB':>11}")
        reference = None
        # Sampled after whole rounds only, so every sample follows the same kind of call.
        for r in range(1, rounds + 1):
            for name, path, seeds, succeeds in kinds:
                try:
                    with stderr_silenced():
                        orvelle.calculator(path, seeds, a.ratio, subspace_folder_path=out, exclude_words=exclude)
                    ok = succeeds
                except panic:
                    ok = not succeeds
                if not ok:
                    print(f"round {r}: {name} did not end as expected", file=sys.stderr)
                    return 2
            done = r * len(kinds)
            first_past_warmup = reference is None and done >= a.warmup
            if r in (1, rounds) or first_past_warmup or done // a.every > (done - len(kinds)) // a.every:
                rss, in_use, trimmed = sample()
                if first_past_warmup:
                    reference = (done, in_use, trimmed)
                growth = ("reference" if first_past_warmup else "" if reference is None
                          else f"{trimmed - reference[2]:+.1f}")
                print(f"{done:>6} {rss:>9.1f} {in_use:>11.1f} {trimmed:>12.1f} {growth:>11}")
    growth = trimmed - reference[2]
    per_call = growth * 2**20 / (calls - reference[0])
    print(f"over calls {reference[0]}..{calls}: trimmed RSS {growth:+.1f} MiB ({per_call:+.0f} bytes per call), "
          f"live malloc blocks {in_use - reference[1]:+.2f} MiB; "
          f"limit {a.max_growth_mib:g} MiB: {'flat' if growth <= a.max_growth_mib else 'GROWING'}")
    return 0 if growth <= a.max_growth_mib else 1


if __name__ == "__main__":
    sys.exit(main())

"""What an extra random draw costs, against a whole analysis, in one run.

measure() reads the file and fits the global space once, then repeats the draw. On the bundled
example's settings (or FEATURES with --ratio), it times calculator() (one whole analysis),
measure() with 1 draw and with 1 + N draws, and prints the cost of one extra draw and its ratio to
the whole analysis (best of --repeat runs each).

    python benchmarks/bench_draws.py [FEATURES] [--ratio 6] [--extra 10] [--repeat 5]
"""

import argparse
import os
import sys
import tempfile
import time

import orvelle

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples")


def best(repeat, f):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("features", nargs="?", default=os.path.join(EXAMPLES, "features.jsonl.zst"))
    p.add_argument("--ratio", type=float, default=6)
    p.add_argument("--extra", type=int, default=10)
    p.add_argument("--repeat", type=int, default=5)
    a = p.parse_args()
    seeds, exclude = [["he", "him"], ["she", "her"]], ["<s>", "</s>", ".", ",", "he", "him", "she", "her"]
    with tempfile.TemporaryDirectory() as tmp:
        whole = best(a.repeat, lambda: orvelle.calculator(a.features, seeds, a.ratio, subspace_folder_path=tmp,
                                                          exclude_words=exclude))
        one = best(a.repeat, lambda: orvelle.measure(a.features, seeds, ["nurse"], 1, random_token_num=a.ratio,
                                                     exclude_words=exclude))
        many = best(a.repeat, lambda: orvelle.measure(a.features, seeds, ["nurse"], 1 + a.extra,
                                                      random_token_num=a.ratio, exclude_words=exclude))
    extra = (many - one) / a.extra
    print(f"file: {a.features} ({os.path.getsize(a.features) / 1e6:.1f} MB), ratio {a.ratio:g}")
    print(f"calculator(), one whole analysis:  {whole:.3f} s")
    print(f"measure(), 1 draw:                 {one:.3f} s")
    print(f"measure(), {1 + a.extra} draws:               {many:.3f} s")
    print(f"one extra draw:                    {extra:.3f} s = {extra / whole:.2f} x a whole analysis")
    return 0


if __name__ == "__main__":
    sys.exit(main())

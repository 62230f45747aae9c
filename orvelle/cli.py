"""python -m orvelle: one analysis from the command line.

    python -m orvelle FEATURES --seeds he,him --seeds she,her [--ratio 0.8] [--seed 1]
        [--exclude WORD ...] [--out DIR] [--progress]

Runs ``calculator`` on the feature file, writes DIR/random_subspace.txt and
DIR/calculator_summary.txt, and prints one row per seed group: the mean bias ratio and the mean
absolute bias ratio of the random tokens against that group. Any failure ends the program with
status 1 and one line "orvelle: error: <message>" on standard error; bad arguments end it with
status 2.
"""

from __future__ import annotations

import argparse
import math
import os
import sys

EMPTY_SPACE_HINT = (
    " (a space got no token: every seed word must occur in the feature file exactly as written, "
    "case included, after the tokenizer's markers are removed; and --exclude must leave tokens to draw)")


def seed_group(text: str) -> list[str]:
    words = [w.strip() for w in text.split(",")]
    if not all(words):
        raise argparse.ArgumentTypeError(
            f"bad seed group {text!r}: give the words separated by commas, none of them empty")
    return words


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m orvelle",
        description="Bias ratios of a random sample of tokens against groups of seed words.")
    p.add_argument("features", metavar="FEATURES", help="token-feature file (JSON lines)")
    p.add_argument("--seeds", type=seed_group, action="append", required=True, metavar="W1,W2,...",
                   help="one seed group, words separated by commas; repeat for each group")
    p.add_argument("--ratio", type=float, default=None,
                   help="random tokens drawn per line of the file (default: 0.8); the random "
                        "space needs well over 512 tokens")
    p.add_argument("--seed", type=int, default=None, help="seed of the random draw (default: 1)")
    p.add_argument("--exclude", nargs="+", action="extend", default=None, metavar="WORD",
                   help="token texts never drawn into the random space")
    p.add_argument("--out", default=".", metavar="DIR",
                   help="folder for random_subspace.txt and calculator_summary.txt, created if "
                        "missing (default: .)")
    p.add_argument("--progress", action="store_true", help="show every progress bar on standard error")
    return p


def space_name(group: list[str]) -> str:
    return "Space of " + group[0]


def format_table(groups: list[list[str]], mean: dict, mean_abs: dict) -> str:
    """One row per seed group in the order given: space name, mean and mean absolute bias ratio."""
    rows = [("seed space", "words", "mean bias ratio", "mean |bias ratio|")]
    for g in groups:
        name = space_name(g)
        rows.append((name, ",".join(g), _number(mean[name]), _number(mean_abs[name])))
    widths = [max(len(r[i]) for r in rows) for i in range(4)]
    lines = []
    for r in rows:
        lines.append(f"{r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]:>{widths[2]}}  {r[3]:>{widths[3]}}")
    return "\n".join(lines)


def _number(v: float) -> str:
    return f"{v:.6f}" if math.isfinite(v) else str(v)


def run(features: str, groups: list[list[str]], *, ratio=None, seed=None, exclude=None, out=".",
        progress=False) -> tuple[dict, dict]:
    """The analysis behind the command: calculator, then save_summary into ``out``.
    Returns (mean bias ratio, mean absolute bias ratio) by space name."""
    import orvelle

    calc = orvelle.calculator(features, groups, random_token_num=ratio, random_token_seed=seed,
                              subspace_folder_path=out, exclude_words=exclude, user_friendly=progress)
    calc.save_summary(out)
    return calc.bias_sum_average(), calc.bias_asb_sum_average()


def _check(args: argparse.Namespace) -> str | None:
    if not os.path.exists(args.features):
        return f"{args.features}: no such file"
    if os.path.isdir(args.features):
        return f"{args.features}: is a folder, not a feature file"
    if not args.out:
        return "--out must name a folder"
    firsts = [g[0] for g in args.seeds]
    repeated = sorted({w for w in firsts if firsts.count(w) > 1})
    if repeated:
        # Results are keyed by the first word of a group; two groups would share one entry.
        return f"seed groups must start with different words ({', '.join(repeated)} starts more than one)"
    return None


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    problem = _check(args)
    if problem:
        print(f"orvelle: error: {problem}", file=sys.stderr)
        return 1
    try:
        os.makedirs(args.out, exist_ok=True)
        mean, mean_abs = run(args.features, args.seeds, ratio=args.ratio, seed=args.seed,
                             exclude=args.exclude, out=args.out, progress=args.progress)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        message = str(e) if str(e) else type(e).__name__
        if message == "The space is empty!":
            message += EMPTY_SPACE_HINT
        print(f"orvelle: error: {message}", file=sys.stderr)
        return 1
    print(format_table(args.seeds, mean, mean_abs))
    print(f"\nwrote {args.out}/random_subspace.txt and {args.out}/calculator_summary.txt")
    return 0

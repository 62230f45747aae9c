"""python -m orvelle: one analysis from the command line.

    python -m orvelle FEATURES --seeds he,him --seeds she,her [--ratio R] [--seed 1]
        [--exclude WORD ...] [--targets W1,W2,...] [--targets-file FILE] [--draws 10]
        [--resamples 1000] [--out DIR] [--progress]

Runs ``measure`` on the feature file: the analysis for --draws random draws (seeds --seed and the
following ones), writing the first draw's DIR/random_subspace.txt and DIR/calculator_summary.txt,
and DIR/word_ratios.csv, DIR/intervals.csv, DIR/draws.csv and DIR/target_tests.csv. Prints one row
per seed group (the mean bias ratio and the mean absolute bias ratio of the random tokens against
that group, each averaged over the draws with the central 95 % of the draws), then one row per
target word and pair of groups, with the p and q of its test against zero. A decomposition that
runs longer than two seconds (of the covariance of a wide file's vectors: minutes at 8192 wide)
shows a line with its elapsed time on standard error, --progress or not. Any failure ends the
program with status 1 and one line "orvelle: error: <message>" on standard error; bad arguments end
it with status 2; Ctrl-C ends it within about half a second with status 130 and the line
"orvelle: interrupted", leaving no file half-written.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import warnings

from .measurement import ADVISED_PER_COMPONENT, SPARSE_PER_COMPONENT, Interval, is_feature_file_name

# A decomposition (of the covariance of the file's vectors, then of each random space's) that runs
# this many seconds shows a line with its elapsed time on standard error.
DECOMPOSITION_LINE_AFTER = 2.0

EMPTY_SPACE_HINT = (
    " (a space got no token: every seed word must occur in the feature file exactly as written, "
    "case included, after the tokenizer's markers are removed, and a file extracted with --pool pieces "
    "holds word pieces where words were written; and --exclude must leave tokens to draw)")


def seed_group(text: str) -> list[str]:
    words = [w.strip() for w in text.split(",")]
    if not all(words):
        raise argparse.ArgumentTypeError(
            f"bad seed group {text!r}: give the words separated by commas, none of them empty")
    return words


def word_list(text: str) -> list[str]:
    words = [w.strip() for w in text.split(",")]
    if not all(words):
        raise argparse.ArgumentTypeError(f"bad word list {text!r}: give words separated by commas, none empty")
    return words


def positive_int(text: str, least: int = 1) -> int:
    try:
        n = int(text)
    except ValueError:
        n = least - 1
    if n < least:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least {least}")
    return n


def whole_number(text: str) -> int:
    return positive_int(text, 0)


def read_words(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [w for w in (line.strip() for line in f) if w and not w.startswith("#")]


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m orvelle",
        description="Bias ratios of a random sample of tokens against groups of seed words.")
    p.add_argument("features", metavar="FEATURES", nargs="+",
                   help="token-feature file (JSON lines, plain or compressed with gzip or zstd); several "
                        "files, or a folder of *.jsonl (*.jsonl.gz, *.jsonl.zst) files "
                        "(name order), are read as one corpus")
    p.add_argument("--seeds", type=seed_group, action="append", required=True, metavar="W1,W2,...",
                   help="one seed group, words separated by commas; repeat for each group")
    p.add_argument("--ratio", type=float, default=None,
                   help="random tokens drawn per line of the file (default: 4 per component the random "
                        "space keeps, 2048 tokens, or 0.8 per line when that is more); -1 draws every token")
    p.add_argument("--seed", type=int, default=None, help="seed of the random draw (default: 1)")
    p.add_argument("--exclude", nargs="+", action="extend", default=None, metavar="WORD",
                   help="token texts never drawn into the random space")
    p.add_argument("--targets", type=word_list, action="extend", default=[], metavar="W1,W2,...",
                   help="words to score over all their tokens in the file, drawn or not; repeatable")
    p.add_argument("--targets-file", metavar="FILE",
                   help="more target words, one per line (blank lines and lines starting with # skipped)")
    p.add_argument("--draws", type=positive_int, default=10, metavar="N",
                   help="random draws to repeat the analysis for, seeds --seed onward (default: 10)")
    p.add_argument("--resamples", type=whole_number, default=1000, metavar="N",
                   help="bootstrap resamples of the lines for the targets' p and q (default: 1000; 0: none)")
    p.add_argument("--out", default=".", metavar="DIR",
                   help="folder for random_subspace.txt, calculator_summary.txt and the CSV files, "
                        "created if missing (default: .)")
    p.add_argument("--progress", action="store_true", help="show every progress bar on standard error")
    stream = p.add_mutually_exclusive_group()
    stream.add_argument("--stream", dest="stream", action="store_const", const="1",
                        help="analyse in passes over the file, with memory bounded whatever its size")
    stream.add_argument("--no-stream", dest="stream", action="store_const", const="0",
                        help="hold the file in memory (default: streamed only when it would not fit)")
    p.add_argument("--strict", action="store_true",
                   help="fail (status 1) when a space is too small for the components it keeps, or a random "
                        "space holds fewer than 3 tokens per component")
    return p


def space_name(group: list[str]) -> str:
    return "Space of " + group[0]


def _number(v: float) -> str:
    return f"{v:.6f}" if math.isfinite(v) else str(v)


def _with_interval(iv) -> str:
    if iv.draws < 2:
        return _number(iv.mean)
    return f"{_number(iv.mean)} [{_number(iv.lo)}, {_number(iv.hi)}]"


def _columns(rows: list[tuple[str, ...]], right: set[int]) -> str:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths)))
                     .rstrip() for r in rows)


def format_table(groups: list[list[str]], m) -> str:
    """One row per seed group in the order given: space name, mean and mean absolute bias ratio
    over the draws, with the central 95 % of the draws when there are several."""
    span = " [95% of draws]" if len(m.draws) > 1 else ""
    mean, mean_abs = m.mean_ratio(), m.mean_abs_ratio()
    rows = [("seed space", "words", "mean bias ratio" + span, "mean |bias ratio|" + span)]
    for g in groups:
        name = space_name(g)
        rows.append((name, ",".join(g), _with_interval(mean[name]), _with_interval(mean_abs[name])))
    return _columns(rows, {2, 3})


def pair_of(t) -> str:
    return f"{t.space.removeprefix('Space of ')} - {t.other.removeprefix('Space of ')}"


def _p(v: float) -> str:
    return "" if math.isnan(v) else f"{v:.2g}" if v < 0.001 else f"{v:.3f}"


def format_targets(m) -> str:
    """One row per target word and pair of seed spaces: its tokens in the file, the difference of
    its ratios over the draws, in how many draws that difference has the sign of its mean, and the
    test of the difference against zero given the sentences (p, and q over every row)."""
    counts = m.targets[m.spaces[0]]
    tests = {(t.word, t.space, t.other): t for t in m.target_tests()}
    rows = [("target", "tokens", "seed spaces", "difference" + (" [95% of draws]" if len(m.draws) > 1 else ""),
             "same sign", "p", "q")]
    for t in m.target_differences():
        if counts[t.word].count == 0:
            rows.append((t.word, "0", pair_of(t), "not in the file", "", "", ""))
            continue
        agree = "" if math.isnan(t.sign_agreement) else f"{round(t.sign_agreement * t.draws)}/{t.draws}"
        test = tests[(t.word, t.space, t.other)]
        rows.append((t.word, str(counts[t.word].count), pair_of(t),
                     _with_interval(Interval(t.mean, t.lo, t.hi, t.draws)), agree, _p(test.p), _p(test.q)))
    return _columns(rows, {1, 3, 4, 5, 6})


def rank_problems(m) -> list[str]:
    """Plain words for each kind of space whose kept components include rounding noise."""
    out = []
    g = m.global_space
    if g.deficient:
        out.append(f"the global space has {g.tokens} tokens of width {g.width}: its covariance has rank {g.rank}, "
                   f"so {g.noise} of the {g.components} components it keeps are rounding noise, and every ratio "
                   f"carries that noise. A feature file with more than {g.width} token vectors avoids it.")
    bad = [d.random_space for d in m.draws if d.random_space.deficient]
    if bad:
        r = bad[0]
        need = max(r.components, r.tokens) + 1
        out.append(f"the random space has {r.tokens} tokens for its {r.components} components (rank {r.rank}) in "
                   f"{len(bad)} of {len(m.draws)} draws: {r.noise} components are rounding noise lifted to unit "
                   f"variance, so the ratios mean little. --ratio {ratio_for(need, m.lines):g} or more draws at "
                   f"least {need} tokens from the {m.lines} lines (if that many remain after --exclude).")
    return out


def sparse_problem(m) -> str | None:
    """Plain words for random spaces with fewer than 3 tokens per kept component, or None."""
    r = m.draws[0].random_space
    if not r.sparse:
        return None
    need = ADVISED_PER_COMPONENT * r.components
    per = math.floor(r.tokens * 100 / r.components) / 100  # rounded down: 1535 tokens are 2.99, not 3
    said = (f"the random space has {r.tokens} tokens for its {r.components} components ({per:g} per component, "
            f"fewer than {SPARSE_PER_COMPONENT}): its last components are mostly sampling noise lifted to full "
            f"weight, so the ratios carry little signal. ")
    if m.eligible < need:
        all_of_them = "" if r.tokens == m.eligible else " (--ratio -1 draws them all)"
        return said + (f"The file holds only {m.eligible} tokens to draw{all_of_them}: {need} tokens "
                       f"({ADVISED_PER_COMPONENT} per component) need a larger corpus.")
    return said + (f"--ratio {ratio_for(need, m.lines):g} draws {need} tokens ({ADVISED_PER_COMPONENT} per "
                   f"component) from the {m.lines} lines, or leave --ratio out.")


def missing_words_hint(m) -> str | None:
    """Seed words without a token, and absent words that word pieces of the file spell."""
    said = []
    if m.absent["seeds"]:
        said.append(f"seed words with no token in the file: {', '.join(m.absent['seeds'])}")
    if m.absent["spelled"]:
        said.append(f"the file holds word pieces that spell {', '.join(m.absent['spelled'])}: extract it with "
                    f"--pool words (python -m orvelle.extract) to score whole words")
    return "; ".join(said) or None


def ratio_for(tokens: int, lines: int) -> float:
    """The smallest --ratio of two decimals whose draw, truncated, reaches ``tokens``."""
    ratio = math.ceil(tokens * 100 / lines) / 100
    while math.trunc(ratio * lines) < tokens:
        ratio = round(ratio + 0.01, 2)
    return ratio


def run(features: str | list[str], groups: list[list[str]], *, ratio=None, seed=None, exclude=None, targets=(), draws=10,
        out=".", progress=False, resamples=1000):
    """The analysis behind the command: measure, then the first draw's summary and the CSV files
    into ``out``. Returns the measurement."""
    import orvelle

    with warnings.catch_warnings():
        # Reported in plain words by the command, once.
        warnings.simplefilter("ignore", orvelle.RankDeficiencyWarning)
        warnings.simplefilter("ignore", orvelle.SparseSpaceWarning)
        warnings.simplefilter("ignore", orvelle.MissingWordWarning)
        m = orvelle.measure(features, groups, list(targets), draws, random_token_num=ratio,
                            random_token_seed=seed, exclude_words=exclude, user_friendly=progress, out=out,
                            resamples=resamples)
    m.calculator.save_summary(out)
    m.save(out)
    return m


def _check(args: argparse.Namespace) -> str | None:
    for path in args.features:
        if not os.path.exists(path):
            return f"{path}: no such file"
        if os.path.isdir(path) and len(args.features) > 1:
            return f"{path}: is a folder; give one folder, or feature files"
        if os.path.isdir(path) and not any(is_feature_file_name(n) for n in os.listdir(path)):
            return f"{path}: a folder without *.jsonl feature files"
    if not args.out:
        return "--out must name a folder"
    firsts = [g[0] for g in args.seeds]
    repeated = sorted({w for w in firsts if firsts.count(w) > 1})
    if repeated:
        # Results are keyed by the first word of a group; two groups would share one entry.
        return f"seed groups must start with different words ({', '.join(repeated)} starts more than one)"
    return None


def main(argv: list[str] | None = None) -> int:
    """The command; Ctrl-C raises KeyboardInterrupt here, which ``python -m orvelle`` reports."""
    args = build_parser().parse_args(argv)
    problem = _check(args)
    if problem:
        print(f"orvelle: error: {problem}", file=sys.stderr)
        return 1
    if args.stream:
        os.environ["ORVELLE_STREAM"] = args.stream  # read by the extension, as for calculator()
    from .orvelle import _decomposition_progress

    _decomposition_progress(DECOMPOSITION_LINE_AFTER)
    try:
        targets = list(dict.fromkeys(args.targets + (read_words(args.targets_file) if args.targets_file else [])))
        os.makedirs(args.out, exist_ok=True)
        features = args.features[0] if len(args.features) == 1 else args.features
        m = run(features, args.seeds, ratio=args.ratio, seed=args.seed, exclude=args.exclude,
                targets=targets, draws=args.draws, out=args.out, progress=args.progress, resamples=args.resamples)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        message = str(e) if str(e) else type(e).__name__
        if message == "The space is empty!":
            message += EMPTY_SPACE_HINT
        print(f"orvelle: error: {message}", file=sys.stderr)
        return 1
    finally:
        _decomposition_progress(None)
    problems = rank_problems(m) + [p for p in [sparse_problem(m)] if p]
    for p in problems:
        print(f"orvelle: {'error' if args.strict else 'warning'}: {p}", file=sys.stderr)
    if problems and args.strict:
        return 1
    print(format_table(args.seeds, m))
    first = m.draws[0].seed
    if len(m.draws) > 1:
        print(f"\n{len(m.draws)} draws, seeds {first} to {m.draws[-1].seed}; "
              f"the listing, the summary and word_ratios.csv are of seed {first}.")
    if targets:
        print()
        print(format_targets(m))
        untested = list(dict.fromkeys(t.word for t in m.target_tests() if t.tokens and math.isnan(t.p)))
        if untested and args.resamples:
            print(f"\nno p or q for words in fewer than two lines (or seed groups in fewer than two): "
                  f"{', '.join(untested)}")
    pieces = missing_words_hint(m)
    if pieces:
        print(f"orvelle: warning: {pieces}", file=sys.stderr)
    written = ["random_subspace.txt", "calculator_summary.txt", "word_ratios.csv", "intervals.csv", "draws.csv",
               "target_tests.csv"]
    print(f"\nwrote {', '.join(f'{args.out}/{n}' for n in written)}")
    return 0

"""The analysis over several random draws, with results per word.

``calculator`` scores one random draw of tokens, one ratio per token text. ``measure`` reads the
file and fits the global space once, then repeats the draw for ``draws`` consecutive seeds, so the
spread of every figure over the draws shows how much the draw alone moves it. It also gathers the
ratios per word over all of a word's tokens, and scores chosen target words wherever they occur in
the file, drawn or not. Every vector is in the random space's coordinates, seed and target tokens
included.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import math
import os
import statistics
import threading
from dataclasses import dataclass
from typing import Optional, Sequence

from .orvelle import _measure

# Student's t, 97.5 % quantile, for 1 to 30 degrees of freedom.
_T975 = (12.706205, 4.302653, 3.182446, 2.776445, 2.570582, 2.446912, 2.364624, 2.306004, 2.262157,
         2.228139, 2.200985, 2.178813, 2.160369, 2.144787, 2.131450, 2.119905, 2.109816, 2.100922,
         2.093024, 2.085963, 2.079614, 2.073873, 2.068658, 2.063899, 2.059539, 2.055529, 2.051831,
         2.048407, 2.045230, 2.042272)


def t975(df: int) -> float:
    """The 97.5 % quantile of Student's t with ``df`` degrees of freedom (to about 1e-6)."""
    if df <= len(_T975):
        return _T975[df - 1]
    # Cornish-Fisher expansion around the normal quantile; its error falls below 1e-6 past 30.
    z = 1.959963984540054
    return (z + (z**3 + z) / (4 * df) + (5 * z**5 + 16 * z**3 + 3 * z) / (96 * df**2)
            + (3 * z**7 + 19 * z**5 + 17 * z**3 - 15 * z) / (384 * df**3)
            + (79 * z**9 + 776 * z**7 + 1482 * z**5 - 1920 * z**3 - 945 * z) / (92160 * df**4))


# A random space keeps 512 components; below 3 drawn tokens per component it is sparse, and
# measure() draws 4 per component unless told otherwise.
SPARSE_PER_COMPONENT = 3
ADVISED_PER_COMPONENT = 4


@dataclass(frozen=True)
class WordRatio:
    """One word's bias ratios in one seed space, over its tokens (every layer and occurrence)."""
    mean: float   # nan for a word without tokens
    sd: float     # sample standard deviation (divisor count - 1); nan below two tokens
    count: int

    @property
    def interval(self) -> tuple[float, float]:
        """95 % Student-t interval of the mean over the tokens; nan below two tokens."""
        if self.count < 2:
            return (math.nan, math.nan)
        half = t975(self.count - 1) * self.sd / math.sqrt(self.count)
        return (self.mean - half, self.mean + half)


@dataclass(frozen=True)
class Interval:
    """A figure over the draws: its mean, and the central 95 % of the draws (2.5 % and 97.5 %
    quantiles, linear interpolation; nan with fewer than two draws or a nan among them)."""
    mean: float
    lo: float
    hi: float
    draws: int


@dataclass(frozen=True)
class RankReport:
    """What a reduction kept against what its tokens can carry: components at or below the
    numerical-rank tolerance hold rounding noise, which standardisation lifts to unit variance."""
    tokens: int
    width: int
    components: int
    rank: int
    noise: int

    @property
    def deficient(self) -> bool:
        return self.noise > 0

    @property
    def sparse(self) -> bool:
        """Fewer than 3 tokens per kept component: the last components are mostly sampling noise,
        lifted to full weight by the standardisation (SparseSpaceWarning)."""
        return self.tokens < SPARSE_PER_COMPONENT * self.components


@dataclass(frozen=True)
class Draw:
    seed: int
    random_space: RankReport
    mean: dict[str, float]                # per seed space, as Calculator.bias_sum_average()
    mean_abs: dict[str, float]            # as Calculator.bias_asb_sum_average()
    targets: dict[str, dict[str, float]]  # space -> target word -> mean ratio over its tokens


@dataclass(frozen=True)
class TargetDifference:
    """A target word's ratio in ``space`` minus its ratio in ``other``, over the draws."""
    word: str
    space: str
    other: str
    mean: float
    lo: float
    hi: float
    sign_agreement: float  # share of draws whose difference has the sign of the mean
    draws: int


@dataclass(frozen=True)
class TargetTest:
    """Is a target word's ratio in ``space`` rather than ``other`` different from zero, given the
    sentences? ``estimate`` is the difference averaged over the draws; the 95 % confidence interval
    and the two-sided ``p`` account for the sampling of sentences (a bootstrap of lines, seed and
    target tokens resampled together) and for the draw; ``q`` is the Benjamini-Hochberg adjusted p
    over every row of the run; ``effect_size`` is the estimate over the pooled standard deviation of
    the per-token differences. Interval and p are nan when the word, or a seed group, occurs in
    fewer than two lines."""
    word: str
    space: str
    other: str
    estimate: float
    ci_low: float
    ci_high: float
    p: float
    q: float
    effect_size: float
    tokens: int
    lines: int


TEST_COLUMNS = [f.name for f in dataclasses.fields(TargetTest)]


def spread(values: Sequence[float]) -> Interval:
    n = len(values)
    mean = statistics.fmean(values) if n else math.nan
    if n < 2 or any(math.isnan(v) for v in values):
        return Interval(mean, math.nan, math.nan, n)
    cuts = statistics.quantiles(values, n=40, method="inclusive")
    return Interval(mean, cuts[0], cuts[-1], n)


def _words(raw: dict, spaces: list[str]) -> dict[str, dict[str, WordRatio]]:
    return {space: {w: WordRatio(m, sd, c) for w, m, sd, c in zip(raw["words"], means, sds, raw["count"])}
            for space, means, sds in zip(spaces, raw["mean"], raw["sd"])}


def _rank(raw: dict) -> RankReport:
    return RankReport(**raw)


class Measurement:
    """What ``measure`` found. ``calculator``, ``words`` and ``targets`` belong to the first draw
    (the one whose listing is written); ``draws`` holds every draw, the first included."""

    def __init__(self, raw: dict):
        self.spaces: list[str] = raw["spaces"]
        self.calculator = raw["calculator"]
        self.words = _words(raw["words"], self.spaces)
        self.targets = _words(raw["targets"], self.spaces)
        self.target_words: list[str] = raw["targets"]["words"]
        self.global_space = _rank(raw["global_space"])
        self.lines: int = raw["lines"]
        self.requested: int = raw["requested"]  # random tokens asked of each draw; 0 or below: all
        self.eligible: int = raw["eligible"]    # tokens a draw could select (not excluded)
        # Seed and target words without a token in the file, and those of them that word pieces
        # of the file spell (a file extracted with pool="pieces").
        self.absent: dict[str, list[str]] = raw.get("absent", {"seeds": [], "targets": [], "spelled": []})
        self.draws = [
            Draw(d["seed"], _rank(d["random_space"]), dict(zip(self.spaces, d["mean"])),
                 dict(zip(self.spaces, d["mean_abs"])),
                 {s: dict(zip(self.target_words, m)) for s, m in zip(self.spaces, d["target_mean"])})
            for d in raw["draws"]]
        tests = raw["target_tests"]
        self._tests = [TargetTest(*row) for row in zip(*(tests[c] for c in TEST_COLUMNS))]

    def mean_ratio(self) -> dict[str, Interval]:
        """Each space's mean bias ratio over the draws."""
        return {s: spread([d.mean[s] for d in self.draws]) for s in self.spaces}

    def mean_abs_ratio(self) -> dict[str, Interval]:
        return {s: spread([d.mean_abs[s] for d in self.draws]) for s in self.spaces}

    def target_ratios(self) -> dict[str, dict[str, Interval]]:
        """space -> target word -> its mean ratio over the draws."""
        return {s: {w: spread([d.targets[s][w] for d in self.draws]) for w in self.target_words}
                for s in self.spaces}

    def target_differences(self) -> list[TargetDifference]:
        """For every target word and every pair of spaces (in seed order), the difference of its
        ratios over the draws: the association the seed groups are meant to contrast."""
        out = []
        for i, space in enumerate(self.spaces):
            for other in self.spaces[i + 1:]:
                for w in self.target_words:
                    diffs = [d.targets[space][w] - d.targets[other][w] for d in self.draws]
                    s = spread(diffs)
                    agree = (math.nan if math.isnan(s.mean) else
                             sum(1 for x in diffs if x != 0 and (x > 0) == (s.mean > 0)) / len(diffs))
                    out.append(TargetDifference(w, space, other, s.mean, s.lo, s.hi, agree, s.draws))
        return out

    def target_tests(self) -> list[TargetTest]:
        """Per pair of spaces (in seed order) and target word: the difference with its 95 %
        confidence interval, p, q and effect size. Empty without targets."""
        return list(self._tests)

    def save(self, folder: str) -> list[str]:
        """Writes word_ratios.csv, intervals.csv, draws.csv and target_tests.csv into ``folder``
        (which must exist); returns their paths."""
        paths = [os.path.join(folder, name)
                 for name in ("word_ratios.csv", "intervals.csv", "draws.csv", "target_tests.csv")]
        _write(paths[0], ["space", "word", "kind", "count", "mean", "sd", "ci_low", "ci_high"],
               self._word_rows())
        _write(paths[1], ["quantity", "space", "other", "word", "draws", "mean", "lo", "hi", "sign_agreement"],
               self._interval_rows())
        _write(paths[2], ["seed", "space", "mean", "mean_abs", "random_tokens", "components", "rank",
                          "rank_deficient", "sparse"],
               ([d.seed, s, _num(d.mean[s]), _num(d.mean_abs[s]), d.random_space.tokens,
                 d.random_space.components, d.random_space.rank, int(d.random_space.deficient),
                 int(d.random_space.sparse)]
                for d in self.draws for s in self.spaces))
        _write(paths[3], TEST_COLUMNS, ([_cell(v) for v in dataclasses.astuple(t)] for t in self._tests))
        return paths

    def _word_rows(self):
        for space in self.spaces:
            for kind, table in (("drawn", self.words), ("target", self.targets)):
                for word, r in table[space].items():
                    lo, hi = r.interval
                    yield [space, word, kind, r.count, _num(r.mean) if r.count else "",
                           _num(r.sd) if r.count > 1 else "", _num(lo) if r.count > 1 else "",
                           _num(hi) if r.count > 1 else ""]

    def _interval_rows(self):
        def row(quantity, space, other, word, iv, agreement=""):
            bounds = ["", ""] if iv.draws < 2 else [_num(iv.lo), _num(iv.hi)]
            return [quantity, space, other, word, iv.draws, _num(iv.mean), *bounds, agreement]

        mean, mean_abs = self.mean_ratio(), self.mean_abs_ratio()
        for s in self.spaces:
            yield row("mean ratio", s, "", "", mean[s])
            yield row("mean |ratio|", s, "", "", mean_abs[s])
        for s, words in self.target_ratios().items():
            for w, iv in words.items():
                yield row("target ratio", s, "", w, iv)
        for t in self.target_differences():
            yield row("target difference", t.space, t.other, t.word,
                      Interval(t.mean, t.lo, t.hi, t.draws), _num(t.sign_agreement))


def _num(v: float) -> str:
    return repr(float(v))


def _cell(v):
    """A CSV cell: floats as their repr, empty where undefined (nan)."""
    if isinstance(v, float):
        return "" if math.isnan(v) else _num(v)
    return v


def _write(path: str, header: list[str], rows) -> None:
    """Writes beside ``path`` and renames the file into place once complete, so that a failed or
    interrupted write leaves the previous file, never a part of the new one."""
    part = f"{path}.{os.getpid()}-{threading.get_ident()}.part"  # its own for every writer
    try:
        with open(part, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(header)
            w.writerows(rows)
        os.replace(part, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(part)
        raise


# A corpus folder's shards: feature files, plain or compressed (the reader tells gzip and zstd
# from plain text by their first bytes; the names only pick the files).
FEATURE_SUFFIXES = (".jsonl", ".jsonl.gz", ".jsonl.zst", ".jsonl.zstd")


def is_feature_file_name(name: str) -> bool:
    return name.endswith(FEATURE_SUFFIXES)


def corpus_files(path: str | os.PathLike | Sequence[str | os.PathLike]) -> list[str]:
    """The feature files of a corpus: one file, a folder (its *.jsonl files, compressed ones
    included, in name order), or a list of files in the order given."""
    if isinstance(path, (str, os.PathLike)):
        path = os.fspath(path)
        if not os.path.isdir(path):
            return [path]
        files = sorted(os.path.join(path, n) for n in os.listdir(path) if is_feature_file_name(n))
        if not files:
            raise ValueError(f"{path}: no *.jsonl feature files in this folder")
        return [f for f in files if os.path.isfile(f)]
    files = [os.fspath(p) for p in path]
    if not files:
        raise ValueError("no feature files given")
    return files


def measure(path: str | os.PathLike | Sequence[str | os.PathLike], subspace_seeds: Sequence[Sequence[str]], targets: Sequence[str] = (), draws: int = 10, *,
            random_token_num: Optional[float] = None, random_token_seed: Optional[int] = None,
            exclude_words: Optional[Sequence[str]] = None, pca_dimension: Optional[int] = None,
            user_friendly: bool = False, out: Optional[str] = None, resamples: int = 1000) -> Measurement:
    """The analysis of ``calculator`` for ``draws`` random draws, seeds ``random_token_seed``
    (default 1) and the ``draws - 1`` following ones; the file is read and the global space fitted
    once. Without ``random_token_num`` each draw takes 4 tokens per kept component (2 048), or
    0.8 × lines when that is more, or every eligible token when the file has fewer. ``path`` is a feature file, or a corpus in shards: a folder of *.jsonl files (or *.jsonl.gz, *.jsonl.zst; name
    order) or a list of files, read as their concatenation would be, with the same results bit
    for bit. ``targets`` are scored over all their tokens in the file. With ``out``, the first draw's
    random_subspace.txt is written there (the folder must exist). Failures inside the analysis
    raise the same PanicException as ``calculator``; a space too small for the components it keeps
    issues a RankDeficiencyWarning (once for the random spaces of all draws), and random spaces of
    fewer than 3 tokens per component a SparseSpaceWarning. With targets, ``resamples`` bootstrap
    resamples of the lines (seeded by ``random_token_seed``) give ``target_tests()``; 0 leaves
    their intervals and p-values out."""
    if isinstance(targets, str):
        raise TypeError("targets must be a sequence of words, not a str")
    if not isinstance(draws, int) or isinstance(draws, bool) or draws < 1:
        raise ValueError(f"draws must be a whole number of at least 1, not {draws!r}")
    if not isinstance(resamples, int) or isinstance(resamples, bool) or resamples < 0:
        raise ValueError(f"resamples must be a whole number of at least 0, not {resamples!r}")
    files = corpus_files(path)
    raw = _measure(files[0], subspace_seeds, random_token_num, random_token_seed, out, exclude_words,
                   user_friendly, pca_dimension, list(targets), draws, files if len(files) > 1 else None,
                   resamples)
    return Measurement(raw)

import csv
import json
import math
import warnings

import numpy as np
import pytest

import orvelle
from features import write_planted

SEEDS = [["he"], ["she"]]
HE, SHE = "Space of he", "Space of she"


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    return str(write_planted(tmp_path_factory.mktemp("planted") / "planted.jsonl"))


@pytest.fixture(scope="module")
def everything(planted, tmp_path_factory):
    """Every token drawn: each seed token is in the listing, so the listing alone gives the centres."""
    out = tmp_path_factory.mktemp("all")
    m = orvelle.measure(planted, SEEDS, ["king", "absent"], 2, random_token_num=-1, out=str(out))
    return m, out / "random_subspace.txt"


def read_listing(path):
    texts, rows = [], []
    for line in path.read_text(encoding="utf-8").splitlines():
        text, _, _, values = line.split(" ")
        texts.append(text)
        rows.append([float(v) for v in values.split(",")[:-1]])
    return np.array(texts), np.array(rows)


def cosine(rows, centre):
    return rows @ centre / (np.linalg.norm(rows, axis=1) * np.linalg.norm(centre))


def test_ratios_per_word_follow_from_the_listing(everything):
    m, listing = everything
    texts, rows = read_listing(listing)
    centres = {HE: rows[texts == "he"].mean(axis=0), SHE: rows[texts == "she"].mean(axis=0)}
    ideal = (centres[HE] + centres[SHE]) / 2
    for space, centre in centres.items():
        ratios = cosine(rows, centre) / cosine(centre[None], ideal)[0]
        assert list(m.words[space]) == list(dict.fromkeys(texts))
        for word, got in m.words[space].items():
            want = ratios[texts == word]
            assert got.count == len(want)
            assert got.mean == pytest.approx(want.mean(), rel=1e-9, abs=1e-12)
            assert got.sd == pytest.approx(want.std(ddof=1), rel=1e-9)
        # A target scored over all its tokens agrees with the same tokens drawn.
        assert m.targets[space]["king"].mean == pytest.approx(m.words[space]["king"].mean, rel=1e-12)
        assert m.targets[space]["absent"].count == 0 and math.isnan(m.targets[space]["absent"].mean)


def test_first_draw_is_the_calculator_with_that_seed(planted, everything, tmp_path):
    m, _ = everything
    calc = orvelle.calculator(planted, SEEDS, random_token_num=-1, subspace_folder_path=str(tmp_path))
    assert m.draws[0].mean == calc.bias_sum_average() == m.calculator.bias_sum_average()
    assert m.draws[0].mean_abs == calc.bias_asb_sum_average()
    assert [d.seed for d in m.draws] == [1, 2]


@pytest.fixture(scope="module")
def without_king(planted):
    return orvelle.measure(planted, SEEDS, ["king", "queen", "absent"], 4, random_token_num=7,
                           exclude_words=["king"])


def test_planted_association_is_recovered_in_every_draw(without_king):
    m = without_king
    assert "king" not in m.words[HE] and m.targets[HE]["king"].count == m.targets[SHE]["king"].count > 40
    diffs = {t.word: t for t in m.target_differences()}
    assert diffs["king"].lo > 0 and diffs["king"].sign_agreement == 1.0
    assert diffs["queen"].hi < 0 and diffs["queen"].sign_agreement == 1.0
    assert all(d.targets[HE]["king"] > d.targets[SHE]["king"] for d in m.draws)
    assert math.isnan(diffs["absent"].mean) and math.isnan(diffs["absent"].sign_agreement)
    for space, iv in m.mean_ratio().items():
        assert iv.draws == 4 and iv.lo <= iv.mean <= iv.hi


def test_csv_files(without_king, tmp_path):
    m = without_king
    words, intervals, draws, tests = (list(csv.DictReader(open(p, newline="", encoding="utf-8")))
                                      for p in m.save(str(tmp_path)))
    for space in m.spaces:
        mine = [r for r in words if r["space"] == space]
        assert [r["word"] for r in mine if r["kind"] == "drawn"] == list(m.words[space])
        assert [r["word"] for r in mine if r["kind"] == "target"] == ["king", "queen", "absent"]
    absent = next(r for r in words if r["word"] == "absent")
    assert absent["count"] == "0" and absent["mean"] == absent["sd"] == absent["ci_low"] == ""
    king = next(r for r in words if r["word"] == "king" and r["space"] == HE)
    assert float(king["ci_low"]) < float(king["mean"]) < float(king["ci_high"])
    row = next(r for r in intervals if r["quantity"] == "target difference" and r["word"] == "king")
    assert (row["space"], row["other"], row["draws"], row["sign_agreement"]) == (HE, SHE, "4", "1.0")
    assert float(row["lo"]) == m.target_differences()[0].lo
    assert [(r["seed"], r["space"]) for r in draws] == [(str(s), sp) for s in range(1, 5) for sp in (HE, SHE)]
    for r, (d, sp) in zip(draws, [(d, sp) for d in m.draws for sp in (HE, SHE)]):
        assert (float(r["mean"]), float(r["mean_abs"])) == (d.mean[sp], d.mean_abs[sp])
    assert [(r["word"], r["space"], r["other"]) for r in tests] == [(w, HE, SHE) for w in ("king", "queen", "absent")]
    for r, t in zip(tests, m.target_tests()):
        assert [float(r[c]) if r[c] else math.nan for c in ("estimate", "ci_low", "ci_high", "p", "q")] == \
            pytest.approx([t.estimate, t.ci_low, t.ci_high, t.p, t.q], rel=0, nan_ok=True)
    assert tests[2]["tokens"] == "0" and tests[2]["estimate"] == tests[2]["p"] == ""
    # Every word's interval is its mean ± t(count - 1) × sd / √count.
    for r in words:
        if r["ci_low"]:
            half = orvelle.measurement.t975(int(r["count"]) - 1) * float(r["sd"]) / math.sqrt(int(r["count"]))
            assert float(r["ci_low"]) == pytest.approx(float(r["mean"]) - half, rel=1e-12, abs=1e-15)
            assert float(r["ci_high"]) == pytest.approx(float(r["mean"]) + half, rel=1e-12, abs=1e-15)


def test_target_tests_find_the_planted_association(without_king):
    m = without_king
    king, queen, absent = m.target_tests()
    diffs = {t.word: t.mean for t in m.target_differences()}
    for t in (king, queen):
        assert t.estimate == pytest.approx(diffs[t.word], rel=1e-12)
        assert t.ci_low < t.estimate < t.ci_high and t.p <= t.q < 1e-4
        assert t.lines == t.tokens == m.targets[HE][t.word].count
        assert math.copysign(1, t.effect_size) == math.copysign(1, t.estimate)
    assert king.ci_low > 0 and queen.ci_high < 0
    assert absent.tokens == absent.lines == 0 and math.isnan(absent.estimate) and math.isnan(absent.q)


def test_target_tests_are_fixed_by_the_seed(planted):
    def tests(**kwargs):
        args = dict(random_token_num=7, draws=3) | kwargs
        return orvelle.measure(planted, SEEDS, ["king", "the"], args.pop("draws"), **args).target_tests()

    first = tests()
    assert tests() == first
    none = tests(resamples=0)
    assert [t.estimate for t in none] == [t.estimate for t in first]
    assert all(math.isnan(t.p) and math.isnan(t.ci_low) for t in none)


# The interval of a mean over count tokens uses count - 1 degrees of freedom.
@pytest.mark.parametrize("count,t", [(2, 12.706205), (3, 4.302653), (31, 2.042272), (41, 2.021075), (1001, 1.962339)])
def test_word_interval_uses_count_minus_one_degrees_of_freedom(count, t):
    from orvelle.measurement import WordRatio
    lo, hi = WordRatio(mean=1.0, sd=2.0, count=count).interval
    assert (lo, hi) == pytest.approx((1 - t * 2 / math.sqrt(count), 1 + t * 2 / math.sqrt(count)), rel=1e-6)


@pytest.mark.parametrize("kwargs,error", [
    (dict(draws=0), ValueError), (dict(draws=True), ValueError), (dict(targets="king"), TypeError),
    (dict(resamples=-1), ValueError)])
def test_bad_arguments(planted, kwargs, error):
    with pytest.raises(error):
        orvelle.measure(planted, SEEDS, **kwargs)


def write_pieces(path, lines=60, width=520):
    """A file extracted piece by piece: "ph ##arm ##ac ##ist" in every line, with he and she."""
    rng = np.random.default_rng(2)
    words = ["he", "said", "the", "ph", "##arm", "##ac", "##ist", "left", "she", "nod", "##ded"]
    with open(path, "w", encoding="utf-8") as f:
        for i in range(lines):
            f.write(json.dumps({"linex_index": i, "features": [
                {"token": w, "layers": [{"index": k, "values": rng.standard_normal(width).round(5).tolist()}
                                        for k in (11, 12)]} for w in words]}) + "\n")
    return str(path)


def test_absent_words_are_named_with_the_pieces_that_spell_them(tmp_path):
    path = write_pieces(tmp_path / "pieces.jsonl")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        m = orvelle.measure(path, [["he", "hers"], ["she"]], ["pharmacist", "nodded", "ghost", "dedn"], 1,
                            random_token_num=-1)
        orvelle.calculator(path, [["he", "hers"], ["she"]], random_token_num=-1, subspace_folder_path=str(tmp_path))
    said = [str(w.message) for w in caught if w.category is orvelle.MissingWordWarning]
    assert said == [
        "seed word with no token in the file: hers",
        "target words with no token in the file: pharmacist, nodded, ghost, dedn (their ratios are NaN); the file "
        "holds word pieces that spell pharmacist, nodded: extract it with --pool words (whole words) to find them",
        "seed word with no token in the file: hers"]
    assert m.absent == {"seeds": ["hers"], "targets": ["pharmacist", "nodded", "ghost", "dedn"],
                        "spelled": ["pharmacist", "nodded"]}
    assert math.isnan(m.targets[HE]["pharmacist"].mean)

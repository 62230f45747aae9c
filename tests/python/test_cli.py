import json
import math
import pathlib
import re
import subprocess
import sys

import pytest

import featurefile
import orvelle
from orvelle import cli

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
# The demo's settings (examples/demo.py).
DEMO_RATIO = 6
DEMO_EXCLUDE = ["<s>", "</s>", ".", ",", "he", "him", "she", "her"]
BUNDLED = EXAMPLES / "features.jsonl.zst"


def run_cli(args, cwd):
    return subprocess.run([sys.executable, "-m", "orvelle", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd)


@pytest.fixture(scope="module")
def example():
    return featurefile.read(BUNDLED)


@pytest.fixture
def features(tmp_path):
    path = tmp_path / "f.jsonl"
    path.write_text('{"linex_index":0,"features":[{"token":"he","layers":[{"index":0,"values":[1,2]}]}]}\n')
    return path


@pytest.mark.parametrize("args,status,message", [
    (["missing.jsonl", "--seeds", "he,him"], 1, "orvelle: error: missing.jsonl: no such file"),
    (["sub", "--seeds", "he,him"], 1, "orvelle: error: sub: a folder without *.jsonl feature files"),
    (["{f}", "sub", "--seeds", "he,him"], 1, "orvelle: error: sub: is a folder; give one folder, or feature files"),
    (["{f}", "--seeds", "he,,him"], 2, "argument --seeds: bad seed group 'he,,him'"),
    (["{f}", "--seeds", ","], 2, "argument --seeds: bad seed group ','"),
    (["{f}", "--seeds", "he, "], 2, "argument --seeds: bad seed group 'he, '"),
    (["{f}"], 2, "the following arguments are required: --seeds"),
    (["{f}", "--seeds", "he,him", "--ratio", "many"], 2, "argument --ratio: invalid float value"),
    (["{f}", "--seeds", "he,him", "--seeds", "he,she"], 1,
     "orvelle: error: seed groups must start with different words (he starts more than one)"),
    (["{f}", "--seeds", "he", "--out", ""], 1, "orvelle: error: --out must name a folder"),
])
def test_refused_before_the_analysis(tmp_path, features, args, status, message):
    (tmp_path / "sub").mkdir()
    r = run_cli([a.replace("{f}", str(features)) for a in args], tmp_path)
    assert r.returncode == status
    assert message in r.stderr
    assert r.stdout == "" and "Traceback" not in r.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.jsonl", "sub"]


def test_a_failed_analysis_is_one_line_without_traceback(tmp_path):
    # A file the analysis refuses: whatever the check, the program reports it and fails.
    bad = tmp_path / "bad.jsonl"
    bad.write_text("not json\n")
    r = run_cli([bad, "--seeds", "he,him", "--out", tmp_path / "out"], tmp_path)
    assert r.returncode == 1
    assert r.stdout == ""
    assert "Traceback" not in r.stderr
    ours = [line for line in r.stderr.splitlines() if line.startswith("orvelle: error: ")]
    assert len(ours) == 1 and len(ours[0]) > len("orvelle: error: ")


class FakeCalculator:
    def __init__(self):
        self.saved = []

    def save_summary(self, path=None):
        self.saved.append(path)


def fake_measurement(spaces, means, abs_means, targets=(), target_means=(), counts=(), pq=()):
    """A Measurement of len(means) draws: means[d][s] for draw d and space s; target_means[d][s][t];
    pq[t]: the p and q of target t's test (nan when not given)."""
    rank = dict(tokens=2048, width=512, components=512, rank=512, noise=0)
    table = dict(words=list(targets), count=list(counts), mean=[[0.0] * len(targets)] * len(spaces),
                 sd=[[0.0] * len(targets)] * len(spaces))
    draws = [dict(seed=d + 1, random_space=rank, mean=m, mean_abs=a,
                  target_mean=target_means[d] if target_means else [[]] * len(spaces), target_sd=[])
             for d, (m, a) in enumerate(zip(means, abs_means))]
    return orvelle.Measurement(dict(spaces=spaces, calculator=FakeCalculator(), global_space=rank, lines=40,
                                    requested=2048, eligible=4000,
                                    words=dict(words=[], count=[], mean=[[]] * len(spaces), sd=[[]] * len(spaces)),
                                    targets=table, draws=draws, target_tests=fake_tests(spaces, targets, pq)))


def fake_tests(spaces, targets, pq):
    nan = float("nan")
    pairs = [(s, o) for i, s in enumerate(spaces) for o in spaces[i + 1:]]
    rows = [(w, s, o, nan, nan, nan, *(pq[t] if pq else (nan, nan)), nan, 1, 1)
            for s, o in pairs for t, w in enumerate(targets)]
    return {c: [r[i] for r in rows] for i, c in enumerate(orvelle.measurement.TEST_COLUMNS)}


def test_arguments_reach_the_analysis_and_the_table_keeps_group_order(tmp_path, monkeypatch, capsys):
    calls = []
    # Spaces come back in another order than the groups were given.
    fake = fake_measurement(["Space of she", "Space of he"], [[-0.25, 0.125]], [[float("nan"), 1.5]],
                            ["pilot", "chef", "nurse"], [[[0.0] * 3] * 2], [1, 1, 1])

    def measure(*args, **kwargs):
        calls.append((args, kwargs))
        return fake

    monkeypatch.setattr(orvelle, "measure", measure)
    out = tmp_path / "new" / "dir"
    features = tmp_path / "f.jsonl"
    features.write_text("")
    words = tmp_path / "words.txt"
    words.write_text("# occupations\nnurse\n\npilot\n")
    status = cli.main([str(features), "--seeds", "he,him", "--seeds", " she , her", "--ratio", "16",
                       "--seed", "-7", "--exclude", "<s>", "</s>", "--out", str(out), "--progress",
                       "--targets", "pilot,chef", "--targets-file", str(words), "--draws", "1"])
    assert status == 0
    assert calls == [((str(features), [["he", "him"], ["she", "her"]], ["pilot", "chef", "nurse"], 1),
                      dict(random_token_num=16.0, random_token_seed=-7, out=str(out),
                           exclude_words=["<s>", "</s>"], user_friendly=True, resamples=1000))]
    assert out.is_dir() and fake.calculator.saved == [str(out)]
    assert sorted(p.name for p in out.iterdir()) == ["draws.csv", "intervals.csv", "target_tests.csv",
                                                     "word_ratios.csv"]
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["seed", "space", "words", "mean", "bias", "ratio", "mean", "|bias", "ratio|"]
    assert lines[1].split() == ["Space", "of", "he", "he,him", "0.125000", "1.500000"]
    assert lines[2].split() == ["Space", "of", "she", "she,her", "-0.250000", "nan"]


def test_draws_print_intervals_and_target_differences(tmp_path, monkeypatch, capsys):
    # Three draws; the target's he - she difference is 0.5, -0.1, 0.3: mean 0.233333, two of three positive.
    fake = fake_measurement(["Space of he", "Space of she"], [[0.1, 0.2], [0.3, 0.0], [0.2, 0.1]],
                            [[1, 1], [1, 1], [1, 1]], ["nurse", "ghost"], [
                                [[0.5, 0.0], [0.0, 0.0]], [[-0.1, 0.0], [0.0, 0.0]], [[0.4, 0.0], [0.1, 0.0]]],
                            [4, 0], [(0.0123, 0.0246), (float("nan"), float("nan"))])
    monkeypatch.setattr(orvelle, "measure", lambda *a, **k: fake)
    (tmp_path / "f.jsonl").write_text("")
    assert cli.main([str(tmp_path / "f.jsonl"), "--seeds", "he", "--seeds", "she", "--targets", "nurse,ghost",
                     "--draws", "3", "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert out.splitlines()[1].split() == ["Space", "of", "he", "he", "0.200000", "[0.105000,", "0.295000]",
                                           "1.000000", "[1.000000,", "1.000000]"]
    assert "3 draws, seeds 1 to 3" in out
    row = next(line for line in out.splitlines() if line.startswith("nurse"))
    assert row.split() == ["nurse", "4", "he", "-", "she", "0.233333", "[-0.080000,", "0.490000]", "2/3",
                           "0.012", "0.025"]
    ghost = next(line for line in out.splitlines() if line.startswith("ghost"))
    assert ghost.split() == ["ghost", "0", "he", "-", "she", "not", "in", "the", "file"]


@pytest.mark.parametrize("args,message", [
    (["--draws", "0"], "argument --draws: '0' is not a whole number of at least 1"),
    (["--resamples", "-1"], "argument --resamples: '-1' is not a whole number of at least 0"),
    (["--targets", "a,,b"], "argument --targets: bad word list 'a,,b'"),
])
def test_bad_measurement_arguments(tmp_path, features, args, message):
    r = run_cli([features, "--seeds", "he", *args], tmp_path)
    assert r.returncode == 2 and message in r.stderr


def test_defaults_are_left_to_the_analysis(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(orvelle, "measure",
                        lambda *a, **k: calls.append((a[2:], k)) or fake_measurement(["Space of he"], [[0.0]], [[0.0]]))
    monkeypatch.chdir(tmp_path)
    (tmp_path / "f.jsonl").write_text("")
    assert cli.main(["f.jsonl", "--seeds", "he"]) == 0
    assert calls == [(([], 10), dict(random_token_num=None, random_token_seed=None, out=".",
                                     exclude_words=None, user_friendly=False, resamples=1000))]


@pytest.mark.parametrize("raised,shown", [
    (TypeError("argument 'path': bad"), "orvelle: error: argument 'path': bad"),
    (OSError(), "orvelle: error: OSError"),
])
def test_python_errors_are_reported_like_panics(tmp_path, monkeypatch, capsys, raised, shown):
    def measure(*a, **k):
        raise raised

    monkeypatch.setattr(orvelle, "measure", measure)
    (tmp_path / "f.jsonl").write_text("")
    assert cli.main([str(tmp_path / "f.jsonl"), "--seeds", "he", "--out", str(tmp_path)]) == 1
    assert capsys.readouterr().err.strip() == shown


def test_interrupt_is_not_swallowed(tmp_path, monkeypatch):
    def measure(*a, **k):
        raise KeyboardInterrupt

    monkeypatch.setattr(orvelle, "measure", measure)
    (tmp_path / "f.jsonl").write_text("")
    with pytest.raises(KeyboardInterrupt):
        cli.main([str(tmp_path / "f.jsonl"), "--seeds", "he", "--out", str(tmp_path)])


# The bundled example.

def test_bundled_example_is_a_valid_feature_file(example):
    sentences = (EXAMPLES / "sentences.txt").read_text(encoding="utf-8").splitlines()
    assert BUNDLED.stat().st_size < 20_000_000
    assert [i for i, _ in example] == list(range(len(sentences)))
    for sentence, (_, features) in zip(sentences, example):
        texts = [t for t, _ in features]
        assert texts[0] == "<s>" and texts[-1] == "</s>"
        # Whole words, lower-cased by the tokenizer, spell the sentence.
        assert "".join(texts[1:-1]) == sentence.lower().replace(" ", "")
        for _, records in features:
            assert [i for i, _ in records] == [12]
            assert all(len(values) == 768 for _, values in records)


def test_bundled_example_suits_the_demo(example):
    groups = json.loads((EXAMPLES / "seeds.json").read_text(encoding="utf-8"))
    texts = [t for _, features in example for t, records in features for _ in records]
    for group in groups:
        assert sum(texts.count(w) for w in group) >= 300, group
    with open(EXAMPLES / "occupations.tsv", encoding="utf-8") as f:
        occupations = [line.split("\t")[0] for line in f if not line.startswith("#")][1:]
    assert all(texts.count(w) == 20 for w in occupations)
    # The demo's draw: at least 4 tokens per component of the random space, and a third left out,
    # so that draws differ.
    eligible = sum(t not in DEMO_EXCLUDE for t in texts)
    drawn = min(math.trunc(DEMO_RATIO * len(example)), eligible)
    assert 4 * 512 <= drawn <= 0.7 * eligible


@pytest.fixture(scope="module")
def analysis_available(tmp_path_factory):
    path = tmp_path_factory.mktemp("probe") / "f.jsonl"
    path.write_text("")
    try:
        orvelle.calculator(str(path), [["he"]], subspace_folder_path=str(path.parent))
    except BaseException as e:  # noqa: BLE001
        if "not built yet" in str(e):
            pytest.skip("the analysis is not built in this version of the extension")


def test_demo_settings_run_on_the_bundled_example(tmp_path, analysis_available):
    args = [BUNDLED, "--seeds", "he,him", "--seeds", "she,her", "--ratio", DEMO_RATIO,
            "--exclude", *DEMO_EXCLUDE, "--out", tmp_path / "out"]
    r = run_cli(args, tmp_path)
    assert r.returncode == 0, r.stderr
    rows = r.stdout.splitlines()[1:3]
    assert [row.split()[:3] for row in rows] == [["Space", "of", "he"], ["Space", "of", "she"]]
    for row in rows:
        # mean [lo, hi] and mean |ratio| [lo, hi] over the draws
        mean, lo, hi, mean_abs, abs_lo, abs_hi = (float(f.strip("[],")) for f in row.split()[-6:])
        assert lo <= mean <= hi and abs_lo <= mean_abs <= abs_hi and mean_abs >= abs(mean)
    listing = (tmp_path / "out" / "random_subspace.txt").read_text(encoding="utf-8")
    assert listing
    summary = (tmp_path / "out" / "calculator_summary.txt").read_text(encoding="utf-8")
    assert summary.startswith('ideal_similarity: {"Space of ')


def test_decompositions_show_a_line_with_their_time(tmp_path, monkeypatch, capfd, analysis_available):
    # Drawn once a decomposition has run DECOMPOSITION_LINE_AFTER seconds: the global space's, then the
    # random space's; off again after the command, whatever it drew.
    monkeypatch.setattr(cli, "DECOMPOSITION_LINE_AFTER", 0.0)
    args = [BUNDLED, "--seeds", "he,him", "--seeds", "she,her", "--ratio", DEMO_RATIO, "--draws", "1",
            "--out", tmp_path / "out"]
    assert cli.main([str(a) for a in args]) == 0
    err = capfd.readouterr().err
    for d in (768, 512):
        assert re.search(rf"^\[ +Decomposition\] {d} x {d} covariance done \[\d\d:\d\d:\d\d\]$", err, re.M), err
    orvelle.calculator(str(BUNDLED), [["he"]], random_token_num=DEMO_RATIO, subspace_folder_path=str(tmp_path))
    assert "Decomposition" not in capfd.readouterr().err

import json
import math
import os
import re
import subprocess
import sys

import pytest

import orvelle
from features import write_features
from terminal import run_on_terminal

SEEDS = [["he", "him"], ["she", "her"]]
UNWRAP = "called `Result::unwrap()` on an `Err` value: "


@pytest.fixture(scope="module")
def features(tmp_path_factory):
    return str(write_features(tmp_path_factory.mktemp("data") / "features.jsonl"))


def test_defaults_write_listing_in_current_folder(features, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    calc = orvelle.calculator(features, SEEDS)
    listing = (tmp_path / "random_subspace.txt").read_text().splitlines()
    assert len(listing) == int(0.8 * 40)
    text, line, layer, values = listing[0].split(" ")
    assert layer == "12" and values.endswith(",") and len(values.split(",")) == 513
    assert set(calc.bias_sum_average()) == {"Space of he", "Space of she"}


@pytest.mark.parametrize("folder,written", [("out", "out/random_subspace.txt"), ("out/", "out//random_subspace.txt")])
def test_listing_path_rule(features, tmp_path, folder, written):
    (tmp_path / "out").mkdir()
    orvelle.calculator(features, SEEDS, subspace_folder_path=str(tmp_path / folder))
    assert (tmp_path / written).exists()


def test_same_seed_same_listing_other_seed_other_listing(features, tmp_path):
    for name, seed in [("a", 7), ("b", 7), ("c", 8)]:
        (tmp_path / name).mkdir()
        orvelle.calculator(features, SEEDS, random_token_seed=seed, subspace_folder_path=str(tmp_path / name))
    a, b, c = ((tmp_path / n / "random_subspace.txt").read_bytes() for n in "abc")
    assert a == b and a != c


def calculator_listing(features: str, out, seed: int | None) -> bytes:
    orvelle.calculator(features, SEEDS, subspace_folder_path=str(out),
                       **({} if seed is None else {"random_token_seed": seed}))
    return (out / "random_subspace.txt").read_bytes()


def cli_listing(features: str, out, seed: int | None) -> bytes:
    subprocess.run([sys.executable, "-m", "orvelle", features, "--seeds", "he,him", "--seeds", "she,her",
                    "--draws", "1", "--out", str(out), *([] if seed is None else ["--seed", str(seed)])],
                   check=True, capture_output=True)
    return (out / "random_subspace.txt").read_bytes()


@pytest.mark.parametrize("listing", [calculator_listing, cli_listing], ids=["calculator", "command line"])
def test_default_seed_is_seed_1(features, tmp_path, listing):
    for name in ("default", "1", "2"):
        (tmp_path / name).mkdir()
    default = listing(features, tmp_path / "default", None)
    assert default == listing(features, tmp_path / "1", 1)
    assert default != listing(features, tmp_path / "2", 2)


@pytest.mark.parametrize("ratio,count", [(0.5, 20), (2, 80), (0.0, None), (-1.0, None), (float("nan"), None), (100, None)])
def test_random_count_rules(features, tmp_path, ratio, count):
    # A count of 0 or below, or above the eligible tokens, selects every token.
    orvelle.calculator(features, SEEDS, random_token_num=ratio, subspace_folder_path=str(tmp_path))
    n = len((tmp_path / "random_subspace.txt").read_text().splitlines())
    assert n == (count if count is not None else 40 * 8)


def test_excluded_words_are_not_drawn(features, tmp_path):
    orvelle.calculator(features, SEEDS, random_token_num=0, exclude_words=["he", "the"],
                       subspace_folder_path=str(tmp_path))
    texts = [line.split(" ")[0] for line in (tmp_path / "random_subspace.txt").read_text().splitlines()]
    assert "he" not in texts and "the" not in texts and "him" in texts
    with open(features, encoding="utf-8") as f:
        tokens = [feature["token"] for line in f for feature in json.loads(line)["features"]]
    assert len(texts) == len(tokens) - tokens.count("he") - tokens.count("the")


FAILURES = [
    # (kwargs, seeds, message or prefix, listing written)
    (dict(), [], "compare_space should have at least one space", True),
    (dict(), [["nobody"]], "The space is empty!", True),
    (dict(), [["He"]], "The space is empty!", True),
    (dict(), [[]], "The space is empty!", True),
    (dict(exclude_words=list({"he", "him", "she", "her", "doctor", "nurse", "engineer", "teacher", "the",
                              "said", "a", "s"})), SEEDS, "The space is empty!", False),
    (dict(pca_dimension=100), SEEDS, "Matrix slicing out of bounds.", False),
]


@pytest.mark.parametrize("kwargs,seeds,message,listing", FAILURES)
def test_pipeline_failures(features, tmp_path, panic_type, kwargs, seeds, message, listing):
    with pytest.raises(panic_type) as info:
        orvelle.calculator(features, seeds, subspace_folder_path=str(tmp_path), **kwargs)
    assert info.value.args == (message,)
    assert (tmp_path / "random_subspace.txt").exists() == listing


def test_wider_global_space_than_random_space_completes(tmp_path):
    # Seed tokens are expressed in the random space's 512 coordinates whatever the global width.
    path = write_features(tmp_path / "wide.jsonl", lines=30, width=640, seed=3)
    calc = orvelle.calculator(str(path), SEEDS, pca_dimension=600, random_token_num=-1,
                              subspace_folder_path=str(tmp_path))
    assert all(math.isfinite(v) for v in calc.bias_sum_average().values())
    first = (tmp_path / "random_subspace.txt").read_text().splitlines()[0]
    assert len(first.split(" ")[3].split(",")) == 513


def test_missing_folder_fails_and_writes_nothing(features, tmp_path, panic_type):
    with pytest.raises(panic_type) as info:
        orvelle.calculator(features, SEEDS, subspace_folder_path=str(tmp_path / "missing"))
    assert info.value.args[0] == UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    assert list(tmp_path.iterdir()) == []


def test_missing_input_fails_before_writing(tmp_path, panic_type, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(panic_type) as info:
        orvelle.calculator(str(tmp_path / "nope.jsonl"), SEEDS)
    assert info.value.args[0] == UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    assert list(tmp_path.iterdir()) == []


# Too few features for 512 components, however few tokens there are.
@pytest.mark.parametrize("lines,tokens,width", [(10, 8, 16), (1, 1, 2), (1, 1, 16)])
def test_narrow_embeddings_fail_cleanly(tmp_path, panic_type, lines, tokens, width):
    path = write_features(tmp_path / "narrow.jsonl", lines=lines, tokens_per_line=tokens, width=width)
    with pytest.raises(panic_type) as info:
        orvelle.calculator(str(path), SEEDS, subspace_folder_path=str(tmp_path))
    assert info.value.args == ("Matrix slicing out of bounds.",)


def test_summaries_identical_across_processes(features, tmp_path):
    code = (
        "import sys, orvelle\n"
        "c = orvelle.calculator(sys.argv[1], [['he', 'him'], ['she', 'her']], subspace_folder_path=sys.argv[2])\n"
        "c.save_summary(sys.argv[2])\n"
        "print(repr(c.bias_sum_average()))\n"
    )
    outputs = []
    for name in ("p1", "p2"):
        folder = tmp_path / name
        folder.mkdir()
        r = subprocess.run([sys.executable, "-c", code, features, str(folder)], capture_output=True, text=True,
                           cwd=tmp_path, check=True)
        outputs.append((r.stdout, (folder / "calculator_summary.txt").read_bytes()))
    assert outputs[0] == outputs[1]
    assert outputs[0][1].startswith(b'ideal_similarity: {"Space of he": {')


def stderr_on_terminal(code, *args, env, cwd):
    """Runs `code` with standard error on a pseudo-terminal; returns what it drew there."""
    proc, out = run_on_terminal([sys.executable, "-c", code, *args], env=env, cwd=cwd)
    assert proc.wait() == 0, out
    return out


@pytest.mark.parametrize("user_friendly,bars", [
    (False, ["Generating tokens", "PCA Fit", "PCA Transform", "PCA Fit", "PCA Transform"]),
    (True, ["Reading file", "Generating tokens", "PCA Fit", "PCA Transform", "PCA Fit", "PCA Transform",
            "Generating space"]),
])
@pytest.mark.parametrize("term", ["xterm-256color", "dumb"])
def test_bars_drawn_on_a_terminal(features, tmp_path, user_friendly, bars, term):
    code = ("import sys, orvelle\n"
            "orvelle.calculator(sys.argv[1], [['he', 'him'], ['she', 'her']], subspace_folder_path=sys.argv[2],"
            " user_friendly=sys.argv[3] == 'True')\n")
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE")}
    env["TERM"] = term
    drawn = stderr_on_terminal(code, features, str(tmp_path), str(user_friendly), env=env, cwd=tmp_path)
    assert ("\x1b[32m" in drawn) == (term != "dumb")
    plain = re.sub(r"\x1b\[[0-9;]*m", "", drawn)
    # Only redraws follow "\r\x1b[2K": the first draw of each bar names the bars in order.
    starts = re.findall(r"(?<!\x1b\[2K)\[ *([A-Za-z ]+)\] -{40} 0% ", plain)
    finals = re.findall(r"\[ *([A-Za-z ]+)\] #{40} 100% ", plain)
    assert starts == bars
    assert list(dict.fromkeys(finals)) == list(dict.fromkeys(bars))


def write_thin(path):
    """3 lines of 512-wide tokens: seeds a and b, other words once each, x and y the same vector."""
    import random
    rng = random.Random(3)

    def vec():
        return [round(rng.gauss(0, 1), 6) for _ in range(512)]

    twin = vec()
    lines = [[("a", vec()), ("b", vec()), ("x", twin)], [("a", vec()), ("b", vec()), ("y", twin)],
             [("c", vec()), ("a", vec())]]
    with open(path, "w", encoding="utf-8") as f:
        for i, tokens in enumerate(lines):
            f.write(json.dumps({"linex_index": i, "features": [
                {"token": t, "layers": [{"index": 0, "values": v}]} for t, v in tokens]}) + "\n")
    return str(path)


# Random spaces with components of no variance: seed tokens in their coordinates are not finite.
# The listings are those of the build before seed tokens were mapped, which completed here.
THIN = [
    (dict(exclude_words=["a", "b", "c"], random_token_num=0),
     "64ac419a004b174f2317ed45d8200034e643598281f9175cfc1fd149506946d8"),
    (dict(random_token_num=0.7, random_token_seed=1), "8645fb6b368f6a60cae7c2ce3232c8d9e9ee97dded33b75f264e9765b6b42e30"),
    (dict(random_token_num=0.7, random_token_seed=3), "2d2ef2fec31ca19330f1217de0f7ead5db0f85eaec42705310ed8fb596afea14"),
]


@pytest.mark.parametrize("kwargs,digest", THIN)
def test_thin_random_space_completes_with_nan_averages(tmp_path, kwargs, digest):
    import hashlib
    import warnings
    path = write_thin(tmp_path / "thin.jsonl")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        calc = orvelle.calculator(path, [["a"], ["b"]], subspace_folder_path=str(tmp_path), **kwargs)
        listing = (tmp_path / "random_subspace.txt").read_bytes()
        m = orvelle.measure(path, [["a"], ["b"]], draws=2, out=str(tmp_path), **kwargs)
    assert hashlib.sha256(listing).hexdigest() == digest
    assert (tmp_path / "random_subspace.txt").read_bytes() == listing
    for averages in (calc.bias_sum_average(), calc.bias_asb_sum_average(), *(d.mean for d in m.draws)):
        assert all(math.isnan(v) for v in averages.values())
    assert orvelle.RankDeficiencyWarning in {w.category for w in caught}

"""RankDeficiencyWarning: a reduced space whose kept components include rounding noise."""
import json
import subprocess
import sys
import warnings

import numpy as np
import pytest

import orvelle

SEEDS = [["he"], ["she"]]


def write_cloud(path, tokens, width, dependent=0, seed=0, empty_lines=0):
    """One token a line, Gaussian values, then `empty_lines` lines without tokens; the first
    `dependent` features are sums of two others."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal((tokens, width)).round(6)
    values[:, :dependent] = values[:, dependent:2 * dependent] + values[:, 2 * dependent:3 * dependent]
    with open(path, "w", encoding="utf-8") as f:
        for i, row in enumerate(values):
            word = ["he", "she", "the", "a"][i % 4]
            f.write(json.dumps({"linex_index": i, "features": [
                {"token": word, "layers": [{"index": 0, "values": row.tolist()}]}]}) + "\n")
        for i in range(tokens, tokens + empty_lines):
            f.write(json.dumps({"linex_index": i, "features": []}) + "\n")
    return str(path)


def warned(call, category):
    """call()'s result and the messages of the warnings of `category` it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, [str(w.message) for w in caught if w.category is category]


def rank_warnings(call):
    return warned(call, orvelle.RankDeficiencyWarning)


def sparse_warnings(call):
    return warned(call, orvelle.SparseSpaceWarning)


@pytest.fixture(scope="module")
def boundary(tmp_path_factory):
    return write_cloud(tmp_path_factory.mktemp("rank") / "f.jsonl", 513, 512)


# 512 tokens leave a 512-wide covariance of rank 511; 513 well-spread tokens fill it.
@pytest.mark.parametrize("ratio,warned", [(512.5 / 513, True), (-1, False)])
def test_random_space_at_the_boundary(boundary, tmp_path, ratio, warned):
    calc, messages = rank_warnings(lambda: orvelle.calculator(boundary, SEEDS, random_token_num=ratio,
                                                              subspace_folder_path=str(tmp_path)))
    if warned:
        assert messages == ["random space of 512 tokens keeps 512 components, but its covariance has numerical "
                            "rank 511: 1 of the kept components are rounding noise, lifted to unit variance by "
                            "the standardisation; the bias ratios are dominated by that noise"]
    else:
        assert messages == []
    m, measured = rank_warnings(lambda: orvelle.measure(boundary, SEEDS, draws=2, random_token_num=ratio))
    assert len(measured) == warned and all("(in 2 of 2 draws)" in w for w in measured)
    assert [d.random_space.deficient for d in m.draws] == [warned, warned]
    # The warning changes nothing: the same figures as with it filtered out.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        quiet = orvelle.calculator(boundary, SEEDS, random_token_num=ratio, subspace_folder_path=str(tmp_path))
    assert quiet.bias_sum_average() == calc.bias_sum_average() == m.draws[0].mean


def test_global_space_with_more_tokens_than_components_but_fewer_than_its_width(tmp_path):
    # 550 tokens, 600 wide, 100 features dependent on others: rank 500 under the 512 kept components.
    path = write_cloud(tmp_path / "g.jsonl", 550, 600, dependent=100)
    _, messages = rank_warnings(lambda: orvelle.calculator(path, SEEDS, random_token_num=-1,
                                                           subspace_folder_path=str(tmp_path)))
    assert messages == [
        "global space of 550 tokens keeps 512 components, but its covariance has numerical rank 500: 12 of the kept "
        "components are rounding noise, lifted to unit variance by the standardisation; the bias ratios are "
        "dominated by that noise"]


def test_no_noise_among_kept_components_of_a_wide_space(tmp_path):
    # 600 tokens 768 wide: rank 599, above the 512 kept components; the 169 components beyond rank
    # that are not kept are no concern.
    path = write_cloud(tmp_path / "w.jsonl", 600, 768)
    _, messages = rank_warnings(lambda: orvelle.calculator(path, SEEDS, random_token_num=-1,
                                                           subspace_folder_path=str(tmp_path)))
    assert messages == []
    r = subprocess.run([sys.executable, "-m", "orvelle", path, "--seeds", "he", "--seeds", "she", "--ratio", "-1",
                        "--draws", "1", "--out", str(tmp_path), "--strict"], capture_output=True, text=True)
    assert "rounding noise" not in r.stderr


def test_escalated_warning_fails_the_call(boundary, tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("error", orvelle.RankDeficiencyWarning)
        with pytest.raises(orvelle.RankDeficiencyWarning):
            orvelle.calculator(boundary, SEEDS, random_token_num=0.5, subspace_folder_path=str(tmp_path))
    assert issubclass(orvelle.RankDeficiencyWarning, UserWarning)


@pytest.mark.parametrize("strict,status", [(False, 0), (True, 1)])
def test_command_line_says_it_once_and_strict_fails(boundary, tmp_path, strict, status):
    r = subprocess.run([sys.executable, "-m", "orvelle", boundary, "--seeds", "he", "--seeds", "she",
                        "--ratio", "0.5", "--draws", "3", "--out", str(tmp_path), *(["--strict"] * strict)],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == status
    lines = r.stderr.splitlines()
    # Rank-deficient and sparse: one line for each.
    assert len(lines) == 2 and "in 3 of 3 draws" in lines[0] and "--ratio 1 or more" in lines[0]
    assert "256 tokens for its 512 components (0.5 per component" in lines[1]
    assert "only 513 tokens to draw (--ratio -1 draws them all)" in lines[1]
    assert all(line.startswith("orvelle: error: " if strict else "orvelle: warning: ") for line in lines)
    assert ("Space of he" in r.stdout) != strict
    rows = (tmp_path / "draws.csv").read_text().splitlines()
    assert rows[0].endswith(",rank_deficient,sparse") and all(row.endswith(",1,1") for row in rows[1:])


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    """2 600 lines, 2 100 of them with a token: 0.8 × lines (2 080) is above 4 per component (2 048)."""
    return write_cloud(tmp_path_factory.mktemp("long") / "f.jsonl", 2100, 512, empty_lines=500)


# Sparse below 3 tokens per kept component (1 536), not at it.
@pytest.mark.parametrize("tokens,warned", [(1535, True), (1536, False)])
def test_sparse_warning_at_three_tokens_per_component(long_file, tmp_path, tokens, warned):
    ratio = (tokens + 0.5) / 2600
    calc, messages = sparse_warnings(lambda: orvelle.calculator(long_file, SEEDS, random_token_num=ratio,
                                                                subspace_folder_path=str(tmp_path)))
    m, measured = sparse_warnings(lambda: orvelle.measure(long_file, SEEDS, draws=2, random_token_num=ratio))
    assert m.draws[0].random_space.tokens == tokens and m.draws[0].random_space.sparse == warned
    want = ["random space of 1535 tokens keeps 512 components: 2.99 tokens per component, fewer than 3, so its last "
            "components are mostly sampling noise lifted to full weight by the standardisation; random_token_num "
            "0.79 (--ratio 0.79) draws 2048 tokens (4 per component) from the 2600 lines"] if warned else []
    assert messages == measured == want
    assert issubclass(orvelle.SparseSpaceWarning, UserWarning)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert orvelle.calculator(long_file, SEEDS, random_token_num=ratio,
                                  subspace_folder_path=str(tmp_path)).bias_sum_average() == m.draws[0].mean


@pytest.mark.parametrize("surface", ["measure", "command line"])
@pytest.mark.parametrize("file,drawn", [("long", 2080), ("short", 1000)])
def test_default_draw_of_measure_and_command_line(long_file, tmp_path, surface, file, drawn):
    # At least 4 per component (2 048), 0.8 × lines when more, every token when the file has fewer.
    path = long_file if file == "long" else write_cloud(tmp_path / "s.jsonl", 1000, 512, empty_lines=1500)
    if surface == "measure":
        m, messages = sparse_warnings(lambda: orvelle.measure(path, SEEDS, draws=1))
        assert m.draws[0].random_space.tokens == drawn
        assert messages == ([] if file == "long" else [
            "random space of 1000 tokens keeps 512 components: 1.95 tokens per component, fewer than 3, so its last "
            "components are mostly sampling noise lifted to full weight by the standardisation; the file holds only "
            "1000 tokens to draw, and 2048 tokens (4 per component) need a larger corpus"])
    else:
        r = subprocess.run([sys.executable, "-m", "orvelle", path, "--seeds", "he", "--seeds", "she", "--draws", "1",
                            "--out", str(tmp_path)], capture_output=True, text=True, check=True)
        assert (tmp_path / "draws.csv").read_text().splitlines()[1].split(",")[4] == str(drawn)
        assert ("need a larger corpus" in r.stderr) == (file == "short")

"""RankDeficiencyWarning: a reduced space whose kept components include rounding noise."""
import json
import subprocess
import sys
import warnings

import numpy as np
import pytest

import orvelle

SEEDS = [["he"], ["she"]]


def write_cloud(path, tokens, width, dependent=0, seed=0):
    """One token a line, Gaussian values; the first `dependent` features are sums of two others."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal((tokens, width)).round(6)
    values[:, :dependent] = values[:, dependent:2 * dependent] + values[:, 2 * dependent:3 * dependent]
    with open(path, "w", encoding="utf-8") as f:
        for i, row in enumerate(values):
            word = ["he", "she", "the", "a"][i % 4]
            f.write(json.dumps({"linex_index": i, "features": [
                {"token": word, "layers": [{"index": 0, "values": row.tolist()}]}]}) + "\n")
    return str(path)


def rank_warnings(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, [str(w.message) for w in caught if w.category is orvelle.RankDeficiencyWarning]


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
    assert [m.split(":")[0] for m in messages] == [
        "global space of 550 tokens keeps 512 components, but its covariance has numerical rank 500"]


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
    assert len(lines) == 1 and "in 3 of 3 draws" in lines[0] and "--ratio 1 or more" in lines[0]
    assert lines[0].startswith("orvelle: error: " if strict else "orvelle: warning: ")
    assert ("Space of he" in r.stdout) != strict
    rows = (tmp_path / "draws.csv").read_text().splitlines()
    assert rows[0].endswith(",rank_deficient") and all(row.endswith(",1") for row in rows[1:])

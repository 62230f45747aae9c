"""A corpus in shards reads as the concatenated file would, bit for bit."""
import pytest

import orvelle
from features import write_planted

SEEDS = [["he"], ["she"]]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    whole = write_planted(folder / "whole.jsonl", lines=90)
    lines = whole.read_text().splitlines(keepends=True)
    shards = folder / "shards"
    shards.mkdir()
    # Name order is corpus order; sizes 1, 40 and 49 lines, the first a single line.
    for name, part in [("part-0.jsonl", lines[:1]), ("part-1.jsonl", lines[1:41]), ("part-2.jsonl", lines[41:])]:
        (shards / name).write_text("".join(part))
    (shards / "notes.txt").write_text("not a shard")
    return whole, shards


@pytest.mark.parametrize("as_folder", [True, False])
def test_shards_equal_the_concatenated_file(corpus, tmp_path, as_folder):
    whole, shards = corpus
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    files = sorted(str(p) for p in shards.glob("*.jsonl"))
    one = orvelle.measure(str(whole), SEEDS, ["king"], 2, random_token_num=7, out=str(tmp_path / "a"))
    many = orvelle.measure(str(shards) if as_folder else files, SEEDS, ["king"], 2, random_token_num=7,
                           out=str(tmp_path / "b"))
    assert (tmp_path / "a" / "random_subspace.txt").read_bytes() == (tmp_path / "b" / "random_subspace.txt").read_bytes()
    assert [d.mean for d in one.draws] == [d.mean for d in many.draws]
    assert one.targets == many.targets and one.words == many.words


def test_a_failure_names_the_shard_and_its_line(corpus, tmp_path, panic_type):
    _, shards = corpus
    bad = tmp_path / "bad.jsonl"
    bad.write_text((shards / "part-0.jsonl").read_text() * 2 + "{oops\n")
    with pytest.raises(panic_type) as info:
        orvelle.measure([str(shards / "part-0.jsonl"), str(bad)], SEEDS)
    assert info.value.args[0].startswith(f"{bad}, line 3: called `Result::unwrap()` on an `Err` value: Error(")
    with pytest.raises(panic_type) as info:
        orvelle.measure([str(bad), str(tmp_path / "missing.jsonl")], SEEDS)
    assert info.value.args[0].startswith(f"{tmp_path / 'missing.jsonl'}: called `Result::unwrap()`")

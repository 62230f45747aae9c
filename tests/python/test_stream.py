"""The bounded-memory path gives the in-memory path's bits."""
import os
import warnings

import pytest

import orvelle
from features import write_features

SEEDS = [["he", "him"], ["she", "her"]]


def analyse(path, folder, stream):
    os.environ["ORVELLE_STREAM"] = stream
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", orvelle.RankDeficiencyWarning)
            calc = orvelle.calculator(path, SEEDS, random_token_num=-1, subspace_folder_path=str(folder))
            m = orvelle.measure(path, SEEDS, ["nurse"], 2, random_token_num=0.5)
    finally:
        del os.environ["ORVELLE_STREAM"]
    calc.save_summary(str(folder))
    return ((folder / "random_subspace.txt").read_bytes(), (folder / "calculator_summary.txt").read_bytes(),
            [d.mean for d in m.draws], m.targets, m.words, m.global_space)


# Rows of the global space: fewer than one 256-row block, a multiple of it, one more, and one row
# past the passes' 4096-row steps (a last step that must not take the products' short path).
@pytest.mark.parametrize("tokens", [200, 512, 513, 4097])
def test_streamed_equals_in_memory(tmp_path, tokens):
    path = str(write_features(tmp_path / "f.jsonl", lines=tokens, tokens_per_line=1, width=520, seed=tokens))
    (tmp_path / "mem").mkdir()
    (tmp_path / "stream").mkdir()
    assert analyse(path, tmp_path / "stream", "1") == analyse(path, tmp_path / "mem", "0")


@pytest.mark.parametrize("stream", ["0", "1"])
def test_failures_read_the_same(tmp_path, panic_type, stream):
    path = write_features(tmp_path / "f.jsonl", lines=3, tokens_per_line=1, width=8)
    os.environ["ORVELLE_STREAM"] = stream
    try:
        with pytest.raises(panic_type) as info:
            orvelle.calculator(str(path), SEEDS, subspace_folder_path=str(tmp_path))
    finally:
        del os.environ["ORVELLE_STREAM"]
    assert info.value.args == ("Matrix slicing out of bounds.",)


@pytest.mark.parametrize("flag,streams", [("--stream", True), ("--no-stream", False)])
def test_command_line_chooses_the_path(tmp_path, flag, streams):
    # Only the streamed path needs a temporary folder.
    import subprocess
    import sys

    r = subprocess.run([sys.executable, "-m", "orvelle", str(write_features(tmp_path / "f.jsonl", lines=80)),
                        "--seeds", "he", "--seeds", "she", "--ratio", "-1", "--draws", "1", "--out", str(tmp_path),
                        flag], capture_output=True, text=True, cwd=tmp_path,
                       env={**os.environ, "TMPDIR": str(tmp_path / "missing")})
    assert (r.returncode != 0) == streams
    assert ("cannot create a temporary file in " in r.stderr) == streams

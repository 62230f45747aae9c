"""The README's commands, pasted at the repository root, run the installed package."""
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("command,expected", [
    (".venv/bin/python -m orvelle examples/features.jsonl.zst --seeds he,him --seeds she,her "
     "--targets nurse,engineer --out out", "Space of she"),
    # The extraction command needs a model; its module must be the installed one all the same.
    (".venv/bin/python -m orvelle.extract --help", "usage:"),
])
def test_readme_command_runs_at_the_root(command, expected, tmp_path):
    assert command.removesuffix(" --help") in README
    args = command.replace(".venv/bin/python", sys.executable).split()
    if "--out" in args:
        args[args.index("--out") + 1] = str(tmp_path)
    r = subprocess.run(args, cwd=REPO, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert expected in r.stdout

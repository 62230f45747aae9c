"""The kernels' instruction-set levels seen from the installed extension: an analysis forced to any
level (ORVELLE_SIMD) writes the same files, byte for byte."""

import os
import subprocess
import sys

import pytest

import orvelle  # noqa: F401  (loads orvelle.orvelle)
from features import write_features

EXTENSION = sys.modules["orvelle.orvelle"]
PORTABLE = EXTENSION._simd_level() != "native"

ANALYSIS = (
    "import sys, orvelle\n"
    "c = orvelle.calculator(sys.argv[1], [['he', 'him'], ['she', 'her']], subspace_folder_path=sys.argv[2])\n"
    "c.save_summary(sys.argv[2])\n"
    "print(repr(c.bias_sum_average()), repr(c.bias_asb_sum_average()))\n"
    "print(orvelle.orvelle._simd_level())\n"
)


def analyse(features, folder, level):
    """(listing, summary, printed sums, level it ran at, stderr) of one analysis in a fresh process."""
    folder.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "ORVELLE_SIMD"}
    if level is not None:
        env["ORVELLE_SIMD"] = level
    r = subprocess.run([sys.executable, "-c", ANALYSIS, features, str(folder)], env=env, cwd=folder,
                       capture_output=True, text=True, check=True)
    sums, ran_at = r.stdout.splitlines()
    return ((folder / "random_subspace.txt").read_bytes(), (folder / "calculator_summary.txt").read_bytes(),
            sums, ran_at, r.stderr)


@pytest.fixture(scope="module")
def features(tmp_path_factory):
    return str(write_features(tmp_path_factory.mktemp("data") / "features.jsonl"))


@pytest.fixture(scope="module")
def baseline(features, tmp_path_factory):
    if not PORTABLE:
        pytest.skip("built with ORVELLE_NATIVE: one level only")
    out = analyse(features, tmp_path_factory.mktemp("runs") / "baseline", "baseline")
    assert out[3] == "baseline"
    return out


@pytest.mark.parametrize("asked,note", [("avx2", False), ("avx512", False), ("sse9", True), (None, False)])
def test_every_level_writes_the_same_bytes(features, baseline, tmp_path, asked, note):
    listing, summary, sums, ran_at, stderr = analyse(features, tmp_path / "run", asked)
    if "cannot run that level" in stderr:
        pytest.skip(f"this CPU does not run {asked}")
    # An unknown level falls back to the widest and says so once; a runnable one is silent.
    assert stderr.count("ORVELLE_SIMD=") == (1 if note else 0), stderr
    assert ran_at == asked or asked not in ("avx2", "avx512")
    assert (listing, summary, sums) == baseline[:3]

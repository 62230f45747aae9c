"""The kernels' instruction-set levels seen from the installed extension: an analysis forced to any
level (ORVELLE_SIMD) writes the same files, byte for byte; and the extension's machine code holds no
fused multiply-add, on any architecture."""

import os
import platform
import re
import shutil
import subprocess
import sys

import pytest

import orvelle  # noqa: F401  (loads orvelle.orvelle)
from features import analysis_args, analysis_outputs, write_features

EXTENSION = sys.modules["orvelle.orvelle"]
PORTABLE = EXTENSION._simd_level() != "native"


def analyse(features, folder, level):
    """(listing, summary, printed sums, level it ran at, stderr) of one analysis in a fresh process."""
    folder.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "ORVELLE_SIMD"}
    if level is not None:
        env["ORVELLE_SIMD"] = level
    r = subprocess.run([sys.executable, *analysis_args(features, folder)], env=env, cwd=folder,
                       capture_output=True, text=True, check=True)
    return (*analysis_outputs(folder, r.stdout), r.stderr)


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


# Fused multiply-add rounds once where the analysis rounds twice. x86-64: the FMA3 and FMA4 forms;
# aarch64: the scalar fmadd family and the vector fmla, fmls and their widening forms.
FUSED = {"x86_64": r"vf(n)?m(add|sub)\w*", "aarch64": r"f(n)?m(add|sub)|fml[as]\w*"}


def test_no_fused_multiply_add_in_the_extension():
    objdump = shutil.which("objdump")
    if objdump is None or platform.machine() not in FUSED:
        pytest.skip("needs objdump on x86-64 or aarch64")
    fused_op = re.compile(FUSED[platform.machine()])
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", EXTENSION.__file__],
                             capture_output=True, text=True, check=True).stdout
    function, instructions, fused = "", 0, set()
    for line in listing.splitlines():
        if line.endswith(">:"):
            function = line[line.find("<") + 1:-2]
            continue
        fields = line.split("\t")
        if len(fields) < 2 or not fields[1].strip():
            continue
        instructions += 1
        if fused_op.fullmatch(fields[1].split()[0]):
            fused.add(function)
    assert instructions > 10_000, "objdump showed no code"
    assert not fused, sorted(fused)[:5]

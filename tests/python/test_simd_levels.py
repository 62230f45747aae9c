"""The kernels' instruction-set levels seen from the installed extension: an analysis forced to any
level (ORVELLE_SIMD) writes the same files, byte for byte; and the extension's machine code (a source
build's or a wheel's) holds no fused multiply-add on any architecture, and on x86-64 nothing beyond
SSE2 outside the code entered only where a check found more."""

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

# Beyond baseline x86-64 (SSE2): VEX and EVEX forms (v...), AVX-512 masks (k...), BMI, LZCNT, MOVBE,
# POPCNT. tzcnt is left out: compilers write the baseline bsf with a rep prefix, which objdump shows
# as tzcnt.
WIDE = r"(v|k)[a-z0-9]+|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|lzcnt|movbe|popcnt"


def entered_only_at_its_level(function):
    """Whether a function runs only where a check found its instruction set: the kernels' copies
    for a wider level, and libzstd's BMI2 decoders (GCC's clones of them add a suffix after a dot)."""
    return ("simd_avx2::" in function or "simd_avx512::" in function or function.endswith("_bmi2")
            or "_bmi2." in function or (function.startswith("HUF_decompress") and "_fast" in function))


def functions_using(pattern):
    """{function: how many of its instructions match `pattern`} in the extension's machine code."""
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("needs objdump")
    op = re.compile(pattern)
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", EXTENSION.__file__],
                             capture_output=True, text=True, check=True).stdout
    function, functions, instructions, found = "", 0, 0, {}
    for line in listing.splitlines():
        if line.endswith(">:"):
            function = line[line.find("<") + 1:-2]
            functions += 1
            continue
        fields = line.split("\t")
        if len(fields) < 2 or not fields[1].strip():
            continue
        instructions += 1
        if op.fullmatch(fields[1].split()[0]):
            found[function] = found.get(function, 0) + 1
    assert instructions > 10_000, "objdump showed no code"
    assert functions > 1_000, "the module has no symbol table: the build strips it"
    return found


@pytest.mark.skipif(platform.machine() not in FUSED, reason="x86-64 and aarch64")
def test_no_fused_multiply_add_in_the_extension():
    fused = functions_using(FUSED[platform.machine()])
    assert not fused, sorted(fused)[:5]


@pytest.mark.skipif(platform.machine() != "x86_64" or not PORTABLE, reason="a portable x86-64 build")
def test_wide_instructions_only_where_a_check_found_them():
    """A baseline function with one of them stops the program on an older processor."""
    wide = functions_using(WIDE)
    stray = sorted(f for f in wide if not entered_only_at_its_level(f))
    assert not stray, stray[:5]
    if EXTENSION._simd_level() != "baseline":  # the wider copies are there and the scan sees them
        assert any("simd_avx2::" in f for f in wide)


@pytest.mark.skipif(platform.machine() != "x86_64" or not PORTABLE, reason="a portable x86-64 build")
def test_narrower_copies_take_no_eight_lanes_by_value():
    """Below AVX-512 eight lanes fill two or four registers; a function taking them by value gets
    them through the stack on every call (the AVX2 decomposition once ran 8 times slower so)."""
    by_value = re.compile(r"simd_(baseline|avx2)::.*\(.*(simd::v8d\b|__vector\(8\))")
    calls = sorted(f for f in functions_using(r"\S+") if by_value.search(f))
    assert not calls, calls[:3]

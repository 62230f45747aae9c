"""The same analyses on x86-64 here and on aarch64 under emulation write the same files, byte for
byte: calculator()'s listing and summary of a gzip-compressed file, and measure()'s CSV files,
target tests included, of the same lines as a corpus whose shards are gzip, zstd and plain text.
Needs the arm64 root that scripts/test_wheel_arm64.sh prepares, with the aarch64 wheel installed in
/opt/orvelle; it names the root in ORVELLE_ARM64_ROOT. Emulation runs each analysis some 30 s: the
set stays small."""

import gzip
import os
import pathlib
import platform
import subprocess
import sys

import pytest

from features import analysis_args, analysis_outputs, write_features

REPO = pathlib.Path(__file__).resolve().parents[2]
ROOT = os.environ.get("ORVELLE_ARM64_ROOT")

pytestmark = pytest.mark.skipif(not ROOT or platform.machine() != "x86_64",
                                reason="compares x86-64 with the arm64 root in ORVELLE_ARM64_ROOT")

MEASURE = (
    "import sys, orvelle\n"
    "m = orvelle.measure(sys.argv[1], [['he', 'him'], ['she', 'her']], ['doctor', 'nurse', 'teacher'], 2,\n"
    "                    resamples=100)\n"
    "m.save(sys.argv[2])\n"
)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A folder with a generated file gzip-compressed (whole.jsonl.gz), and its lines in three shards
    (shards/a.jsonl.gz, b.jsonl.zst, c.jsonl)."""
    folder = tmp_path_factory.mktemp("corpus")
    data = write_features(folder / "whole.jsonl", layers=(3, 12)).read_bytes()
    (folder / "whole.jsonl").unlink()
    (folder / "whole.jsonl.gz").write_bytes(gzip.compress(data, mtime=0))
    lines = data.splitlines(keepends=True)
    (folder / "shards").mkdir()
    (folder / "shards" / "a.jsonl.gz").write_bytes(gzip.compress(b"".join(lines[:15]), mtime=0))
    zstd = subprocess.run(["zstd", "-q", "-c"], input=b"".join(lines[15:30]), stdout=subprocess.PIPE, check=True)
    (folder / "shards" / "b.jsonl.zst").write_bytes(zstd.stdout)
    (folder / "shards" / "c.jsonl").write_bytes(b"".join(lines[30:]))
    return folder


def on_both(tmp_path, corpus, args):
    """{architecture: its output folder} after `python ARGS` ran on each, {out} in `args` standing
    for the folder."""
    folders = {}
    for arch in ("x86_64", "aarch64"):
        folder = folders[arch] = tmp_path / arch
        folder.mkdir()
        argv = [a.replace("{out}", str(folder)) for a in args]
        if arch == "x86_64":
            command = [sys.executable, *argv]
        else:
            command = [str(REPO / "scripts" / "arm64_run.sh"), ROOT, "--bind", str(tmp_path), "--bind", str(corpus),
                       "--", "/opt/orvelle/bin/python", *argv]
        r = subprocess.run(command, capture_output=True, text=True, timeout=600)
        assert r.returncode == 0, r.stderr
        (folder / "stdout").write_text(r.stdout)
    return folders


def test_calculator_writes_the_bytes_x86_64_writes(corpus, tmp_path):
    folders = on_both(tmp_path, corpus, analysis_args(corpus / "whole.jsonl.gz", "{out}"))
    outputs = {arch: analysis_outputs(f, (f / "stdout").read_text()) for arch, f in folders.items()}
    assert outputs["aarch64"][3] == "baseline"  # NEON, the one aarch64 level
    assert outputs["aarch64"][:3] == outputs["x86_64"][:3]


def test_measure_writes_the_csv_files_x86_64_writes(corpus, tmp_path):
    folders = on_both(tmp_path, corpus, ["-c", MEASURE, str(corpus / "shards"), "{out}"])
    files = {arch: {p.name: p.read_bytes() for p in sorted(f.glob("*.csv"))} for arch, f in folders.items()}
    assert len(files["x86_64"]) == 4 and b"nurse" in files["x86_64"]["target_tests.csv"]
    assert files["aarch64"] == files["x86_64"]

"""The same analysis on x86-64 here and on aarch64 under emulation writes the same listing and
summary, byte for byte: on a generated file and on the bundled example. Needs the arm64 root that
scripts/test_wheel_arm64.sh prepares, with the aarch64 wheel installed in /opt/orvelle; it names the
root in ORVELLE_ARM64_ROOT."""

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

# The bundled example as the demo draws it: 16 tokens a line, sentence markers left out.
INPUTS = {
    "generated": {},
    "example": {"random_token_num": 16.0, "exclude_words": ["<s>", "</s>", "."]},
}


@pytest.mark.parametrize("name", sorted(INPUTS))
def test_aarch64_writes_the_bytes_x86_64_writes(name, tmp_path):
    if name == "generated":
        features = write_features(tmp_path / "features.jsonl", layers=(3, 12))
    else:
        features = REPO / "examples" / "features.jsonl"
    outputs = {}
    for arch in ("x86_64", "aarch64"):
        folder = tmp_path / arch
        folder.mkdir()
        args = analysis_args(features, folder, **INPUTS[name])
        if arch == "x86_64":
            command = [sys.executable, *args]
        else:
            # Inside the root the repository is at /repo.
            args[2] = str(features).replace(str(REPO), "/repo", 1)
            command = [str(REPO / "scripts" / "arm64_run.sh"), ROOT, "--bind", str(tmp_path), "--",
                       "/opt/orvelle/bin/python", *args]
        r = subprocess.run(command, capture_output=True, text=True, timeout=900)
        assert r.returncode == 0, r.stderr
        outputs[arch] = analysis_outputs(folder, r.stdout)
    assert outputs["aarch64"][3] == "baseline"  # NEON, the one aarch64 level
    assert outputs["aarch64"][:3] == outputs["x86_64"][:3]

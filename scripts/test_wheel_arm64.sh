#!/usr/bin/env bash
# The aarch64 wheel from dist/ on arm64 Debian under qemu-user emulation
# (scripts/arm64_root.sh makes the root in build/arm64-root): installed into a
# fresh venv there, then the Python tests against it, then the listings and
# summaries it writes against those of the x86-64 wheel, byte for byte
# (tests/python/test_architectures.py). Needs root.
#
#   scripts/test_wheel_arm64.sh [TEST_FILE...]   (default: all of tests/python)
set -euo pipefail
cd "$(dirname "$0")/.."
root=build/arm64-root
scripts/arm64_root.sh "$root"
arm=$(ls dist/*manylinux*_aarch64.whl)
x86=$(ls dist/*manylinux*_x86_64.whl)
run() { scripts/arm64_run.sh "$root" "$@"; }

rm -rf "$root/opt/orvelle" "$root/tmp/wheel"
mkdir -p "$root/tmp/wheel"
cp "$arm" "$root/tmp/wheel/"
# Debian's pip, pytest and numpy, the wheel alone from outside.
run -- /usr/bin/python3 -m venv --without-pip --system-site-packages /opt/orvelle
run -- /opt/orvelle/bin/python -m pip install -q --no-index --no-deps --disable-pip-version-check \
  "/tmp/wheel/$(basename "$arm")"

tests=()
for t in "${@:-tests/python}"; do tests+=("/repo/$t"); done
start=$SECONDS
# From an empty folder: nothing but the installed wheel can be imported as orvelle.
run -- /bin/sh -c 'cd /tmp && exec /opt/orvelle/bin/python -m pytest -q -p no:cacheprovider "$@"' sh "${tests[@]}"
echo "test_wheel_arm64: aarch64 tests in $((SECONDS - start)) s"

# The x86-64 side of the comparison: its wheel in a fresh venv here.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -m venv "$tmp/venv"
"$tmp/venv/bin/pip" install -q --disable-pip-version-check "$x86" pytest numpy
start=$SECONDS
ORVELLE_ARM64_ROOT=$PWD/$root "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider \
  --rootdir "$PWD" tests/python/test_architectures.py
echo "test_wheel_arm64: x86-64 against aarch64 in $((SECONDS - start)) s"

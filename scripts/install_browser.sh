#!/usr/bin/env bash
# Installs what the browser test of the viewer page needs: Debian's headless
# chromium with its WebDriver, and the Selenium client for pytest.
set -euo pipefail

if ! command -v chromium >/dev/null || ! command -v chromedriver >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends chromium chromium-driver fonts-dejavu-core
fi

PYTHON="${PYTHON:-python3}"
"$PYTHON" -c 'import selenium' 2>/dev/null || "$PYTHON" -m pip install -q 'selenium>=4.10'

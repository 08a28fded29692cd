#!/usr/bin/env bash
# Takes the README's pictures of the main window's tabs and the options dialog
# under a virtual X server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
xvfb-run -a -s "-screen 0 1024x768x24" ./build/zk-screenshots docs/screenshots
ls -l docs/screenshots

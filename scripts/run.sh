#!/usr/bin/env bash
# Installs what is missing, builds, and starts ZOV Kestra Download.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec ./build/zov-kestra-download "$@"

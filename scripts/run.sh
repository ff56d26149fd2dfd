#!/usr/bin/env bash
# Installs what is missing, builds, and segments the bundled photograph into three phases:
# writes build/camera-phases.png (one colour per phase) and prints the summary.
# Arguments, if any, replace the defaults: scripts/run.sh INPUT OUTPUT [options].
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target daskel-segment
if [ $# -eq 0 ]; then
  set -- data/camera.png build/camera-phases.png
fi
./build/tools/daskel-segment/daskel-segment "$@"

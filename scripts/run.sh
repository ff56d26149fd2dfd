#!/usr/bin/env bash
# Installs what building the tool needs, builds it, and segments the bundled photograph into three
# phases: writes build/camera-phases.png (one colour per phase) and prints the summary.
# Arguments, if any, replace the defaults: scripts/run.sh INPUT OUTPUT [options], with paths
# relative to the folder it is called from.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" tool
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target daskel-segment
if [ $# -eq 0 ]; then
  cd "$root"
  set -- data/camera.png build/camera-phases.png
fi
exec "$root/build/tools/daskel-segment/daskel-segment" "$@"

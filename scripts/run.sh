#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled input.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target daskel_two_phase_example
./build/examples/daskel_two_phase_example

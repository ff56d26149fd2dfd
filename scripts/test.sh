#!/usr/bin/env bash
# Configures, builds and runs the whole test suite. BUILD_DIR and CMAKE_EXTRA adjust the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" ${CMAKE_EXTRA:-} >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

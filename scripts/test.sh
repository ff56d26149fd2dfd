#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
# BUILD_DIR and CMAKE_EXTRA adjust the build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -DDASKEL_BUILD_TESTS=ON ${CMAKE_EXTRA:-} >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

#!/usr/bin/env bash
# Fuzzes the solver with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
# New inputs go to build-fuzz/corpus; the committed seeds in fuzz/corpus are read, not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CXX=clang++ cmake -S . -B build-fuzz -DDASKEL_FUZZ=ON -DDASKEL_SANITIZE=ON \
  -DDASKEL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target daskel_solver_fuzzer
mkdir -p build-fuzz/corpus
./build-fuzz/fuzz/daskel_solver_fuzzer -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  "$@" build-fuzz/corpus fuzz/corpus

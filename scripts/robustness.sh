#!/usr/bin/env bash
# The checks beyond the unit tests: ThreadSanitizer over the concurrent and multi-threaded
# solves, valgrind memcheck over the C++ test programs, and short libFuzzer runs of the solver and
# of the PNG and TIFF readers.
# FUZZ_SECONDS sets each fuzzing time.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

echo "== ThreadSanitizer"
cmake -S . -B build-tsan -DDASKEL_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j "$(nproc)" --target daskel_core_tests
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/daskel_core_tests --gtest_filter='Concurrency*:Threads*'

echo "== valgrind memcheck"
cmake -S . -B build -DDASKEL_BUILD_TESTS=ON >/dev/null
cmake --build build -j "$(nproc)"
# The PNG and TIFF seeds too: valgrind sees into libpng and libtiff, which the fuzzer's
# instrumentation does not.
for program in build/tests/daskel_core_tests build/fuzz/daskel_solver_fuzz_replay \
               build/fuzz/daskel_png_fuzz_replay build/fuzz/daskel_tiff_fuzz_replay; do
  args=()
  [ "$program" = build/fuzz/daskel_solver_fuzz_replay ] && args=(fuzz/corpus)
  [ "$program" = build/fuzz/daskel_png_fuzz_replay ] && args=(fuzz/png_corpus)
  [ "$program" = build/fuzz/daskel_tiff_fuzz_replay ] && args=(fuzz/tiff_corpus)
  valgrind -q --error-exitcode=3 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$program" "${args[@]}" >/dev/null
  echo "memcheck clean: $program"
done

# Prints a fuzzer's summary lines and fails when the fuzzer does. Its status is taken from the
# fuzzer itself: in "fuzz.sh | grep || true" the pipe's statuses are gone by the next command.
fuzz() {
  local log status=0
  log=$(mktemp)
  FUZZ_TARGET=$1 ./scripts/fuzz.sh "${FUZZ_SECONDS:-30}" -seed=1 >"$log" 2>&1 || status=$?
  grep -E '^(Done|stat::number_of_executed_units|==[0-9]+== ?ERROR)|property violated' "$log" || true
  [ "$status" -eq 0 ] || { tail -n 40 "$log"; echo "libFuzzer ($1) failed with status $status"; }
  rm -f "$log"
  return "$status"
}

echo "== libFuzzer: the solver"
fuzz solver
echo "== libFuzzer: the PNG reader"
fuzz png
echo "== libFuzzer: the TIFF reader"
fuzz tiff

#!/usr/bin/env bash
# Fuzzes with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer: the solver, or with
# FUZZ_TARGET=png or tiff the PNG or TIFF reader of daskel-segment.
#   [FUZZ_TARGET=solver|png|tiff] scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
# New inputs go to build-fuzz/corpus (png: build-fuzz/png-corpus, tiff: build-fuzz/tiff-corpus)
# and crashing ones to build-fuzz/; the committed seeds in fuzz/corpus, fuzz/png_corpus and
# fuzz/tiff_corpus are read, not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
case "${FUZZ_TARGET:-solver}" in
  solver) fuzzer=daskel_solver_fuzzer new_inputs=build-fuzz/corpus seeds=fuzz/corpus
          flags=(-max_len=4096) ;;
  # libpng comes uninstrumented from Debian: the chunk names help mutations reach into it.
  png) fuzzer=daskel_png_fuzzer new_inputs=build-fuzz/png-corpus seeds=fuzz/png_corpus
       flags=(-max_len=65536 -dict=fuzz/png.dict) ;;
  # libtiff too: the headers and tag numbers help mutations make new directory entries.
  tiff) fuzzer=daskel_tiff_fuzzer new_inputs=build-fuzz/tiff-corpus seeds=fuzz/tiff_corpus
        flags=(-max_len=65536 -dict=fuzz/tiff.dict) ;;
  *) echo "FUZZ_TARGET must be solver, png or tiff, not '${FUZZ_TARGET}'" >&2; exit 2 ;;
esac
CXX=clang++ cmake -S . -B build-fuzz -DDASKEL_FUZZ=ON -DDASKEL_SANITIZE=ON \
  -DDASKEL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "$fuzzer"
mkdir -p "$new_inputs"
"./build-fuzz/fuzz/$fuzzer" -max_total_time="$seconds" "${flags[@]}" -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ "$@" "$new_inputs" "$seeds"

#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the point-file readers with clang in their own build
# directory and runs each for a bounded time on a copy of its seed corpus.
#   scripts/run-fuzzers.sh [seconds per harness, default 60] [build dir, default build-fuzz]
# Fails when a harness finds a crash (the reproducer is left in the build directory). Each
# harness runs with a fixed seed, so that a run can be repeated: VANDREL_FUZZ_SEED overrides it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${2:-build-fuzz}"
seed="${VANDREL_FUZZ_SEED:-20260101}"

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANDREL_BUILD_FUZZERS=ON -DVANDREL_BUILD_TESTS=OFF -DVANDREL_BUILD_BENCH=OFF -DVANDREL_BUILD_CLI=OFF \
  -DVANDREL_BUILD_MEX=OFF -DVANDREL_BUILD_PYTHON=OFF -DVANDREL_USE_OPENMP=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ply_fuzzer text_fuzzer csv_fuzzer pcd_fuzzer las_fuzzer npy_fuzzer

status=0
for reader in ply text csv pcd las npy; do
  corpus="$build/corpus/$reader"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$build/crashes/$reader"
  cp fuzz/corpus/"$reader"/* "$corpus"/
  echo "run-fuzzers: $reader for ${seconds}s, seed $seed"
  if ! "$build/fuzz/${reader}_fuzzer" -seed="$seed" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
      -artifact_prefix="$build/crashes/$reader/" -print_final_stats=1 "$corpus" 2>"$build/$reader.log"; then
    tail -n 40 "$build/$reader.log"
    echo "run-fuzzers: $reader failed; reproducers in $build/crashes/$reader/"
    status=1
  fi
done
exit $status

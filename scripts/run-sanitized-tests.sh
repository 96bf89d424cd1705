#!/usr/bin/env bash
# Builds the unit tests of the lower layers (numeric, core, host, io) with AddressSanitizer,
# LeakSanitizer and UBSan in their own build directory and runs them; any report fails.
#   scripts/run-sanitized-tests.sh [build dir, default build-sanitize] [parallel jobs, default 2]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-sanitize}"
jobs="${2:-2}"
targets=(numeric_tests core_tests host_tests io_tests)

# -O1 and line tables only: a quick build whose reports still name file and line.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DVANDREL_SANITIZE=ON -DVANDREL_BUILD_TESTS=ON \
  -DVANDREL_BUILD_BENCH=OFF -DVANDREL_BUILD_CLI=OFF -DVANDREL_BUILD_MEX=OFF -DVANDREL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

# A report of either sanitizer ends the run with a failure.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
status=0
for target in "${targets[@]}"; do
  executable="$(find "$build/tests" -type f -name "$target" -perm -u+x | head -n 1)"
  echo "run-sanitized-tests: $target"
  if ! "$executable" --gtest_brief=1; then
    echo "run-sanitized-tests: $target failed"
    status=1
  fi
done
exit $status

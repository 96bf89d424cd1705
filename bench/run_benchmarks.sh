#!/usr/bin/env bash
# Speed against CGAL's jet smoothing, and working memory at 100k, 1M and 3M points and
# three noise levels. A timing script, never part of the test run. Needs a Release build
# in build/ with the benchmarks (bench/jet_smooth needs libcgal-dev and libeigen3-dev).
#   bench/run_benchmarks.sh [speed|memory|all] [work dir, default /tmp/vandrel-bench]
set -euo pipefail
cd "$(dirname "$0")/.."
what="${1:-all}"
work="${2:-/tmp/vandrel-bench}"
mkdir -p "$work"
python=/usr/bin/python3
cloud() {  # cloud N NOISE -> prints the file name; density and sigma in $work/N_NOISE.params
  local n=$1 noise=$2 file="$work/bunny_${1}_${2}.xyz"
  if [ ! -f "$file" ]; then
    "$python" bench/make_cloud.py --noise "$noise" data/bunny.off "$n" "$file" "$work/clean_${n}_${noise}.xyz" \
      | tail -n 1 > "$work/${n}_${noise}.params"
  fi
  echo "$file"
}
param() { sed -E "s/.* $1 ([0-9.e+-]+).*/\1/" "$work/${2}_${3}.params"; }
cpu_of() {  # user+sys seconds of a command, from /usr/bin/time
  /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -n 1 | awk '{print $1 + $2}'
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$what" = speed ] || [ "$what" = all ]; then
  for case_ in "20000 0.005" "100000 0.01"; do
    set -- $case_
    file=$(cloud "$1" "$2")
    if [ "$1" = 20000 ]; then file=data/bunny_20k_noisy.xyz; density=22707; sigma=0.005
    else density=$(param density "$1" "$2"); sigma=$(param sigma "$1" "$2"); fi
    ours=$(cpu_of build/vandrel "$file" "$work/out.xyz" --sigma "$sigma" --density "$density" --quiet)
    jet48=$(cpu_of build/bench/jet_smooth "$file" "$work/jet.xyz" 48)
    jet192=$(cpu_of build/bench/jet_smooth "$file" "$work/jet.xyz" 192)
    echo "SPEED points=$1 noise=$2 ours_cpu_s=$ours jet48_cpu_s=$jet48 jet192_cpu_s=$jet192"
    build/bench/filter_bench "$file" "$sigma" "$density" | grep -vE '^RESULT'
  done
fi
if [ "$what" = memory ] || [ "$what" = all ]; then
  for n in 100000 1000000 3000000; do
    for noise in 0.005 0.01 0.02; do
      file=$(cloud "$n" "$noise")
      build/bench/filter_bench "$file" "$(param sigma "$n" "$noise")" "$(param density "$n" "$noise")" \
        | grep '^RESULT' | sed "s/^RESULT /MEMORY noise=$noise /"
    done
  done
  build/bench/filter_bench data/bunny_20k_noisy.xyz 0.005 22707 | grep '^RESULT' | sed "s/^RESULT /MEMORY noise=sample /"
fi

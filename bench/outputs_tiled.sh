#!/usr/bin/env bash
# What the outputs cost in tiles on the bunny at 1 % noise: CPU, peak memory and the tiles of
# one block and of tiled runs, plain, with --normals --write-noise sigma, and with
# --remove-outliers, and whether every tiled output has the bytes of the one-block run with
# the same options. Not part of the tests.
#   bench/outputs_tiled.sh [build dir] [points] [tiling options]
#   (default: build 1000000 "--tile-points 250000")
# Writes its cloud and outputs to a scratch directory it removes at the end.
set -euo pipefail
build=${1:-build}
points=${2:-1000000}
tiling=${3:---tile-points 250000}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# data/bunny.off has area 0.880786 and a bounding-box diagonal of 1: noise 0.01 is sigma 0.01.
density=$(/usr/bin/python3 -c "print(round($points / 0.880786))")
/usr/bin/python3 "$here/make_cloud.py" "$here/../data/bunny.off" "$points" "$scratch/noisy.xyz" /dev/null \
  --noise 0.01 --seed 1 > /dev/null
# Text in and out: a text cloud is held in memory, so --tile-points tiles it there (an NPY
# file would be filtered out of core, which refuses the outputs).
run() {  # name, then options
  local name=$1
  shift
  echo "== $points points, $name: $*"
  /usr/bin/time -f "CPU %U s user + %S s system, %e s wall, peak %M KiB" \
    "$build/vandrel" "$scratch/noisy.xyz" "$scratch/$name.xyz" --sigma 0.01 --density "$density" "$@" 2>&1 |
    tr '\r' '\n' | grep -E "^Tiles|^CPU|^Outliers" || true
}
for outputs in normals outliers plain; do
  case $outputs in
    plain) extra=() ;;
    normals) extra=(--normals --write-noise sigma) ;;
    outliers) extra=(--remove-outliers) ;;
  esac
  run "${outputs}_block" "${extra[@]}"
  # shellcheck disable=SC2086  # the tiling options are words
  run "${outputs}_tiles" $tiling "${extra[@]}"
  cmp -s "$scratch/${outputs}_tiles.xyz" "$scratch/${outputs}_block.xyz" && echo "same bytes as one block" ||
    echo "NOT the bytes of one block"
done

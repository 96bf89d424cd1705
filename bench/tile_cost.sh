#!/usr/bin/env bash
# What tiles cost on the bunny: CPU, peak memory and the filtering factor (how many times each
# pass filters a point, halos included) of one block, --memory-limit 256M and 1G, at 0.5, 1 and
# 2 % noise, and whether every tiled output has the bytes of the one-block run. Not part of the tests.
#   bench/tile_cost.sh [build dir] [points] [--out-of-core]     (default: build 1000000)
# Writes its clouds and outputs to a scratch directory it removes at the end.
set -euo pipefail
build=${1:-build}
points=${2:-1000000}
extra=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# data/bunny.off has area 0.880786 and a bounding-box diagonal of 1: noise 0.01 is sigma 0.01.
density=$(/usr/bin/python3 -c "print(round($points / 0.880786))")
for noise in 0.005 0.01 0.02; do
  /usr/bin/python3 "$here/make_cloud.py" "$here/../data/bunny.off" "$points" "$scratch/noisy.xyz" /dev/null \
    --noise "$noise" --seed 1 > /dev/null
  /usr/bin/python3 -c "import numpy as np; np.save('$scratch/noisy.npy', np.loadtxt('$scratch/noisy.xyz', dtype=np.float32))"
  rm "$scratch/noisy.xyz"
  for limit in none 256M 1G; do
    args=(--sigma "$noise" --density "$density")
    [ "$limit" = none ] || args+=(--memory-limit "$limit" $extra)
    rm -f "$scratch/out_$limit.npy"  # a refused run leaves none
    echo "== $points points, noise $noise, limit $limit"
    /usr/bin/time -f "CPU %U s user + %S s system, %e s wall, peak %M KiB" \
      "$build/vandrel" "$scratch/noisy.npy" "$scratch/out_$limit.npy" "${args[@]}" 2>&1 | tr '\r' '\n' |
      grep -E "^Tiles|^Filtered|^CPU|^vandrel:" || true
    if [ "$limit" != none ] && [ -e "$scratch/out_$limit.npy" ]; then
      cmp -s "$scratch/out_$limit.npy" "$scratch/out_none.npy" && echo "same bytes as one block" || echo "NOT the bytes of one block"
    fi
  done
done

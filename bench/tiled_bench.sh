#!/usr/bin/env bash
# Time and peak memory of the filter on synthetic surfaces: one block, tiles under a memory
# limit (the cloud in memory, then on disk), and tiles as Dask tasks on a LocalCluster of 2
# workers. Not part of the tests.
#   bench/tiled_bench.sh [build dir] [point counts...]     (default: build, 1000000 10000000)
# Writes its clouds and outputs to a scratch directory it removes at the end.
set -euo pipefail
build=${1:-build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000000 10000000)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export OPENBLAS_NUM_THREADS=1
for n in "${counts[@]}"; do
  /usr/bin/python3 "$here/make_surface.py" "$n" "$scratch/cloud.npy" > /dev/null
  echo "== $n points (density 1, sigma 0.3)"
  echo -n "one block:        "
  /usr/bin/time -f "%e s, peak %M KiB" "$build/vandrel" "$scratch/cloud.npy" "$scratch/out.npy" \
    --sigma 0.3 --density 1 --quiet 2>&1 | tail -1
  for limit in 256M 1G; do
    echo -n "tiles, $limit:      "
    /usr/bin/time -f "%e s, peak %M KiB" "$build/vandrel" "$scratch/cloud.npy" "$scratch/out.npy" \
      --sigma 0.3 --density 1 --quiet --memory-limit "$limit" 2>&1 | tail -1
  done
  for limit in 256M 1G; do
    echo -n "out of core, $limit:  "
    /usr/bin/time -f "%e s, peak %M KiB" "$build/vandrel" "$scratch/cloud.npy" "$scratch/out.npy" \
      --sigma 0.3 --density 1 --quiet --memory-limit "$limit" --out-of-core 2>&1 | tail -1
  done
  echo -n "dask, 2 workers:  "
  # Eight tiles, so that both workers have work.
  PYTHONPATH="$build/python" /usr/bin/python3 "$here/dask_bench.py" "$scratch/cloud.npy" $((n / 8))
  echo -n "dask, from file:  "
  PYTHONPATH="$build/python" /usr/bin/python3 "$here/dask_bench.py" "$scratch/cloud.npy" $((n / 8)) "$scratch/out.npy" --file
done


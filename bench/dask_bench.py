#!/usr/bin/python3
"""Times the Dask runner on a LocalCluster of 2 single-threaded workers:
    dask_bench.py CLOUD.npy [TILE_POINTS] [OUTPUT.npy] [--file] [--sigma S --density D]
vandrel.dask.denoise on the loaded array, or with --file vandrel.dask.denoise_npy from
CLOUD.npy to OUTPUT.npy (the calling machine then holds a block at a time); sigma 0.3 and
density 1 (the synthetic surfaces of tiled_bench.sh) unless given. Prints the runner's log
(the plan's cost, the points read apart between the passes), the wall time, the peak
resident memory of each worker and of the calling process, and, for the array runner, the
points the tasks of each pass read."""
import logging
import resource
import sys
import tempfile
import time

import numpy as np


def main():
    import distributed
    import vandrel.dask

    logging.basicConfig(format="%(message)s")
    logging.getLogger("vandrel.dask").setLevel(logging.INFO)
    arguments = [a for a in sys.argv[1:] if a != "--file"]
    from_file = "--file" in sys.argv[1:]
    sigma, density = 0.3, 1.0
    for flag in ("--sigma", "--density"):
        if flag in arguments:
            at = arguments.index(flag)
            value = float(arguments[at + 1])
            sigma, density = (value, density) if flag == "--sigma" else (sigma, value)
            del arguments[at:at + 2]
    # What the array runner's tasks read: the rows it hands them, pass by pass (a tile whose
    # halo owns nothing is not sent; the far movers' own reads with halo 0 are left out).
    read = {1: 0, 2: 0}
    current = {"pass": 1}
    tile_halo, tile_rows = vandrel._core.TileHalo, vandrel._core.tile_rows

    def counted_halo(sizes, rows, pass_, move=0.0, found=0.0):
        current["pass"] = pass_
        return tile_halo(sizes, rows, pass_, move, found)

    def counted_rows(points, lo, hi, halo):
        rows, owned = tile_rows(points, lo, hi, halo)
        if halo > 0:
            read[current["pass"]] += len(rows)
        return rows, owned

    vandrel._core.TileHalo, vandrel._core.tile_rows = counted_halo, counted_rows
    cloud = arguments[0]
    tile_points = int(arguments[1]) if len(arguments) > 1 else None
    output = arguments[2] if len(arguments) > 2 else None
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        start = time.perf_counter()
        if from_file:
            with tempfile.TemporaryDirectory() as scratch:
                vandrel.dask.denoise_npy(cloud, output or f"{scratch}/out.npy", sigma, density, client=client,
                                         tile_points=tile_points, threads=1)
        else:
            filtered = vandrel.dask.denoise(np.load(cloud), sigma, density, client=client, tile_points=tile_points,
                                            threads=1)
            if output:
                np.save(output, filtered)
        elapsed = time.perf_counter() - start
        workers = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    print(f"{elapsed:.1f} s, peak per worker {max(workers.values())} KiB, "
          f"calling process {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss} KiB"
          + ("" if from_file else f", points read by the tasks: pass 1 {read[1]}, pass 2 {read[2]}"), flush=True)


if __name__ == "__main__":
    main()

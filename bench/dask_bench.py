#!/usr/bin/python3
"""Times the Dask runner on a LocalCluster of 2 single-threaded workers:
    dask_bench.py CLOUD.npy [TILE_POINTS] [OUTPUT.npy] [--file]
vandrel.dask.denoise on the loaded array, or with --file vandrel.dask.denoise_npy from
CLOUD.npy to OUTPUT.npy (the calling machine then holds a block at a time). Prints the
wall time, the peak resident memory of each worker and of the calling process."""
import resource
import sys
import tempfile
import time

import numpy as np


def main():
    import distributed
    import vandrel.dask

    arguments = [a for a in sys.argv[1:] if a != "--file"]
    from_file = "--file" in sys.argv[1:]
    cloud = arguments[0]
    tile_points = int(arguments[1]) if len(arguments) > 1 else None
    output = arguments[2] if len(arguments) > 2 else None
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        start = time.perf_counter()
        if from_file:
            with tempfile.TemporaryDirectory() as scratch:
                vandrel.dask.denoise_npy(cloud, output or f"{scratch}/out.npy", 0.3, 1.0, client=client,
                                         tile_points=tile_points, threads=1)
        else:
            filtered = vandrel.dask.denoise(np.load(cloud), 0.3, 1.0, client=client, tile_points=tile_points, threads=1)
            if output:
                np.save(output, filtered)
        elapsed = time.perf_counter() - start
        workers = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    print(f"{elapsed:.1f} s, peak per worker {max(workers.values())} KiB, "
          f"calling process {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss} KiB", flush=True)


if __name__ == "__main__":
    main()

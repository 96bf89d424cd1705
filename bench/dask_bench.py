#!/usr/bin/python3
"""Times vandrel.dask.denoise on a LocalCluster of 2 single-threaded workers:
    dask_bench.py CLOUD.npy [TILE_POINTS] [OUTPUT.npy]
prints the wall time, the peak resident memory of each worker and of the driver."""
import resource
import sys
import time

import numpy as np


def main():
    import distributed
    import vandrel.dask

    points = np.load(sys.argv[1])
    tile_points = int(sys.argv[2]) if len(sys.argv) > 2 else None
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        start = time.perf_counter()
        filtered = vandrel.dask.denoise(points, 0.3, 1.0, client=client, tile_points=tile_points, threads=1)
        elapsed = time.perf_counter() - start
        workers = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    if len(sys.argv) > 3:
        np.save(sys.argv[3], filtered)
    print(f"{elapsed:.1f} s, peak per worker {max(workers.values())} KiB, "
          f"driver {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss} KiB", flush=True)


if __name__ == "__main__":
    main()

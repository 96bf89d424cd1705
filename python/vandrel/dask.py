"""Denoising on a dask.distributed cluster: the cloud is cut into tiles, each filtered with
its halo as one task, and every point takes its value from the tile that owns it. The
result has the bits of vandrel.denoise on the whole cloud (see api/tiling.h for why and
for the one limit: clouds spanning more than about 10^7 point spacings along an axis).

Needs the Debian packages python3-dask and python3-distributed; the workers need the
vandrel package installed (it is imported there to run the tasks).
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _core, _point_array, _restored, _single_rows

# The first tasks' halo is sized for the typical neighbourhood; a tile that finds it too
# small comes back and is sent again with the halo it asked for.


def _filter_tile(points: np.ndarray, lo: np.ndarray, hi: np.ndarray, sizes: tuple, sigma: float, density: float,
                 reach: tuple, threads: Optional[int]) -> tuple:
    # Arrays that crossed the network may arrive unaligned inside a message buffer.
    points = np.require(points, np.float32, ["C", "A"])
    return _core.filter_tile(points, lo, hi, sizes, sigma, density, reach[0], reach[1], threads)


def denoise(points: npt.ArrayLike | Any, sigma: Optional[float] = None, density: Optional[float] = None, *,
            client: Any = None, tile_points: Optional[int] = None, threads: Optional[int] = None) -> np.ndarray:
    """Denoises a point cloud on a dask.distributed cluster, tile by tile.

    points, sigma, density  as for vandrel.denoise (sigma and density are estimated once,
              on the whole cloud, when None).
    client    a distributed.Client; None starts a LocalCluster of 2 workers for the call
              and closes it after.
    tile_points  points a tile owns, at most; None chooses tiles that read about a million
              points with their halo (about 1 GiB of working memory per task).
    threads   threads per task (None or 0: OpenMP's default on the worker).

    Returns the filtered N x 3 array in row order, with vandrel.denoise's dtype rules.
    Raises what vandrel.denoise raises, and what the cluster raises for failed tasks.
    """
    array = _point_array(points)
    rows, centre, result_dtype = _single_rows(array)
    if len(rows) == 0:
        return np.empty((0, 3), dtype=result_dtype)
    density = float(_core.estimate_density(rows)) if density is None else float(density)
    sigma = float(_core.estimate_sigma(rows)) if sigma is None else float(sigma)
    if tile_points is None:
        read_points = _core.tile_points_for_memory(0)
        lo, hi, sizes = _core.plan_tiles(rows, sigma, density, read_points, read_points)
    else:
        lo, hi, sizes = _core.plan_tiles(rows, sigma, density, int(tile_points), 0)
    _core.check_neighbourhood_size(rows, sizes)

    own_client = client is None
    if own_client:
        from distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        filtered = _run_tiles(client, rows, lo, hi, sizes, sigma, density, threads)
    finally:
        if own_client:
            client.close()
            cluster.close()
    return _restored(filtered, centre, result_dtype)


def _run_tiles(client: Any, rows: np.ndarray, lo: np.ndarray, hi: np.ndarray, sizes: tuple, sigma: float,
               density: float, threads: Optional[int]) -> np.ndarray:
    from distributed import as_completed

    finite_count = int(np.isfinite(rows).all(axis=1).sum())
    # Rows no tile owns (non-finite ones) come back as given.
    result = rows.copy()
    pending = {}

    def submit(tile: int, reach: tuple) -> None:
        read, owned = _core.tile_rows(rows, lo[tile], hi[tile], _core.tile_halo(sizes, *reach))
        if not owned.any():
            return
        if len(read) == finite_count:  # the whole cloud: nothing left to check
            reach = (float("inf"), reach[1])
        # Sent ahead as data of its own rather than inside the task's description.
        tile_points = client.scatter(rows[read], hash=False)
        future = client.submit(_filter_tile, tile_points, lo[tile], hi[tile], sizes, sigma, density, reach, threads,
                               pure=False)
        pending[future] = (tile, read, owned)
        queue.add(future)

    queue = as_completed()
    for tile in range(len(lo)):
        submit(tile, _core.initial_reach(sizes))
    for future in queue:
        tile, read, owned = pending.pop(future)
        complete, needed_neighbours, needed_move, points = future.result()
        future.release()
        if not complete:
            submit(tile, (needed_neighbours, needed_move))
            continue
        result[read[owned]] = points[owned]
    return result

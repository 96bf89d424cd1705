"""Denoising on a dask.distributed cluster: the cloud is cut into tiles, each filtered with
its halo as one task a pass, and every point takes its value from the tile that owns it:
first every tile's first pass, whose results the client gathers, then every tile's second
pass on them. The result has the bits of vandrel.denoise on the whole cloud (see
tiling/tiling.h for why and for the one limit: clouds spanning more than about 6 x 10^6
point spacings along an axis).

denoise_npy() does the same for a .npy file on storage the workers share, the calling
machine reading it a block of rows at a time.

Needs the Debian packages python3-dask and python3-distributed; the workers need the
vandrel package installed (it is imported there to run the tasks).
"""
from __future__ import annotations

import logging
import os
import secrets
import shutil
import tempfile
import warnings
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _box_centre, _centred_rows, _core, _mask_rows, _point_array, _restored, _single_rows

# Each tile's halo loop is the library's own (_core.TileHalo, as run_tiles drives it): the
# first tasks' halo is sized for the typical neighbourhood; a tile that finds it too small
# comes back and is sent again with the halo it asked for. A second pass's halo allows for the
# first pass's moves save those of the few points thrown further (_core.FarMovers): every
# second-pass tile reads them with their 50 nearest neighbours besides its halo, as run_tiles does.


def _filter_tile(pass_: int, points: np.ndarray, first: Optional[tuple], lo: np.ndarray, hi: np.ndarray, sizes: tuple,
                 sigma: float, density: float, reach: tuple, threads: Optional[int],
                 frames_known: Optional[np.ndarray] = None) -> tuple:
    # Arrays that crossed the network may arrive unaligned inside a message buffer.
    points = np.require(points, np.float32, ["C", "A"])
    positions, noise = (None, None) if first is None else (np.require(first[0], np.float32, ["C", "A"]),
                                                         np.require(first[1], np.float32, ["C", "A"]))
    return _core.filter_tile(pass_, points, positions, noise, lo, hi, sizes, sigma, density, reach[0], reach[1], threads,
                             frames_known)


def _with_extra(read: np.ndarray, points: np.ndarray, owned: np.ndarray, extra: Optional[tuple]) -> tuple:
    """A second-pass tile's rows (ascending), points and owned flags with the far movers and
    their neighbours it lacks (none of which it owns: its box lies within its halo), and the
    far movers' flags (None without extra rows)."""
    if extra is None or len(extra[0]) == 0:
        return read, points, owned, None
    merged, merged_points, known = _core.add_extra(read, points, *extra)
    return merged, merged_points, np.isin(merged, read[owned]), known


def _far_movers(sizes: tuple, tiles) -> tuple:
    """The far movers of the first pass and the largest move the second pass's halos allow
    for: tiles() yields (rows, input points, first-pass positions) of every finite row once
    (twice over: offered, then searched)."""
    far = _core.FarMovers(sizes)
    for rows, inputs, firsts in tiles():
        far.offer(rows, inputs, firsts, sizes)
    if far.any():
        for rows, inputs, firsts in tiles():
            far.search(rows, inputs, firsts)
    extra = far.extra()
    if len(extra[0]) == 0:
        return None, far.rest()
    logging.getLogger("vandrel.dask").info(
        f"vandrel.dask: {int(extra[2].sum())} points thrown further than a second-pass halo allows for are read by "
        f"every tile with their 50 nearest neighbours ({len(extra[0])} rows)")
    return extra, far.rest()


def _say_cost(sample: np.ndarray, step: int, lo: np.ndarray, hi: np.ndarray, sizes: tuple, sigma: float,
              density: float, tile_points: int, stacklevel: int = 3) -> None:
    """Says, before the tiles run, how many times each pass will filter a point with the
    halos (counted on `sample`, every step-th point of the cloud); above 1.5 times, warns
    and names the tile_points that would bring it to 1.5."""
    factor = _core.filtering_factor(sample, lo, hi, sizes)
    message = (f"vandrel.dask: {len(lo)} tiles of at most {tile_points} points filter each point {factor:.2f} "
               "times a pass, halos included")
    logging.getLogger("vandrel.dask").info(message)
    if factor > _core.cheap_factor:
        cheap = _cheap_tile_points(sample, step, sigma, density, tile_points)
        warnings.warn(message + f"; tile_points={cheap} would bring that to {_core.cheap_factor}", stacklevel=stacklevel)


def _cheap_tile_points(sample: np.ndarray, step: int, sigma: float, density: float, tile_points: int) -> int:
    """The fewest points a tile may own (tile_points, to about 2 %) whose plan filters each
    point at most _core.cheap_factor times a pass, counted on the sample."""
    def cheap(owned: int) -> bool:
        lo, hi, sizes = _core.plan_tiles(sample, sigma, density, max(1, owned // step), 0)
        return _core.filtering_factor(sample, lo, hi, sizes) <= _core.cheap_factor

    low = high = max(1, int(tile_points))
    while not cheap(high):  # one tile, at the latest, costs 1
        low, high = high, high * 2
    while high - low > max(1, high // 50):
        middle = (low + high) // 2
        low, high = (low, middle) if cheap(middle) else (middle, high)
    return high


def denoise(points: npt.ArrayLike | Any, sigma: Optional[float] = None, density: Optional[float] = None, *,
            client: Any = None, tile_points: Optional[int] = None, threads: Optional[int] = None,
            mask: Optional[npt.ArrayLike] = None, normals: bool = False, noise: bool = False,
            outliers: bool = False) -> np.ndarray:
    """Denoises a point cloud on a dask.distributed cluster, tile by tile.

    points, sigma, density  as for vandrel.denoise (sigma and density are estimated once,
              on the whole cloud, when None).
    client    a distributed.Client; None starts a LocalCluster of 2 workers for the call
              and closes it after.
    tile_points  points a tile owns, at most; None chooses tiles that read about a million
              points with their halo (about 1 GiB of working memory per task).
    threads   threads per task (None or 0: OpenMP's default on the worker).
    mask      None, or a boolean array of N values: as for vandrel.denoise, only the rows
              where it is True are tiled and filtered, as a cloud of their own (sigma and
              density left out are estimated from them); the others come back as given.
    normals, noise, outliers  not given by the cluster runners: True raises ValueError
              (vandrel.denoise gives them for a cloud filtered whole).

    Returns the filtered N x 3 array in row order, with vandrel.denoise's dtype rules.
    Raises what vandrel.denoise raises, and what the cluster raises for failed tasks.
    """
    _refuse_outputs("vandrel.dask.denoise", normals, noise, outliers)
    if sigma is not None and np.ndim(sigma) > 0:
        raise ValueError("vandrel.dask.denoise takes one sigma= for every point; a sigma per point is filtered "
                         "whole, by vandrel.denoise")
    array = _point_array(points)
    selection = _mask_rows(mask, len(array))
    rows, centre, result_dtype = _single_rows(array, selection)
    if selection is not None:
        # The selected rows are tiled as a cloud of their own and put back in their places.
        chosen = _denoise_rows(np.ascontiguousarray(rows[selection]), sigma, density, client, tile_points, threads)
        rows = rows.copy()
        rows[selection] = chosen
        result = _restored(rows, centre, result_dtype)
        if centre is not None:
            result[~selection] = array[~selection]  # the input's own values, not their trip through float32
        return result
    return _restored(_denoise_rows(rows, sigma, density, client, tile_points, threads), centre, result_dtype)


def _denoise_rows(rows: np.ndarray, sigma: Optional[float], density: Optional[float], client: Any,
                  tile_points: Optional[int], threads: Optional[int]) -> np.ndarray:
    """denoise's run over C-ordered float32 rows: parameters, tiles, the cluster."""
    if len(rows) == 0:
        return rows
    sigma, density = _core.resolve_parameters(rows, sigma, density)
    if tile_points is None:
        read_points = _core.tile_points_for_memory(0)
        lo, hi, sizes = _core.plan_tiles(rows, sigma, density, read_points, read_points)
    else:
        read_points = int(tile_points)
        lo, hi, sizes = _core.plan_tiles(rows, sigma, density, read_points, 0)
    _core.check_neighbourhood_size(rows, sizes)
    # Called through denoise: the warning names the caller's line.
    step = max(1, len(rows) // _COST_SAMPLE_ROWS)
    _say_cost(np.ascontiguousarray(rows[::step]), step, lo, hi, sizes, sigma, density, read_points, stacklevel=4)

    own_client = client is None
    if own_client:
        from distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        return _run_tiles(client, rows, lo, hi, sizes, sigma, density, threads)
    finally:
        if own_client:
            client.close()
            cluster.close()


# What a task's result raises when the worker that held its data or ran it was lost; such a
# tile is sent again, at most _MAX_RESENDS times.
_MAX_RESENDS = 3


def _refuse_outputs(runner: str, normals: bool, noise: bool, outliers: bool) -> None:
    asked = [name + "=True" for name, value in (("normals", normals), ("noise", noise), ("outliers", outliers)) if value]
    if asked:
        raise ValueError(f"{runner} gives the filtered points only, not {', '.join(asked)}: ask vandrel.denoise, "
                         "which gives them for a cloud filtered whole")


def _lost_with_a_worker() -> tuple:
    from concurrent.futures import CancelledError
    from distributed.scheduler import KilledWorker
    return (CancelledError, KilledWorker)


def _scatter(client: Any, data: Any) -> Any:
    """Sends data ahead to a worker; when that worker dies while it receives, to another."""
    from distributed.comm.core import CommClosedError
    for attempt in range(_MAX_RESENDS + 1):
        try:
            return client.scatter(data, hash=False)
        except (CommClosedError, OSError):
            if attempt == _MAX_RESENDS:
                raise


def _run_tiles(client: Any, rows: np.ndarray, lo: np.ndarray, hi: np.ndarray, sizes: tuple, sigma: float,
               density: float, threads: Optional[int]) -> np.ndarray:
    from distributed import as_completed

    finite_count = int(np.isfinite(rows).all(axis=1).sum())
    # Rows no tile owns (non-finite ones) come back as given.
    result = rows.copy()
    # What the first pass leaves each row, for the second.
    first_positions = np.zeros_like(rows)
    first_noise = np.zeros(len(rows), dtype=np.float32)
    largest_move = found = 0.0
    extra = None
    for pass_ in (1, 2):
        if pass_ == 2:
            extra, largest_move = _far_movers(sizes, lambda: _owned_firsts(rows, lo, hi, first_positions))
        halos = [_core.TileHalo(sizes, finite_count, pass_, largest_move, found) for _ in range(len(lo))]
        pending = {}
        queue = as_completed()

        def submit(tile: int) -> None:
            read, owned = _core.tile_rows(rows, lo[tile], hi[tile], halos[tile].halo())
            if not owned.any():
                return
            read, points, owned, known = _with_extra(read, rows[read], owned, extra if pass_ == 2 else None)
            reach = halos[tile].reach(len(read))
            # Sent ahead as data of their own rather than inside the task's description.
            tile_points = _scatter(client, points)
            first = None if pass_ == 1 else _scatter(client, (first_positions[read], first_noise[read]))
            future = client.submit(_filter_tile, pass_, tile_points, first, lo[tile], hi[tile], sizes, sigma, density,
                                   reach, threads, known, pure=False)
            pending[future] = (tile, read, owned)
            queue.add(future)

        lost = np.zeros(len(lo), dtype=np.int64)
        for tile in range(len(lo)):
            submit(tile)
        for future in queue:
            tile, read, owned = pending.pop(future)
            try:
                complete, needed_neighbours, needed_move, points, noise, _, _, reach = future.result()
            except _lost_with_a_worker():
                # The worker that held the tile's points (or ran its task) is gone: send it again.
                lost[tile] += 1
                if lost[tile] > _MAX_RESENDS:
                    raise
                future.release()
                submit(tile)
                continue
            future.release()
            if not complete:
                halos[tile].widen(needed_neighbours, needed_move)
                submit(tile)
                continue
            if pass_ == 1:
                first_positions[read[owned]] = points[owned]
                first_noise[read[owned]] = noise[owned]
                found = max(found, reach)
            else:
                result[read[owned]] = points[owned]
    return result


def _owned_firsts(rows: np.ndarray, lo: np.ndarray, hi: np.ndarray, first_positions: np.ndarray):
    """(rows, points, first-pass positions) of every tile's own points, tile by tile."""
    for tile in range(len(lo)):
        read, owned = _core.tile_rows(rows, lo[tile], hi[tile], 0.0)
        own = read[owned]
        if len(own):
            yield own, rows[own], first_positions[own]


# Clouds in files. The calling machine passes over the input a block of rows at a time and
# never holds the cloud: it plans tiles on a sample, sorts every tile's rows into a bin file
# on storage the workers share, and assembles the output from the tiles' result files.

_SAMPLE_ROWS = 1 << 22    # rows of the planning sample, at most
_COST_SAMPLE_ROWS = 1 << 18  # rows on which the cost of a plan is counted, about

# A tile's bin: its rows in input order, each with its float32 (centred) point and whether
# the tile owns it. Raw records, appended block after block.
_BIN_RECORD = np.dtype([("row", "<i8"), ("point", "<f4", (3,)), ("owned", "u1")])


# What the first pass leaves each row of the input, for the second: (x, y, z, noise),
# float32, scaled by sqrt(density); a file the client assembles from the tiles' results.
_FIRST_RECORD = np.dtype(("<f4", (4,)))


def _filter_bin(pass_: int, bin_path: str, first_path: Optional[str], result_path: str, lo: np.ndarray,
                hi: np.ndarray, sizes: tuple, sigma: float, density: float, reach: tuple,
                threads: Optional[int], extra: Optional[tuple] = None) -> tuple:
    """A task of denoise_npy: one pass over the tile in bin_path (pass 2 reads the first
    pass's results of its rows from first_path, and the far movers' rows `extra` besides the
    bin). Complete, it writes the owned rows (int64,
    ascending) to result_path + ".rows" and their results to result_path + ".points" (pass
    1: float32 N x 4, positions and noise; pass 2: float32 N x 3) and returns (True, (count,
    first row, largest move, farthest 50th neighbour)); else it returns (False, the reach it needs)."""
    records = np.fromfile(bin_path, dtype=_BIN_RECORD)
    read, owned, known = records["row"], records["owned"] != 0, None
    points = np.ascontiguousarray(records["point"])
    positions = noise = None
    if pass_ == 2:
        if extra is not None:  # unpickled: aligned copies with the core's own dtypes
            extra = tuple(np.require(part, None, ["C", "A"]).view(part.dtype.type) for part in extra)
        read, points, owned, known = _with_extra(np.ascontiguousarray(read), points, owned, extra)
        first = np.load(first_path, mmap_mode="r")[read]
        positions, noise = np.ascontiguousarray(first[:, :3]), np.ascontiguousarray(first[:, 3])
    complete, needed_neighbours, needed_move, filtered, filtered_noise, move, _, reach = _core.filter_tile(
        pass_, points, positions, noise, lo, hi, sizes, sigma, density, reach[0], reach[1], threads, known)
    if not complete:
        return False, (needed_neighbours, needed_move)
    rows = np.ascontiguousarray(read[owned], dtype=np.int64)
    out = filtered[owned] if pass_ == 2 else np.column_stack([filtered[owned], filtered_noise[owned]])
    np.ascontiguousarray(out, dtype=np.float32).tofile(result_path + ".points")
    rows.tofile(result_path + ".rows")
    return True, (len(rows), int(rows[0]) if len(rows) else -1, move, reach)


class _NpyInput:
    """The input file, memory-mapped, read a block of rows at a time as the float32 rows
    vandrel.denoise would give the core for the whole array (_single_rows)."""

    def __init__(self, path: str, block_rows: int) -> None:
        self.path = path
        self.block_rows = block_rows
        try:
            array = np.load(path, mmap_mode="r", allow_pickle=False)
        except ValueError as failure:
            raise ValueError(f"{path} is not a .npy file of numbers: {failure}") from failure
        if not isinstance(array, np.ndarray):
            raise ValueError(f"{path} is not a single .npy array (an .npz archive?)")
        if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
            raise ValueError(f"{path} holds {array.dtype} numbers; float32 or float64 is needed")
        if array.ndim != 2 or array.shape[1] < 3:
            raise ValueError(f"{path} holds an array of shape {array.shape}; N x k with k >= 3 "
                             "(x, y, z, then columns carried through) is needed")
        if not array.flags.c_contiguous:
            raise ValueError(f"{path} is stored in Fortran (column-major) order; C (row-major) order is needed")
        self.array = array
        self.rows = array.shape[0]
        # As _single_rows: float64 points are centred on their bounding box before rounding.
        self.wide = array.dtype.newbyteorder("=") if array.dtype.itemsize > 4 else None
        self.centre: Optional[np.ndarray] = None

    def blocks(self):
        """(first row, the block's rows of the file)."""
        for first in range(0, self.rows, self.block_rows):
            yield first, self.array[first:first + self.block_rows]

    def float32_rows(self, first: int, block: np.ndarray) -> np.ndarray:
        """The block's points as the core takes them: C-ordered float32, centred for float64."""
        coordinates = block[:, :3]
        if self.centre is None:
            return np.ascontiguousarray(coordinates, dtype=np.float32)
        return _centred_rows(coordinates, self.centre, self.wide, first, f"{self.path}: ")

    def restored(self, rows: np.ndarray) -> np.ndarray:
        """float32 rows back in the file's precision, as _restored gives them."""
        if self.centre is None:
            return rows
        return rows.astype(self.wide) + self.centre


def denoise_npy(input: str, output: str, sigma: Optional[float] = None, density: Optional[float] = None, *,
                client: Any = None, tile_points: Optional[int] = None, threads: Optional[int] = None,
                scratch: Optional[str] = None, block_rows: int = 1 << 20, normals: bool = False,
                noise: bool = False, outliers: bool = False) -> None:
    """Denoises a point cloud in a .npy file on a dask.distributed cluster, tile by tile,
    never holding the whole cloud on the calling machine.

    input     a .npy file on storage every worker sees (NFS, Lustre, ...): an N x k array,
              k >= 3, float32 or float64 of either byte order, C order; columns 0-2 are
              x, y, z, the others are carried through.
    output    the .npy file to write: the input's shape and dtype, columns 0-2 the filtered
              points (rows with a non-finite coordinate as vandrel.denoise gives them), the
              others copied. Written beside under a temporary name and renamed into place
              when complete; an existing file is replaced only then.
    sigma, density  as for vandrel.denoise. Those left None are estimated from one compact
              region of the cloud of about a million points (the whole cloud when it has
              fewer), not from the whole cloud: on a cloud of uneven density or noise, give
              them.
    client, tile_points, threads  as for denoise.
    scratch   a folder every worker sees in which the call makes a folder for its tiles'
              files (about 25 bytes per point read, halos included, and 16 bytes per point
              for the first pass's results); None makes it beside
              output. Removed at the end, whatever happens.
    block_rows  rows the calling machine reads at a time; its memory is about
              block_rows * (k + 6) * 8 bytes, with the planning sample (at most 4M rows)
              and a few numbers per tile.

    The coordinates written have the bits of vandrel.denoise(np.load(input)[:, :3], sigma,
    density) (parameters estimated as above). Raises ValueError for an input that is not
    such a file or an output that is the input file (under any name, links included), what vandrel.denoise raises for the parameters and the points, and what
    the cluster raises for failed tasks.
    """
    _refuse_outputs("vandrel.dask.denoise_npy", normals, noise, outliers)
    _refuse_same_file(input, output)
    source = _NpyInput(input, _positive_rows(block_rows))
    # The same checks, and messages, as vandrel.denoise's: the core refuses a bad sigma,
    # density or thread count before it looks at the (here empty) cloud.
    _core.denoise(np.empty((0, 3), dtype=np.float32), sigma, density, threads, None, None)
    output = os.path.abspath(output)
    folder, name = os.path.split(output)
    scratch_folder = tempfile.mkdtemp(prefix=f"{name}.scratch-",
                                      dir=os.path.abspath(scratch) if scratch is not None else folder)
    partial = None
    try:
        if source.rows == 0:  # nothing to filter, nor to estimate from, as for vandrel.denoise
            partial = _partial_output(folder, name)
            with open(partial, "wb") as written:
                np.save(written, source.array)
            os.replace(partial, output)
            partial = None
            return
        finite_count = _centre_and_count(source)
        sample, stride, probes = _sample_and_probes(source, finite_count)
        if density is None or sigma is None:
            region = _estimation_region(source, sample, stride)
            sigma, density = _core.resolve_parameters(region, sigma, density)
            del region
        sigma, density = float(sigma), float(density)
        if tile_points is None:
            read_points = max(1, _core.tile_points_for_memory(0) // stride)
            lo, hi, sizes = _core.plan_tiles(sample, sigma, density, read_points, read_points)
        else:
            wanted = int(tile_points)  # below 1 refused by the planner
            lo, hi, sizes = _core.plan_tiles(sample, sigma, density, max(1, wanted // stride) if wanted >= 1 else
                                             wanted, 0)
        step = max(1, len(sample) // _COST_SAMPLE_ROWS)
        _say_cost(np.ascontiguousarray(sample[::step]), step * stride, lo, hi, sizes, sigma, density,
                  _core.tile_points_for_memory(0) if tile_points is None else int(tile_points))
        del sample
        # The filter's refusal of huge neighbourhoods, on the whole cloud, before any tile is
        # binned: with density in the wrong units every tile's halo would hold the cloud.
        check = _core.NeighbourhoodCheck(sizes, probes)
        for first, block in source.blocks():
            check.count(source.float32_rows(first, block), threads)
        check.judge()

        tiles = _TileBins(source, scratch_folder, lo, hi, sizes, finite_count)
        tiles.bin_all()
        own_client = client is None
        if own_client:
            from distributed import Client, LocalCluster
            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
            client = Client(cluster)
        try:
            first = tiles.run(client, 1, None, sigma, density, threads)
            first_path = os.path.join(scratch_folder, "first-pass.npy")
            _assemble_first_pass(source, first_path, first, finite_count)
            extra, halo_move = _far_movers(tiles.sizes, lambda: _first_pass_rows(source, first_path))
            tiles.second_pass(halo_move, max((detail[4] for detail in first.values()), default=0.0))
            results = tiles.run(client, 2, first_path, sigma, density, threads, extra)
        finally:
            if own_client:
                client.close()
                cluster.close()
        partial = _partial_output(folder, name)
        _assemble(source, partial, results, finite_count)
        os.replace(partial, output)
        partial = None
    finally:
        if partial is not None and os.path.exists(partial):
            os.remove(partial)
        shutil.rmtree(scratch_folder, ignore_errors=True)


def _partial_output(folder: str, name: str) -> str:
    """A new file beside the output, renamed to it once written. Made with the permissions
    the umask gives new files (mkstemp's are private to the owner), as the output would be."""
    while True:
        path = os.path.join(folder, f"{name}.{secrets.token_hex(4)}.partial")
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return path
        except FileExistsError:
            continue


def _refuse_same_file(input: str, output: str) -> None:
    """Refuses an output that is the input file itself, under any name (a symbolic or hard
    link included), as the command line does: writing it would replace the input."""
    try:
        same = os.path.samefile(input, output)
    except OSError:  # no output yet (or no input: reported when it is read)
        return
    if same:
        raise ValueError(f"the output '{output}' is the input file '{input}'; name another file")


def _positive_rows(block_rows: Any) -> int:
    if isinstance(block_rows, bool) or not isinstance(block_rows, (int, np.integer)) or block_rows < 1:
        raise ValueError(f"block_rows must be a whole number >= 1, but it is {block_rows!r}")
    return int(block_rows)


def _centre_and_count(source: _NpyInput) -> int:
    """The number of finite rows; sets the float64 centre as _single_rows takes it (min and
    max are exact, so blocks give the whole array's)."""
    finite_count = 0
    low = high = None
    for _, block in source.blocks():
        coordinates = block[:, :3]
        finite = np.isfinite(coordinates).all(axis=1)
        finite_count += int(finite.sum())
        if source.wide is not None and finite.any():
            points = np.asarray(coordinates[finite], dtype=source.wide)
            low = points.min(axis=0) if low is None else np.minimum(low, points.min(axis=0))
            high = points.max(axis=0) if high is None else np.maximum(high, points.max(axis=0))
    if source.wide is not None:
        source.centre = _box_centre(low, high, source.wide) if low is not None else np.zeros(3, source.wide)
    return finite_count


def _sample_and_probes(source: _NpyInput, finite_count: int) -> tuple:
    """Every stride-th row (the planning sample, at most _SAMPLE_ROWS rows), the stride,
    and the neighbourhood check's probe points."""
    stride = max(1, -(-source.rows // _SAMPLE_ROWS))
    ranks = _core.neighbourhood_probe_ranks(finite_count)
    sample, probes = [], []
    finite_before = 0
    for first, block in source.blocks():
        rows = source.float32_rows(first, block)
        sample.append(rows[(-first) % stride::stride].copy())  # not a view that keeps the block
        finite_rows = np.flatnonzero(np.isfinite(rows).all(axis=1))
        here = ranks[(ranks >= finite_before) & (ranks < finite_before + len(finite_rows))] - finite_before
        probes.append(rows[finite_rows[here]])
        finite_before += len(finite_rows)
    return (np.ascontiguousarray(np.concatenate(sample) if sample else np.empty((0, 3)), dtype=np.float32), stride,
            np.ascontiguousarray(np.concatenate(probes) if probes else np.empty((0, 3)), dtype=np.float32))


def _estimation_region(source: _NpyInput, sample: np.ndarray, stride: int) -> np.ndarray:
    """The finite points, in row order, of one compact region of about _core.estimation_region_points(...)
    points: the box, of a bisection of the sample, that holds the sample's middle point."""
    finite_sample = sample[np.isfinite(sample).all(axis=1)]
    if len(finite_sample) == 0:
        return np.empty((0, 3), dtype=np.float32)  # the estimators refuse it as they refuse the cloud
    lo, hi, _ = _core.plan_tiles(finite_sample, 0.0, 1.0, max(1, _core.estimation_region_points(_core.tile_points_for_memory(0)) // stride), 0)
    middle = finite_sample[len(finite_sample) // 2]
    box = int(np.flatnonzero(((lo <= middle) & (middle < hi)).all(axis=1))[0])
    region = []
    for first, block in source.blocks():
        rows = source.float32_rows(first, block)
        region.append(rows[((lo[box] <= rows) & (rows < hi[box])).all(axis=1)])
    return np.ascontiguousarray(np.concatenate(region), dtype=np.float32)


class _TileBins:
    """The tiles' bin files under the scratch folder, and their runs on the cluster."""

    def __init__(self, source: _NpyInput, folder: str, lo: np.ndarray, hi: np.ndarray, sizes: tuple,
                 finite_count: int) -> None:
        self.source, self.folder, self.lo, self.hi, self.sizes = source, folder, lo, hi, sizes
        self.finite_count = finite_count
        self.read_counts = np.zeros(len(lo), dtype=np.int64)
        self.owned_counts = np.zeros(len(lo), dtype=np.int64)
        self.attempts = np.zeros(len(lo), dtype=np.int64)
        self.halos = [_core.TileHalo(sizes, finite_count, 1) for _ in range(len(lo))]
        self.binned = np.full(len(lo), self.halos[0].halo())  # the halo each bin holds

    def second_pass(self, largest_move: float, found: float) -> None:
        """Halos for the second pass; a bin narrower than its tile's is made again."""
        self.halos = [_core.TileHalo(self.sizes, self.finite_count, 2, largest_move, found) for _ in range(len(self.lo))]
        for tile in range(len(self.lo)):
            if self.halos[tile].halo() > self.binned[tile]:
                self._rebin(tile)

    def bin_path(self, tile: int) -> str:
        return os.path.join(self.folder, f"tile-{tile}-{self.attempts[tile]}.bin")

    def bin_all(self) -> None:
        """Every tile with its initial halo (all tiles have the same), in one pass over the input."""
        self._bin(np.arange(len(self.lo)), self.halos[0].halo())

    def rebin(self, tile: int, needed: tuple) -> None:
        """One tile again, with the wider halo it asked for: a pass over the input for it alone."""
        self.halos[tile].widen(*needed)
        self._rebin(tile)

    def _rebin(self, tile: int) -> None:
        os.remove(self.bin_path(tile))
        self.attempts[tile] += 1
        self.read_counts[tile] = self.owned_counts[tile] = 0
        self.binned[tile] = self.halos[tile].halo()
        self._bin(np.array([tile]), self.binned[tile])

    def _bin(self, tiles: np.ndarray, halo: float) -> None:
        # tile_rows's test, in double: lo - halo <= p <= hi + halo on every axis.
        reach_lo = self.lo[tiles].astype(np.float64) - halo
        reach_hi = self.hi[tiles].astype(np.float64) + halo
        for tile in tiles:
            open(self.bin_path(tile), "wb").close()
        for first, block in self.source.blocks():
            rows = self.source.float32_rows(first, block)
            finite = rows[np.isfinite(rows).all(axis=1)]
            if len(finite) == 0:
                continue
            # Only tiles whose halo reaches the block's bounding box are scanned.
            low, high = finite.min(axis=0).astype(np.float64), finite.max(axis=0).astype(np.float64)
            near = ((reach_lo <= high) & (low <= reach_hi)).all(axis=1)
            for tile in tiles[near]:
                read, owned = _core.tile_rows(rows, self.lo[tile], self.hi[tile], halo)
                if len(read) == 0:
                    continue
                records = np.empty(len(read), dtype=_BIN_RECORD)
                records["row"] = read + first
                records["point"] = rows[read]
                records["owned"] = owned
                with open(self.bin_path(tile), "ab") as bin_file:
                    records.tofile(bin_file)
                self.read_counts[tile] += len(read)
                self.owned_counts[tile] += int(owned.sum())

    def run(self, client: Any, pass_: int, first_path: Optional[str], sigma: float, density: float,
            threads: Optional[int], extra: Any = None) -> dict:
        """Runs pass pass_ over every tile that owns points (pass 2 with the far movers'
        rows `extra`, if any); returns {tile: (result path, count, first row, largest move,
        farthest 50th neighbour)}."""
        from distributed import as_completed

        pending: dict = {}
        results: dict = {}
        queue = as_completed()

        def submit(tile: int) -> None:
            if self.owned_counts[tile] == 0:
                return
            reach = self.halos[tile].reach(int(self.read_counts[tile]))
            result_path = os.path.join(self.folder, f"result-{pass_}-{tile}")
            future = client.submit(_filter_bin, pass_, self.bin_path(tile), first_path, result_path, self.lo[tile],
                                   self.hi[tile], self.sizes, sigma, density, reach, threads, extra, pure=False)
            pending[future] = (tile, result_path)
            queue.add(future)

        try:
            for tile in range(len(self.lo)):
                submit(tile)
            for future in queue:
                tile, result_path = pending.pop(future)
                complete, detail = future.result()
                future.release()
                if not complete:
                    self.rebin(tile, detail)
                    submit(tile)
                    continue
                results[tile] = (result_path, *detail)
        finally:
            # A failed task stops the call: the others are not left writing to the scratch folder.
            if pending:
                client.cancel(list(pending))
        return results


def _owned_results(source: _NpyInput, results: dict, finite_count: int, columns: int):
    """For every block of the input: (first row, block, rows, values), the owned rows of
    the block (ascending) and their results (float32, `columns` each), from the tiles'
    result files.

    Each tile's owned rows and results are in result files of their own, rows ascending;
    for every block, each tile gives the run of its rows that falls in the block (found by a
    binary search on its memory-mapped rows). The tasks do not write into one shared file:
    tiles own disjoint rows, but on network file systems pages written back from two
    machines may overwrite each other's bytes.
    """
    tiles = sorted(results)
    next_rows = np.array([results[t][2] for t in tiles], dtype=np.int64)
    cursors = np.zeros(len(tiles), dtype=np.int64)
    counts = np.array([results[t][1] for t in tiles], dtype=np.int64)
    if int(counts.sum()) != finite_count:
        raise RuntimeError(f"vandrel.dask: the tiles own {int(counts.sum())} points, but the cloud has "
                           f"{finite_count} finite ones")
    for first, block in source.blocks():
        end = first + len(block)
        owned_here, values_here = [], []
        for k in np.flatnonzero(next_rows < end):
            result_path = results[tiles[k]][0]
            owned_rows = np.memmap(result_path + ".rows", dtype=np.int64, mode="r")
            start = int(cursors[k])
            stop = start + int(np.searchsorted(owned_rows[start:], end))
            owned_here.append(np.array(owned_rows[start:stop]))
            next_rows[k] = owned_rows[stop] if stop < counts[k] else np.iinfo(np.int64).max
            del owned_rows
            values_here.append(np.fromfile(result_path + ".points", dtype=np.float32, count=columns * (stop - start),
                                           offset=4 * columns * start).reshape(-1, columns))
            cursors[k] = stop
        rows = np.concatenate(owned_here) if owned_here else np.empty(0, dtype=np.int64)
        values = np.concatenate(values_here) if values_here else np.empty((0, columns), dtype=np.float32)
        yield first, block, rows, values


def _assemble_first_pass(source: _NpyInput, path: str, results: dict, finite_count: int) -> None:
    """Writes what the first pass left every row to the .npy file at path (N x 4 float32:
    position and noise; zeros for rows no tile owns), a block of rows at a time."""
    written = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(source.rows, 4))
    for first, block, rows, values in _owned_results(source, results, finite_count, 4):
        written[rows] = values
    written.flush()
    del written


def _first_pass_rows(source: _NpyInput, first_path: str):
    """(rows, points, first-pass positions) of the input's finite rows, a block at a time."""
    first = np.load(first_path, mmap_mode="r")
    for start, block in source.blocks():
        rows = source.float32_rows(start, block)
        finite = np.flatnonzero(np.isfinite(rows).all(axis=1))
        if len(finite):
            yield finite + start, np.ascontiguousarray(rows[finite]), np.ascontiguousarray(first[finite + start, :3])
    del first


def _assemble(source: _NpyInput, path: str, results: dict, finite_count: int) -> None:
    """Writes the output to path a block of rows at a time."""
    written = np.lib.format.open_memmap(path, mode="w+", dtype=source.array.dtype, shape=source.array.shape)
    for first, block, owned_rows, points in _owned_results(source, results, finite_count, 3):
        end = first + len(block)
        # Every row converted as vandrel.denoise converts the whole array, non-finite ones
        # included; the finite ones then take their filtered points.
        rows = np.array(source.float32_rows(first, block))
        rows[owned_rows - first] = points
        written[first:end] = block
        written[first:end, :3] = source.restored(rows)
    written.flush()
    del written

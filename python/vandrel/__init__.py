"""Removes noise from point clouds that sample a surface.

denoise() filters an N x 3 cloud of points; estimate_sigma() and estimate_density() give
the parameters it estimates when they are left out. Errors of the filter core raise
vandrel.Error, a RuntimeError with the error's identifier.
"""
from __future__ import annotations

import sys
import time
import warnings
from typing import Any, Callable, NamedTuple, Optional, Union

import numpy as np
import numpy.typing as npt

__all__ = ["DenoiseResult", "Error", "denoise", "estimate_density", "estimate_sigma", "lidar_groups",
           "noise_grows_with_range", "range_noise_by_default", "range_sigmas", "__version__"]


class Error(RuntimeError):
    """An error of the filter core.

    identifier names the error (for instance "Vandrel:tooFewPoints"); str() gives the message.
    """

    # The arguments are (identifier, message) so that an instance survives pickling, as it
    # must to travel back from a worker process.
    def __init__(self, identifier: str, message: str) -> None:
        super().__init__(identifier, message)
        self.identifier = identifier
        self.message = message

    def __str__(self) -> str:
        return self.message


from . import _core  # noqa: E402  (the extension raises Error, defined above)

__version__: str = _core.__version__

ProgressCallback = Callable[[str, int, int], object]


class DenoiseResult(NamedTuple):
    """What denoise returns when normals= or noise= asks for more than the points.

    points     the filtered points, as denoise returns them without the outputs
    normals    N x 3 float32 unit normals of the filtered surface at the filtered points
               (None unless normals=True)
    curvature  N float32, the surface variation of the same fit, l3 / (l1 + l2 + l3): 0 on a
               plane, at most 1/3 (None unless normals=True)
    noise      N float32, each point's noise level after the first pass, in the cloud's
               units (None unless noise=True)
    outliers   N bool, True for the points found to be outliers, which were left out of the
               filtering and come back as given (None unless outliers=True)

    Rows the filter does not filter (a NaN coordinate, left out by mask=, clouds of fewer
    than 50 finite points or of coinciding points) are NaN in every output.
    """
    points: np.ndarray
    normals: Optional[np.ndarray]
    curvature: Optional[np.ndarray]
    noise: Optional[np.ndarray]
    outliers: Optional[np.ndarray]

_FLOAT32_MAX = float(np.finfo(np.float32).max)


def denoise(points: npt.ArrayLike | Any, sigma: Optional[float] = None, density: Optional[float] = None, *,
            threads: Optional[int] = 0, verbose: bool = False,
            progress: Union[bool, ProgressCallback, None] = None,
            mask: Optional[npt.ArrayLike] = None, normals: bool = False, noise: bool = False,
            viewpoint: Optional[npt.ArrayLike] = None,
            direction: Optional[npt.ArrayLike] = None, outliers: bool = False) -> Union[np.ndarray, DenoiseResult]:
    """Denoises a point cloud.

    points    N x 3 real numbers, one point (x, y, z) per row: a numpy array of any float
              or integer dtype and layout, anything numpy.asarray takes (nested lists,
              objects with __array__), or an object whose .points attribute is one (an
              Open3D PointCloud). Never modified.
    sigma     standard deviation of the noise on each coordinate, in the cloud's units,
              finite and >= 0; estimate_sigma(points) when None. An array of N values gives
              each point its own (noise that grows with range, see range_sigmas): each
              point's noise level starts at its value, the neighbourhoods are sized for the
              largest; values of rows with a NaN coordinate are not used. All values equal
              give the result of that one number.
    density   points per unit area of the surface, finite and > 0;
              estimate_density(points) when None.
    threads   threads for this call, 0 to 1024; None or 0 takes OpenMP's default.
    verbose   write the filter's pass and progress lines to sys.stderr as they come.
    progress  a callable, called as progress(stage, done, total) on the calling thread
              at least once a second while the filter runs (stage "pass 1", "pass 2" or
              "merge"; done of total points); an exception it raises stops the run and
              propagates. True shows a tqdm bar on sys.stderr (a plain line without
              tqdm); None or False shows nothing. A sys.stderr that fails to take
              the lines or the bar gives one RuntimeWarning after the call, not an error.
    mask      None to filter every point, or a boolean array of N values: only the rows
              where it is True are filtered, as a cloud of their own (the others are
              nobody's neighbours and come back as given, bit for bit); a sigma or
              density left out is estimated from them alone. A mask that selects
              nothing returns the points as given.
    normals   also return each point's unit normal and curvature, from quadric fits
              to its 25 to 400 nearest filtered points (docs/outputs.md). Signs: facing
              viewpoint (3 numbers, the sensor, in the points' coordinates) when given,
              else with a non-negative component along direction (3 numbers; (0, 0, 1)
              for airborne scans) when given, else consistent over each connected part,
              whose highest point faces +z (outward on closed objects).
    noise     also return each point's noise level after the first pass, in the
              cloud's units.
    outliers  find outliers (points a first pass moves far more than their noise and
              their neighbours, points far off their neighbours' plane, points much
              sparser than the densest points near them, small groups apart from the
              rest; see docs/outputs.md), leave them out of the filtering (they come back as
              given and are nobody's neighbours) and return them as a boolean mask.

    With normals, noise or outliers, returns a DenoiseResult (points, normals, curvature, noise);
    otherwise the points alone: a new C-ordered N x 3 array, row i the filtered point i: float64 for float64
    input, float32 for float32, integer and other input (the filter computes in float32).
    float64 points are moved so that the centre of their bounding box is the origin before
    they are rounded to float32, and moved back in float64 after, so that coordinates far
    from the origin (georeferenced ones) keep their precision.

    Raises ValueError for points that are not N x 3 real numbers, or whose coordinates do
    not fit float32 once centred, for a mask= that is not a boolean array of N values, and
    for a sigma, density or threads out of range;
    TypeError for a progress that is neither a bool nor callable; vandrel.Error for the
    core's errors (too many points, too few to estimate from, an estimate that cannot be
    trusted: "Vandrel:untrustedEstimate" for an estimated sigma above 2 point spacings or of 0
    on points that spread off their surface, asking for sigma= or density=); KeyboardInterrupt within
    about a second of Ctrl-C, which stops the filter. The interpreter lock is released
    while the filter runs.
    """
    array = _point_array(points)
    sigma = _sigma_argument(sigma, array)
    selection = _mask_rows(mask, len(array))
    rows, centre, result_dtype = _single_rows(array, selection)
    extra = bool(normals) or bool(noise) or bool(outliers)
    orientation, target = _orientation(viewpoint, direction, centre)
    stderr = _SafeStderr()
    display = _ProgressDisplay(stderr) if progress is True else _progress_callback(progress)
    console = _Console(stderr, display) if verbose else None
    try:
        filtered = _core.denoise(rows, sigma, density, threads, console, display,
                                 None if selection is None else selection.view(np.uint8),
                                 normals=bool(normals), noise=bool(noise), orientation=orientation, target=target,
                                 outliers=bool(outliers))
    finally:
        if isinstance(display, _ProgressDisplay):
            display.close()
    stderr.warn_if_failed()
    outputs = None
    if extra:
        filtered, *outputs = filtered
    result = _restored(filtered, centre, result_dtype)
    if selection is not None and centre is not None:
        left_out = ~selection
        result[left_out] = array[left_out]  # the input's own values, not their trip through float32
    if outputs is None:
        return result
    if outputs[3] is not None and centre is not None:
        result[outputs[3]] = array[outputs[3]]  # outliers come back as given, not through float32
    return DenoiseResult(result, *outputs)


def _orientation(viewpoint: Any, direction: Any, centre: Optional[np.ndarray]) -> tuple[int, tuple[float, ...]]:
    """The binding's orientation rule (0 consistent, 1 toward a viewpoint, 2 along a direction)
    and its target: a viewpoint moved by the centre the rows were moved by."""
    def three(value: Any, name: str) -> np.ndarray:
        vector = np.asarray(value, dtype=np.float64)
        if vector.shape != (3,) or not np.isfinite(vector).all():
            raise ValueError(f"{name}= must be 3 finite numbers, but it is {value!r}")
        return vector
    if viewpoint is not None and direction is not None:
        raise ValueError("give viewpoint= or direction=, not both")
    if viewpoint is not None:
        point = three(viewpoint, "viewpoint")
        return 1, tuple(float(v) for v in (point if centre is None else point - centre))
    if direction is not None:
        return 2, tuple(float(v) for v in three(direction, "direction"))
    return 0, (0.0, 0.0, 1.0)


def range_sigmas(points: npt.ArrayLike | Any, sensor: Any = (0.0, 0.0, 0.0)) -> tuple[np.ndarray, dict]:
    """A sigma per point for a depth camera, whose noise grows with range: sigma(r) = a + b r^2
    about the sensor (x, y, z, in the points' coordinates; a PCD file's VIEWPOINT), with a and b
    fitted to the estimated sigmas of up to 8 depth bands of equal counts.

    Returns (sigmas, model): a float32 array of one sigma per point (0 for rows with a NaN
    coordinate), for denoise's sigma=, and {"a", "b", "bands": [(range, sigma, points), ...]}.
    Needs 2000 finite points or more (vandrel.Error "Vandrel:tooFewPoints"). float64 points are
    centred as denoise centres them, and the sensor with them.
    """
    array = _point_array(points)
    rows, centre, _ = _single_rows(array)
    position = np.asarray(sensor, dtype=np.float64).reshape(3)
    if centre is not None:
        position = position - centre
    x, y, z = (float(c) for c in position)
    a, b, bands = _core.estimate_range_noise(rows, x, y, z)
    return _core.range_sigmas(rows, a, b, x, y, z), {"a": a, "b": b, "bands": bands}


def lidar_groups(points: npt.ArrayLike | Any, classification: npt.ArrayLike,
                 last_return: npt.ArrayLike) -> tuple[np.ndarray, np.ndarray]:
    """The parts of a classified airborne LiDAR scan that the command line filters apart when
    its parameters are estimated, as two boolean masks for denoise's mask= (ground, surfaces):

    - ground: the points of class 2, when 500 or more of them have finite coordinates (else
      the scan counts as unclassified and ground selects nothing);
    - surfaces: the last returns (last_return true) of every other class but vegetation
      (3, 4, 5), noise (7, 18) and wires and towers (13 to 16).

    classification: N whole numbers from 0 to 255 (LAS classification); last_return: N
    booleans, true where a point is its pulse's last return (return_number >=
    number_of_returns). Filter each part alone, with the ground's parameters (see
    docs/python.md). Raises vandrel.Error "Vandrel:invalidArgument" when they are not one per point.
    """
    rows, _, _ = _single_rows(_point_array(points))
    classes = np.asarray(classification)
    if classes.ndim != 1 or not np.issubdtype(classes.dtype, np.integer) or (
            classes.size and (classes.min() < 0 or classes.max() > 255)):
        raise Error("Vandrel:invalidArgument",
                    f"classification must be N whole numbers from 0 to 255, not {classes.dtype} {classes.shape}")
    last = np.asarray(last_return)
    if last.ndim != 1:
        raise Error("Vandrel:invalidArgument", f"last_return must be N booleans, not {last.dtype} {last.shape}")
    return _core.lidar_groups(rows, np.ascontiguousarray(classes, dtype=np.uint8),
                              np.ascontiguousarray(last != 0, dtype=np.uint8))


def range_noise_by_default(height: int, finite_points: int) -> bool:
    """Whether the command line gives an organised depth image (a grid height rows high, with
    finite_points points of finite coordinates) noise that grows with range by default: a grid
    of 2 rows or more and 2000 finite points or more. Then range_sigmas gives the sigmas."""
    return bool(_core.range_noise_by_default(int(height), int(finite_points)))


def noise_grows_with_range(model: dict) -> bool:
    """Whether a depth image stored as a list (not organised) gets noise by range by default, as
    the command line gives it: the noise of model (range_sigmas' second result) at its farthest
    band is 1.5 times or more what it is at its nearest."""
    return bool(_core.noise_grows_with_range(float(model["a"]), float(model["b"]),
                                             [float(band[0]) for band in model["bands"]]))


def estimate_sigma(points: npt.ArrayLike | Any, lines: npt.ArrayLike | None = None) -> float:
    """Estimates the standard deviation of isotropic Gaussian noise on every coordinate.

    points is taken like denoise's (float64 points are centred the same way). Needs at
    least 50 points with finite coordinates (vandrel.Error "Vandrel:tooFewPoints") that do
    not coincide ("Vandrel:degenerateCloud"). Reliable while sigma is below about
    2 / sqrt(density) and the surface is flat over a few point spacings; a noise-free
    cloud gives about 0.

    lines: None, or the flight line of each point (N whole numbers from 0 to 65535, a LAS
    file's point_source_id): each line of 500 finite points or more is then estimated
    alone and the estimates combined by their median weighted by points, so that strips
    a few centimetres apart do not read their offset as noise.
    """
    rows, _, _ = _single_rows(_point_array(points))
    if lines is None:
        return _core.estimate_sigma(rows)
    ids = np.asarray(lines)
    if ids.shape != (len(rows),) or not np.issubdtype(ids.dtype, np.integer) or (
            ids.size and (ids.min() < 0 or ids.max() > 65535)):
        raise Error("Vandrel:invalidArgument",
                    f"lines must be one whole number from 0 to 65535 per point ({len(rows)}), not {ids.dtype} {ids.shape}")
    return _core.estimate_sigma_by_line(rows, np.ascontiguousarray(ids, dtype=np.uint16))


def estimate_density(points: npt.ArrayLike | Any) -> float:
    """Estimates the sampling density of a surface: points per unit area.

    points is taken like denoise's; errors as for estimate_sigma. Rows with a NaN or
    infinite coordinate are ignored.
    """
    rows, _, _ = _single_rows(_point_array(points))
    return _core.estimate_density(rows)


def _point_array(points: Any) -> np.ndarray:
    """The points as an N x 3 numpy array of real numbers, not copied where numpy need not."""
    if not isinstance(points, np.ndarray) and not hasattr(points, "__array__") and hasattr(points, "points"):
        points = points.points
    array = np.asarray(points)
    kind = array.dtype.kind
    if kind == "c":
        raise ValueError(f"points must be real numbers, but they are complex (dtype {array.dtype})")
    # Booleans are not coordinates, and object arrays may hold anything: both are refused
    # rather than guessed at.
    if kind not in "fiu":
        raise ValueError(f"points must be an array of real numbers, but its dtype is {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"points must be an N x 3 array, but its shape is {array.shape}")
    return array


def _sigma_argument(sigma: Any, points: np.ndarray) -> Any:
    """sigma= as the core takes it: None or a number as given, an array of one value per
    point as a C-ordered float32 array; ValueError naming sigma= for an array of another
    shape, or with a value that is not a finite number >= 0 in float32 on a finite row."""
    if sigma is None or np.ndim(sigma) == 0:
        return sigma
    values = np.asarray(sigma)
    if values.ndim != 1 or len(values) != len(points) or values.dtype.kind not in "fiu":
        raise ValueError(f"sigma= must be a number or an array of one number per point ({len(points)}), "
                         f"but it has shape {values.shape} and dtype {values.dtype}")
    with np.errstate(over="ignore", invalid="ignore"):
        single = np.ascontiguousarray(values, dtype=np.float32)
    bad = ~(np.isfinite(single) & (single >= 0)) & np.isfinite(points).all(axis=1)
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(f"sigma= of point {row} must be a finite number >= 0 in float32, but it is {values[row]!r}")
    return single


def _mask_rows(mask: Any, rows: int) -> Optional[np.ndarray]:
    """The mask= of denoise as a C-ordered boolean array of one value per row (None: every
    row); ValueError naming mask= for anything else."""
    if mask is None:
        return None
    array = np.asarray(mask)
    if array.dtype != np.bool_ or array.shape != (rows,):
        raise ValueError(f"mask= must be a boolean array of {rows} values, one per point, but it has dtype "
                         f"{array.dtype} and shape {array.shape}")
    return np.ascontiguousarray(array)


def _restored(filtered: np.ndarray, centre: Optional[np.ndarray], result_dtype: np.dtype) -> np.ndarray:
    """The core's float32 result in the input's floating dtype, moved back by the centre
    _single_rows took off."""
    if centre is None:
        return filtered if result_dtype == np.float32 else filtered.astype(result_dtype)
    result = filtered.astype(result_dtype)
    result += centre
    return result


def _single_rows(array: np.ndarray, selection: Optional[np.ndarray] = None
                 ) -> tuple[np.ndarray, Optional[np.ndarray], np.dtype]:
    """The rows the core takes (C-ordered float32, copied only when they are not that
    already), the centre subtracted from them (None when nothing was) and the dtype of
    the result. With a selection (a boolean row mask), the centre is that of the selected
    rows, and only they must fit float32 once centred: the others are not filtered."""
    if array.dtype.kind != "f" or array.dtype.itemsize <= 4:
        return np.ascontiguousarray(array, dtype=np.float32), None, np.dtype(np.float32)
    wide = array.dtype.newbyteorder("=")
    chosen = np.isfinite(array).all(axis=1)
    if selection is not None:
        chosen &= selection
    finite = array[chosen]
    # Centred in the input's precision: the subtraction is exact for points within a
    # factor two of the centre, and the float32 rounding then only loses what float32
    # cannot hold of the cloud's own extent.
    centre = _box_centre(finite.min(axis=0), finite.max(axis=0), wide) if len(finite) else np.zeros(3, wide)
    return _centred_rows(array, centre, wide, selection=selection), centre, wide


def _box_centre(low: np.ndarray, high: np.ndarray, wide: np.dtype) -> np.ndarray:
    """The centre of a bounding box, as every front end takes it (never overflows)."""
    return _core.extent_centre(low, high).astype(wide)


def _centred_rows(array: np.ndarray, centre: np.ndarray, wide: np.dtype, first_row: int = 0,
                  where: str = "", selection: Optional[np.ndarray] = None) -> np.ndarray:
    """Rows minus the centre, in the input's precision, rounded to C-ordered float32;
    ValueError naming the first point (counted from first_row; of the selected rows only,
    when a selection is given) that overflows float32."""
    shifted = np.asarray(array, dtype=wide) - centre
    with np.errstate(over="ignore"):
        rows = np.ascontiguousarray(shifted, dtype=np.float32)
    overflowed = np.isinf(rows) & np.isfinite(shifted)
    if selection is not None:
        overflowed &= selection[:, None]
    if overflowed.any():
        row, column = np.argwhere(overflowed)[0]
        raise ValueError(f"{where}points must fit single precision once the centre of their bounding box is moved "
                         f"to the origin, but point {first_row + row} is then {shifted[row, column]:g} away on axis "
                         f"{'xyz'[column]}, beyond float32's {_FLOAT32_MAX:g}")
    return rows


class _SafeStderr:
    """sys.stderr for one call's progress display and console lines. Writing never
    raises, so that a broken stream neither stops the filter nor leaves tqdm's lock held:
    the first failure ends the output and is reported by one warning after the call."""

    def __init__(self) -> None:
        self.failure: Optional[Exception] = None

    def write(self, text: str) -> int:
        self._call("write", text)
        return len(text)

    def flush(self) -> None:
        self._call("flush")

    def isatty(self) -> bool:
        return bool(self._call("isatty"))

    @property
    def encoding(self) -> str:
        """sys.stderr's, which tells tqdm whether it may draw its bar in Unicode."""
        return getattr(sys.stderr, "encoding", None) or "utf-8"

    def _call(self, method: str, *arguments: Any) -> Any:
        stream = sys.stderr
        # pythonw and embedded interpreters may have no stderr.
        if self.failure is not None or stream is None:
            return None
        try:
            return getattr(stream, method)(*arguments)
        except Exception as failure:
            self.failure = failure
            return None

    def warn_if_failed(self) -> None:
        if self.failure is not None:
            warnings.warn(f"vandrel: writing to sys.stderr failed ({self.failure!r}); the rest of the progress and "
                          "console output was dropped", RuntimeWarning, stacklevel=3)


class _ProgressDisplay:
    """progress=True: a tqdm bar per stage, or without tqdm a line that is rewritten in
    place (a new line each time when the stream is not a terminal)."""

    _line_interval = 0.5  # seconds between plain lines of one stage

    def __init__(self, stream: _SafeStderr) -> None:
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        self._tqdm = tqdm
        self._stream = stream
        self._bar: Any = None
        self._stage: Optional[str] = None
        self._last_line = 0.0
        self._line_open = False

    def __call__(self, stage: str, done: int, total: int) -> None:
        if self._tqdm is not None:
            if stage != self._stage:
                self.close()
                self._bar = self._tqdm(total=total, desc=f"vandrel {stage}", unit="pt", file=self._stream)
            self._bar.update(done - self._bar.n)
        else:
            now = time.monotonic()
            if stage == self._stage and done < total and now - self._last_line < self._line_interval:
                return
            self._last_line = now
            percent = 100 * done // total if total else 100
            on_terminal = self._stream.isatty()
            line = f"vandrel: {stage} {percent:3d}% ({done} of {total} points)"
            self._stream.write("\r" + line if on_terminal else line + "\n")
            self._stream.flush()
            self._line_open = on_terminal
        self._stage = stage

    def write(self, text: str) -> None:
        """Console text, written above the bar."""
        if self._bar is not None:
            self._tqdm.write(text, file=self._stream, end="")
        else:
            self._end_line()
            self._stream.write(text)
            self._stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        self._end_line()

    def _end_line(self) -> None:
        if self._line_open:
            self._line_open = False
            self._stream.write("\n")
            self._stream.flush()


def _progress_callback(progress: Union[bool, ProgressCallback, None]) -> Optional[ProgressCallback]:
    if progress is None or progress is False:
        return None
    if not callable(progress):
        raise TypeError(f"progress must be None, a bool or a callable taking (stage, done, total), "
                        f"but it is {progress!r}")
    return progress


class _Console:
    """verbose=True: the filter's console lines to sys.stderr as they come, above the
    progress bar when one is shown."""

    def __init__(self, stream: _SafeStderr, display: Optional[ProgressCallback]) -> None:
        self._stream = stream
        self._display = display if isinstance(display, _ProgressDisplay) else None

    def __call__(self, text: str) -> None:
        if self._display is not None:
            self._display.write(text)
        else:
            self._stream.write(text)
            self._stream.flush()

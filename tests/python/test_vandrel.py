"""Tests of the Python module: agreement with the command-line tool and the library,
conversion of points and parameters, float64 recentring, errors, progress, console output,
Ctrl-C, the interpreter lock and the estimators.

Run through ctest, which puts the module of the build tree first on PYTHONPATH and names
the programs to compare with in VANDREL_CLI and VANDREL_REFERENCE (the library called directly)."""
import contextlib
import inspect
import io
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import vandrel

DATA_DIR = Path(os.environ.get("VANDREL_DATA_DIR", Path(__file__).resolve().parents[2] / "data"))

# The sample bunny: 20000 points with noise 0.005 over an area of 0.880786.
BUNNY_SIGMA = 0.005
BUNNY_DENSITY = 22707.0


@pytest.fixture(scope="module")
def bunny():
    return np.loadtxt(DATA_DIR / "bunny_20k_noisy.xyz", dtype=np.float32)


@pytest.fixture(scope="module")
def small(bunny):
    """Every 20th point of the bunny: 1000 points over the whole surface, quick to filter."""
    return np.ascontiguousarray(bunny[::20])


SMALL_DENSITY = BUNNY_DENSITY / 20


def program(variable):
    path = os.environ.get(variable)
    if not path or not Path(path).is_file():
        pytest.skip(f"{variable} does not name a built program; run the tests through ctest")
    return path


def text9(value):
    """A single value as a decimal that every correct parser reads back to the same bits."""
    return f"{float(np.float32(value)):.9g}"


def write_ply(path, points):
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"element vertex {len(points)}\nproperty float x\nproperty float y\nproperty float z\nend_header\n")
    path.write_bytes(header.encode() + points.astype("<f4").tobytes())


def read_ply(path, n):
    content = path.read_bytes()
    body = content[content.index(b"end_header\n") + len(b"end_header\n"):]
    return np.frombuffer(body, "<f4").reshape(n, 3)


@pytest.fixture(scope="module", params=["given", "estimated"])
def module_run(request, small):
    """The module's result on the small cloud, with its console text: with the parameters
    given on one thread, and with both estimated on two threads."""
    given = request.param == "given"
    sigma, density, threads = (BUNNY_SIGMA, SMALL_DENSITY, 1) if given else (None, None, 2)
    console = io.StringIO()
    with contextlib.redirect_stderr(console):
        result = vandrel.denoise(small, sigma, density, threads=threads, verbose=True)
    return {"result": result, "console": console.getvalue(), "sigma": sigma, "density": density, "threads": threads}


def test_matches_the_command_line_tool(module_run, small, tmp_path):
    cli = program("VANDREL_CLI")
    write_ply(tmp_path / "in.ply", small)
    command = [cli, str(tmp_path / "in.ply"), str(tmp_path / "out.ply"), "--verbose", "--threads", str(module_run["threads"])]
    if module_run["sigma"] is not None:
        command += ["--sigma", text9(module_run["sigma"]), "--density", text9(module_run["density"])]
    run = subprocess.run(command, capture_output=True, text=True, check=True)
    assert np.array_equal(module_run["result"], read_ply(tmp_path / "out.ply", len(small)))
    assert module_run["console"] and module_run["console"] in run.stderr


def test_matches_the_library(module_run, small, tmp_path):
    reference = program("VANDREL_REFERENCE")
    sigma = module_run["sigma"] if module_run["sigma"] is not None else vandrel.estimate_sigma(small)
    density = module_run["density"] if module_run["density"] is not None else vandrel.estimate_density(small)
    np.asfortranarray(small).T.astype("<f4").tofile(tmp_path / "in.f32")
    subprocess.run([reference, str(tmp_path / "in.f32"), str(tmp_path / "out.f32"), text9(sigma), text9(density)],
                   check=True)
    library = np.fromfile(tmp_path / "out.f32", "<f4").reshape(3, len(small)).T
    assert np.array_equal(module_run["result"], library)


def with_padding_columns(points):
    wide = np.zeros((len(points), 6), np.float32)
    wide[:, ::2] = points
    return wide[:, ::2]


class PointCloud:
    """Stands in for Open3D's PointCloud: points only through a .points attribute."""

    def __init__(self, points):
        self.points = points


class ArrayProtocol:
    def __init__(self, points):
        self.values = points

    def __array__(self, dtype=None):
        return np.asarray(self.values, dtype)


def plain(points):
    return np.asarray(points.points if isinstance(points, PointCloud) else points)


# Arrays of one cloud in millimetres (values with more digits than single precision holds),
# each laid out differently from a C-ordered array of the result's dtype.
LAYOUTS = {
    "float64": lambda mm: mm,
    "float32-fortran": lambda mm: np.asfortranarray(mm, dtype=np.float32),
    "float64-fortran": np.asfortranarray,
    "int64": lambda mm: np.rint(mm).astype(np.int64),
    "int16": lambda mm: np.rint(mm).astype(np.int16),
    "strided-rows": lambda mm: np.repeat(mm.astype(np.float32), 2, axis=0)[::2],
    "strided-columns": lambda mm: with_padding_columns(mm.astype(np.float32)),
    "reversed-rows": lambda mm: mm.astype(np.float32)[::-1],
    "big-endian": lambda mm: mm.astype(">f4"),
    "big-endian-float64": lambda mm: mm.astype(">f8"),
    "nested-list": lambda mm: mm.tolist(),
    "points-attribute": lambda mm: PointCloud(np.asfortranarray(mm)),
    "array-protocol": lambda mm: ArrayProtocol(mm.astype(np.float32)),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_any_layout_filters_like_its_c_ordered_copy(bunny, layout):
    points = layout(bunny[::40].astype(np.float64) * 1000.0 + 1e-4)
    before = np.array(plain(points), copy=True)
    dtype = np.float64 if before.dtype.kind == "f" and before.dtype.itemsize == 8 else np.float32
    copy = np.ascontiguousarray(before, dtype=dtype)
    sigma, density = 1000.0 * BUNNY_SIGMA, BUNNY_DENSITY / 40 / 1e6

    result = vandrel.denoise(points, sigma, density)
    assert result.dtype == dtype and result.shape == copy.shape and result.flags.c_contiguous
    assert np.array_equal(result, vandrel.denoise(copy, sigma, density))
    assert vandrel.estimate_sigma(points) == vandrel.estimate_sigma(copy)
    assert vandrel.estimate_density(points) == vandrel.estimate_density(copy)
    assert np.array_equal(plain(points), before)
    assert not np.shares_memory(result, plain(points))


def noisy_sphere(n, radius, sigma, seed):
    """n points on a sphere centred at the origin, on a grid of 2^-16 so that moving them by
    whole numbers is exact in float64."""
    rng = np.random.default_rng(seed)
    directions = rng.normal(size=(n, 3))
    points = radius * directions / np.linalg.norm(directions, axis=1, keepdims=True)
    points += rng.normal(0.0, sigma, points.shape)
    return np.round(points * 65536.0) / 65536.0


def test_float64_far_from_the_origin_filters_like_near_it():
    near = noisy_sphere(6000, 22.0, 0.15, seed=3)
    offset = np.array([450000.0, 5200000.0, 100.0])
    far = near + offset
    extent = np.ptp(near, axis=0).max()

    assert vandrel.estimate_sigma(far) == pytest.approx(vandrel.estimate_sigma(near), rel=1e-6)
    assert vandrel.estimate_density(far) == pytest.approx(vandrel.estimate_density(near), rel=1e-6)
    filtered_near = vandrel.denoise(near, 0.15, 1.0)
    filtered_far = vandrel.denoise(far, 0.15, 1.0)
    assert filtered_far.dtype == np.float64
    assert np.abs((filtered_far - offset) - filtered_near).max() <= 1e-6 * extent
    # The filter moved the points: a result equal to the input would pass the comparison too.
    assert np.abs(filtered_near - near).max() > 0.01


@pytest.mark.parametrize("offset", [[-0.18416285, 0.01143571, -0.01626565], [9e307, -9e307, 1e300]], ids=["near-zero", "near-max"])
def test_float64_recentring_is_one_rule_in_every_front_end(offset, bunny, tmp_path):
    """Python, the command line on a float64 .npy and the library's double-precision denoise
    move a cloud by the same centre, so they give the same bits: near zero, where centre
    formulas differ in the last bit, and near the largest doubles, where (min + max) / 2
    overflows (there every point rounds to one double: it comes back as it was, not NaN;
    the command line refuses such values as it reads them)."""
    points = bunny[::4].astype(np.float64) + np.array(offset)
    python = vandrel.denoise(points, 0.005, 22707, threads=1)
    assert np.all(np.isfinite(python))
    assert np.abs(python - points).max() > 0.001 if offset[0] < 1.0 else np.array_equal(python, points)

    np.save(tmp_path / "in.npy", points)
    cli = subprocess.run([program("VANDREL_CLI"), str(tmp_path / "in.npy"), str(tmp_path / "out.npy"), "--sigma",
                          "0.005", "--density", "22707", "--threads", "1", "--quiet"], capture_output=True, text=True)
    if offset[0] < 1.0:
        assert cli.returncode == 0 and np.array_equal(np.load(tmp_path / "out.npy"), python)
    else:
        assert cli.returncode == 1 and "beyond single-precision range" in cli.stderr

    np.asfortranarray(points).T.astype("<f8").tofile(tmp_path / "in.f64")
    subprocess.run([program("VANDREL_REFERENCE"), str(tmp_path / "in.f64"), str(tmp_path / "out.f64"), "0.005",
                    "22707"], check=True)
    library = np.fromfile(tmp_path / "out.f64", "<f8").reshape(3, len(points)).T
    assert np.array_equal(library, python)


def test_float64_rows_with_nan_or_inf_do_not_move_the_centre():
    near = noisy_sphere(1000, 9.0, 0.1, seed=5)
    far = near + 1e6
    far[7] = [np.nan, 1e6, 1e6]
    far[8] = [np.inf, -np.inf, 1e6]
    filtered = vandrel.denoise(far, 0.1, 1.0)
    assert np.isnan(filtered[7, 0]) and np.all(np.isfinite(np.delete(filtered, [7, 8], axis=0)))
    kept = np.delete(np.arange(len(far)), [7, 8])
    assert np.abs(filtered[kept] - far[kept]).max() < 1.0


@pytest.mark.parametrize("function", [vandrel.denoise, vandrel.estimate_sigma, vandrel.estimate_density])
@pytest.mark.parametrize("spread", [[0.0, 1e39], [-1e300, 1e300], [5e38, -3e38]], ids=["1e39", "1e300", "8e38-span"])
def test_float64_beyond_single_precision_once_centred_is_refused(function, spread):
    points = np.zeros((60, 3))
    points[:, 1] = np.linspace(-1.0, 1.0, 60)
    points[0, 2], points[1, 2] = spread
    with pytest.raises(ValueError, match="single precision"):
        function(points)


def test_signatures_and_type_information_are_those_of_python_functions():
    parameters = inspect.signature(vandrel.denoise).parameters
    assert [(p.name, p.kind.name, p.default) for p in parameters.values()] == [
        ("points", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("sigma", "POSITIONAL_OR_KEYWORD", None), ("density", "POSITIONAL_OR_KEYWORD", None),
        ("threads", "KEYWORD_ONLY", 0), ("verbose", "KEYWORD_ONLY", False), ("progress", "KEYWORD_ONLY", None),
        ("mask", "KEYWORD_ONLY", None), ("normals", "KEYWORD_ONLY", False), ("noise", "KEYWORD_ONLY", False),
        ("viewpoint", "KEYWORD_ONLY", None), ("direction", "KEYWORD_ONLY", None), ("outliers", "KEYWORD_ONLY", False)]
    assert list(inspect.signature(vandrel.estimate_sigma).parameters) == ["points", "lines"]
    assert list(inspect.signature(vandrel.estimate_density).parameters) == ["points"]
    package = Path(vandrel.__file__).parent
    assert (package / "py.typed").is_file() and (package / "_core.pyi").is_file()
    assert isinstance(vandrel.__version__, str) and vandrel.__version__


def test_mask_filters_the_selected_points_as_a_cloud_of_their_own(small):
    # Two points in three selected, the others interleaved with them: were they anyone's
    # neighbours, the selected points would come out otherwise.
    mask = np.arange(len(small)) % 3 != 0
    density = SMALL_DENSITY * 2 / 3
    result = vandrel.denoise(small, BUNNY_SIGMA, density, mask=mask)
    assert result[mask].tobytes() == vandrel.denoise(small[mask], BUNNY_SIGMA, density).tobytes()
    assert result[~mask].tobytes() == small[~mask].tobytes()
    assert not np.array_equal(result, vandrel.denoise(small, BUNNY_SIGMA, density))
    # Parameters left out are estimated from the selected points alone.
    estimated = vandrel.denoise(small, mask=mask, threads=2)
    assert estimated[mask].tobytes() == vandrel.denoise(small[mask], threads=2).tobytes()
    # float64 far from the origin: centred on the selected points; a left-out point beyond
    # float32 from them comes back as given.
    far = small.astype(np.float64) + [450000.0, 5200000.0, 100.0]
    far[0] = [1e300, -1e300, 3.0]
    wide = vandrel.denoise(far, BUNNY_SIGMA, density, mask=mask)
    assert wide.dtype == np.float64
    assert wide[mask].tobytes() == vandrel.denoise(far[mask], BUNNY_SIGMA, density).tobytes()
    assert wide[~mask].tobytes() == far[~mask].tobytes()
    # Nothing selected: the points as given, nothing estimated.
    assert vandrel.denoise(far, mask=np.zeros(len(far), bool)).tobytes() == far.tobytes()
    for wrong in (mask.astype(np.uint8), mask[:-1], mask.reshape(-1, 1), [True, False], "all"):
        with pytest.raises(ValueError, match=r"^mask= must be a boolean array of 1000 values"):
            vandrel.denoise(small, BUNNY_SIGMA, density, mask=wrong)


def test_a_sigma_per_point_of_one_value_gives_that_sigmas_bits(small):
    given = vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY)
    for sigmas in (np.full(len(small), BUNNY_SIGMA), [BUNNY_SIGMA] * len(small)):
        assert vandrel.denoise(small, sigmas, SMALL_DENSITY).tobytes() == given.tobytes()
    # A point of sigma 0 is exact; the density left out is estimated.
    sigmas = np.full(len(small), BUNNY_SIGMA, np.float32)
    sigmas[:10] = 0
    exact = vandrel.denoise(small, sigmas)
    assert exact[:10].tobytes() == small[:10].tobytes() and not np.array_equal(exact[10:], small[10:])
    for wrong in (sigmas[:-1], -sigmas, np.full((len(small), 1), BUNNY_SIGMA), np.array(["a"] * len(small))):
        with pytest.raises(ValueError, match=r"^sigma= "):
            vandrel.denoise(small, wrong, SMALL_DENSITY)


@pytest.mark.parametrize("sigma, density", [(np.float32(BUNNY_SIGMA), np.float64(1135)), (BUNNY_SIGMA, 1135),
                                            (0, 1135.0)])
def test_accepts_python_and_numpy_numbers(small, sigma, density):
    expected = vandrel.denoise(small, float(sigma), 1135.0)
    assert np.array_equal(vandrel.denoise(small, sigma, density), expected)


BAD_POINTS = [
    (np.zeros((60, 2)), "N x 3"),
    (np.zeros((60, 4)), "N x 3"),
    (np.zeros(180), "N x 3"),
    (np.zeros(0), "N x 3"),
    (np.zeros((60, 3, 1)), "N x 3"),
    (np.zeros((60, 3), np.complex128), "complex"),
    (np.ones((60, 3), object), "real numbers"),
    (np.full((60, 3), "1"), "real numbers"),
    (np.ones((60, 3), bool), "real numbers"),
    ([[1.0, 2.0, 3.0], [4.0, 5.0]], ""),
]


@pytest.mark.parametrize("function", [vandrel.denoise, vandrel.estimate_sigma, vandrel.estimate_density])
@pytest.mark.parametrize("points, message", BAD_POINTS,
                         ids=["Nx2", "Nx4", "1-D", "empty-1-D", "3-D", "complex", "object", "strings", "bool", "ragged"])
def test_rejects_what_is_not_n_by_3_real_numbers(function, points, message):
    with pytest.raises(ValueError, match=message):
        function(points)


@pytest.mark.parametrize("dtype, result_dtype", [(np.float64, np.float64), (np.float32, np.float32),
                                                 (np.int32, np.float32), (np.float16, np.float32)])
def test_empty_cloud_gives_empty_result(dtype, result_dtype):
    result = vandrel.denoise(np.zeros((0, 3), dtype))
    assert result.shape == (0, 3) and result.dtype == result_dtype


@pytest.mark.parametrize("arguments, name", [
    ({"sigma": -0.1}, "sigma"), ({"sigma": float("nan")}, "sigma"), ({"sigma": float("inf")}, "sigma"),
    ({"sigma": 1e39}, "sigma"), ({"sigma": "0.1"}, "sigma"), ({"sigma": 0.1j}, "sigma"), ({"sigma": True}, "sigma"),
    ({"density": 0}, "density"), ({"density": -1.0}, "density"), ({"density": float("nan")}, "density"),
    ({"density": 1e-50}, "density"), ({"density": 10**400}, "density"), ({"density": [1.0]}, "density"),
    ({"threads": -1}, "threads"), ({"threads": 1.5}, "threads"), ({"threads": 2**31}, "threads"),
    ({"threads": 1025}, "threads"),
])
def test_rejects_invalid_parameters(small, arguments, name):
    with pytest.raises(ValueError, match=name):
        vandrel.denoise(small, **({"sigma": BUNNY_SIGMA, "density": SMALL_DENSITY} | arguments))


def test_flight_lines_are_estimated_one_by_one(small):
    # Two copies of the cloud 8 noise levels apart: together they read as one thick surface,
    # line by line as the cloud itself; one line alone gives the estimate of all its points.
    apart = np.vstack([small, small + np.float32(8 * BUNNY_SIGMA)])
    lines = np.repeat(np.array([3, 9], np.uint16), len(small))
    assert vandrel.estimate_sigma(apart, lines=lines) == pytest.approx(vandrel.estimate_sigma(small), rel=1e-5)
    assert vandrel.estimate_sigma(apart) > 2 * vandrel.estimate_sigma(small)
    assert vandrel.estimate_sigma(small, lines=np.zeros(len(small), int)) == vandrel.estimate_sigma(small)
    for wrong in (np.zeros(len(small) - 1, int), np.full(len(small), 70000), np.zeros(len(small))):
        with pytest.raises(vandrel.Error, match="lines must be") as caught:
            vandrel.estimate_sigma(small, lines=wrong)
        assert caught.value.identifier == "Vandrel:invalidArgument"


def test_lidar_groups_are_the_command_lines_parts(small):
    # 600 ground points, then a roof's last return, a tree's, a roof's first return and another
    # roof's last; with 499 ground points the scan counts as unclassified.
    points = small[:604]
    classes = np.array([2] * 600 + [6, 5, 6, 6])
    last = np.array([True] * 600 + [True, True, False, True])
    ground, surfaces = vandrel.lidar_groups(points, classes, last)
    assert ground.dtype == bool and ground.tolist() == [True] * 600 + [False] * 4
    assert surfaces.tolist() == [False] * 600 + [True, False, False, True]
    ground, surfaces = vandrel.lidar_groups(points[501:], classes[501:], last[501:])  # 99 of class 2: too few
    assert not ground.any() and surfaces.tolist() == [True] * 99 + [True, False, False, True]
    assert vandrel.range_noise_by_default(480, 2000) and not vandrel.range_noise_by_default(1, 10**6)
    bands = [(1.0, 0.001, 2000), (1.2, 0.001, 2000)]  # noise 1.44 times as large at the far band: one sigma
    assert not vandrel.noise_grows_with_range({"a": 0.0, "b": 0.001, "bands": bands})
    assert vandrel.noise_grows_with_range({"a": 0.0, "b": 0.001, "bands": bands + [(1.3, 0.002, 2000)]})
    with pytest.raises(vandrel.Error) as caught:
        vandrel.lidar_groups(points, classes[:-1], last)
    assert caught.value.identifier == "Vandrel:invalidArgument"


@pytest.mark.parametrize("call, identifier", [
    (lambda p: vandrel.estimate_sigma(p[:49]), "Vandrel:tooFewPoints"),
    (lambda p: vandrel.estimate_density(np.zeros((0, 3))), "Vandrel:tooFewPoints"),
    (lambda p: vandrel.denoise(p[:10]), "Vandrel:tooFewPoints"),
    (lambda p: vandrel.denoise(p[:10], sigma=BUNNY_SIGMA), "Vandrel:tooFewPoints"),
    (lambda p: vandrel.estimate_density(np.repeat(p[:1], 100, axis=0)), "Vandrel:degenerateCloud"),
], ids=["estimate-sigma", "estimate-empty", "denoise-estimating", "denoise-estimating-density", "coinciding"])
def test_core_errors_raise_vandrel_error_with_identifier(small, call, identifier):
    with pytest.raises(vandrel.Error) as caught:
        call(small)
    error = caught.value
    assert isinstance(error, RuntimeError) and error.identifier == identifier
    assert str(error) and identifier not in str(error)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.identifier, str(copy)) == (vandrel.Error, identifier, str(error))


@pytest.mark.parametrize("verbose", [False, True])
def test_console_lines_go_to_sys_stderr_only_when_verbose(small, capfd, verbose):
    stream = io.StringIO()
    with contextlib.redirect_stderr(stream):
        vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY, verbose=verbose)
    assert capfd.readouterr() == ("", "")
    assert bool(stream.getvalue()) == verbose


class EventStream:
    """A stderr that records each write in a shared event list."""

    def __init__(self, events):
        self.events = events

    def write(self, text):
        self.events.append(("console", text))

    def flush(self):
        pass


def test_progress_and_console_lines_come_while_the_filter_runs(small):
    events = []
    with contextlib.redirect_stderr(EventStream(events)):
        result = vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY, verbose=True,
                                 progress=lambda *report: events.append(("progress",) + report))
    assert np.array_equal(result, vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY))
    reports = [event[1:] for event in events if event[0] == "progress"]
    assert [stage for stage, done, _ in reports if done == 0 or stage == "merge"] == ["pass 1", "pass 2", "merge"]
    for stage in ("pass 1", "pass 2"):
        done = [d for s, d, total in reports if s == stage]
        assert done == sorted(done) and done[-1] == len(small)
        assert {total for s, _, total in reports if s == stage} == {len(small)}
    # Console lines written after the call returned would all follow the last report.
    kinds = [kind for kind, *_ in events]
    assert kinds.index("console") < len(kinds) - 1 - kinds[::-1].index("progress")


@pytest.mark.parametrize("raised", [ValueError("stop here"), KeyboardInterrupt()], ids=["ValueError", "Ctrl-C"])
def test_exception_from_progress_stops_the_run_and_propagates(small, raised):
    calls = []

    def progress(stage, done, total):
        calls.append(done)
        if done > 0:
            raise raised

    with pytest.raises(type(raised)) as caught:
        vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY, progress=progress)
    assert caught.value is raised and len(calls) == 2
    assert vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY).shape == small.shape


@pytest.mark.parametrize("with_tqdm", [False, True], ids=["plain-line", "tqdm"])
def test_progress_true_shows_a_bar_or_a_line(small, monkeypatch, with_tqdm):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    stream = io.StringIO()
    with contextlib.redirect_stderr(stream):
        result = vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY, progress=True)
    assert np.array_equal(result, vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY))
    shown = stream.getvalue()
    expected = "100%|" if with_tqdm else f"vandrel: pass 2 100% ({len(small)} of {len(small)} points)"
    assert expected in shown and "pass 1" in shown


def test_invalid_progress_is_a_type_error(small):
    with pytest.raises(TypeError, match="progress"):
        vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY, progress=1)


class BrokenStream:
    def write(self, text):
        raise OSError("stream closed")

    def flush(self):
        pass


def test_failing_stderr_costs_one_warning_not_the_result(small):
    expected = vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY)
    with contextlib.redirect_stderr(BrokenStream()), pytest.warns(RuntimeWarning, match="stream closed") as warned:
        result = vandrel.denoise(small, BUNNY_SIGMA, SMALL_DENSITY, verbose=True, progress=True)
    assert np.array_equal(result, expected) and len(warned) == 1


INTERRUPTED_RUN = """
import time, numpy as np, vandrel
rng = np.random.default_rng(1)
n = 200000
points = np.column_stack([rng.uniform(0, 450, n), rng.uniform(0, 450, n), rng.normal(0, 0.1, n)])
print("ready", flush=True)
try:
    vandrel.denoise(points, 0.1, 1.0)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


def test_ctrl_c_stops_a_long_run_within_a_few_seconds():
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_RUN], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(2.0)
        signalled = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    # The filter reports progress about once a second of work; the whole run takes minutes.
    assert output.startswith("interrupted ") and float(output.split()[1]) - signalled < 2.5


def test_releases_the_interpreter_lock_while_filtering(bunny):
    span = {}

    def filter_bunny():
        span["start"] = time.perf_counter()
        vandrel.denoise(bunny, BUNNY_SIGMA, BUNNY_DENSITY, threads=1)
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=filter_bunny)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.01)
    worker.join()
    start, end = span["start"], span["end"]
    # Held for the whole call, the lock would leave one gap in the ticks as long as the call.
    inside = [start] + [t for t in ticks if start < t < end] + [end]
    assert max(np.diff(inside)) < 0.25 * (end - start)




def test_normals_and_noise_come_on_request_beside_the_same_points(small):
    plain = vandrel.denoise(small, BUNNY_SIGMA, BUNNY_DENSITY)
    result = vandrel.denoise(small, BUNNY_SIGMA, BUNNY_DENSITY, normals=True, noise=True)
    assert isinstance(result, vandrel.DenoiseResult)
    np.testing.assert_array_equal(result.points, plain)
    assert result.normals.shape == (len(small), 3) and result.normals.dtype == np.float32
    np.testing.assert_allclose(np.linalg.norm(result.normals, axis=1), 1.0, atol=1e-5)
    assert (result.noise > 0).all() and result.noise.mean() < BUNNY_SIGMA
    # float64 points far away, a mask and a viewpoint: the viewpoint is in the points' own
    # coordinates, and the rows left out are NaN.
    offset = np.array([4.5e5, 5.2e6, 100.0])
    mask = np.ones(len(small), dtype=bool)
    mask[3] = False
    far = vandrel.denoise(small.astype(np.float64) + offset, BUNNY_SIGMA, BUNNY_DENSITY, mask=mask, normals=True,
                          viewpoint=offset + [0.0, 0.0, 10.0])
    assert far.noise is None and np.isnan(far.normals[3]).all() and np.isnan(far.curvature[3])
    facing = np.einsum("ij,ij->i", offset + [0.0, 0.0, 10.0] - far.points, far.normals)
    assert (np.delete(facing, 3) >= 0).all()
    with pytest.raises(ValueError, match="viewpoint="):
        vandrel.denoise(small, BUNNY_SIGMA, BUNNY_DENSITY, normals=True, viewpoint=(1, 2))
    # A sigma per point, all equal: the one-sigma outputs.
    each = vandrel.denoise(small, np.full(len(small), BUNNY_SIGMA, dtype=np.float32), BUNNY_DENSITY, normals=True,
                           noise=True)
    for got, want in zip(each, result):
        assert (got is None) == (want is None)
        if want is not None:
            np.testing.assert_array_equal(got, want)


def test_outliers_are_flagged_left_in_place_and_pull_nobody(small):
    points = small
    rng = np.random.default_rng(5)
    low, high = points.min(axis=0), points.max(axis=0)
    box = rng.uniform(low - (high - low), high + (high - low), size=(10, 3))
    box[:, 2] = high[2] + rng.uniform(0.1, 1.0, 10)  # isolated returns above the bunny
    cloud = np.vstack([points, box]).astype(np.float32)
    result = vandrel.denoise(cloud, BUNNY_SIGMA, BUNNY_DENSITY / 20, outliers=True)
    assert result.outliers[len(small):].all() and result.outliers[:len(small)].mean() < 0.01
    np.testing.assert_array_equal(result.points[result.outliers], cloud[result.outliers])
    # The others are filtered as a cloud without the outliers.
    kept = ~result.outliers
    alone = vandrel.denoise(cloud[kept], BUNNY_SIGMA, BUNNY_DENSITY / 20)
    np.testing.assert_array_equal(result.points[kept], alone)

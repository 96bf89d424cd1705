"""Tests of the Python module: agreement with the command-line tool and the library,
conversion of points and parameters, errors, the interpreter lock and the estimators.

Run through ctest, which puts the module of the build tree first on PYTHONPATH and names
the programs to compare with in VANDREL_CLI and VANDREL_REFERENCE (the library called directly)."""
import contextlib
import io
import os
import pickle
import subprocess
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
    command = [cli, str(tmp_path / "in.ply"), str(tmp_path / "out.ply"), "--threads", str(module_run["threads"])]
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


# Arrays of one cloud in millimetres (values with more digits than single precision holds),
# each laid out differently from a C-ordered float32 array.
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
    "nested-list": lambda mm: mm.tolist(),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_any_layout_filters_like_its_float32_c_ordered_copy(bunny, layout):
    points = layout(bunny[::40].astype(np.float64) * 1000.0 + 1e-4)
    before = np.array(points, copy=True)
    copy = np.ascontiguousarray(points, dtype=np.float32)
    sigma, density = 1000.0 * BUNNY_SIGMA, BUNNY_DENSITY / 40 / 1e6

    result = vandrel.denoise(points, sigma, density)
    assert result.dtype == np.float32 and result.shape == copy.shape
    assert np.array_equal(result, vandrel.denoise(copy, sigma, density))
    assert vandrel.estimate_sigma(points) == vandrel.estimate_sigma(copy)
    assert vandrel.estimate_density(points) == vandrel.estimate_density(copy)
    assert np.array_equal(np.asarray(points), before)
    assert not np.shares_memory(result, np.asarray(points))


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


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32])
def test_empty_cloud_gives_empty_result(dtype):
    result = vandrel.denoise(np.zeros((0, 3), dtype))
    assert result.shape == (0, 3) and result.dtype == np.float32


@pytest.mark.parametrize("arguments, name", [
    ({"sigma": -0.1}, "sigma"), ({"sigma": float("nan")}, "sigma"), ({"sigma": float("inf")}, "sigma"),
    ({"sigma": 1e39}, "sigma"), ({"sigma": "0.1"}, "sigma"), ({"sigma": 0.1j}, "sigma"), ({"sigma": True}, "sigma"),
    ({"density": 0}, "density"), ({"density": -1.0}, "density"), ({"density": float("nan")}, "density"),
    ({"density": 1e-50}, "density"), ({"density": 10**400}, "density"), ({"density": [1.0]}, "density"),
    ({"threads": -1}, "threads"), ({"threads": 1.5}, "threads"), ({"threads": 2**31}, "threads"),
])
def test_rejects_invalid_parameters(small, arguments, name):
    with pytest.raises(ValueError, match=name):
        vandrel.denoise(small, **({"sigma": BUNNY_SIGMA, "density": SMALL_DENSITY} | arguments))


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


def rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    return q * np.sign(np.diag(r))


def plane(rng, density, side=60.0):
    n = int(density * side * side)
    flat = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), np.zeros(n)])
    return flat @ rotation(rng).T + 100.0


def sphere(rng, density, radius):
    n = int(density * 4 * np.pi * radius * radius)
    directions = rng.normal(size=(n, 3))
    return radius * directions / np.linalg.norm(directions, axis=1, keepdims=True)


@pytest.mark.parametrize("surface, density, sigma", [
    (lambda rng, d: plane(rng, d), 1.0, 0.1),
    (lambda rng, d: plane(rng, d), 4.0, 0.2),
    (lambda rng, d: sphere(rng, d, 25.0), 1.0, 0.15),
    (lambda rng, d: sphere(rng, d, 30.0), 0.25, 0.6),
], ids=["plane", "dense-plane", "sphere", "sparse-sphere"])
def test_estimators_recover_known_sigma_and_density(surface, density, sigma):
    rng = np.random.default_rng(7)
    points = surface(rng, density)
    points += rng.normal(0.0, sigma, points.shape)
    assert vandrel.estimate_density(points) == pytest.approx(density, rel=0.25)
    assert vandrel.estimate_sigma(points) == pytest.approx(sigma, rel=0.25)


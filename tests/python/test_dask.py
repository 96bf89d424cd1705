"""The Dask runner: tiles filtered as tasks on a LocalCluster give the bits of the local
tiled run and of the untiled filter."""
import os

import numpy as np
import pytest

import vandrel

distributed = pytest.importorskip("distributed")
import vandrel.dask  # noqa: E402  (needs distributed)


def strip(seed):
    """A noisy wavy strip, one point per unit area, several halos long, with NaN rows."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 420, 4200)
    y = rng.uniform(0, 10, 4200)
    points = np.column_stack([x, y, 3 * np.sin(x / 30)]) + rng.normal(0, 0.4, (4200, 3))
    points[[5, 2000]] = np.nan
    return points.astype(np.float32)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def test_dask_gives_the_local_tiled_and_untiled_bits(client):
    points = strip(3)
    whole = vandrel.denoise(points, 0.4, 1.0, threads=1)
    local = vandrel._core.denoise_tiled(points, 0.4, 1.0, 1000, 1)
    with pytest.warns(UserWarning, match="times a pass") as warned:
        on_cluster = vandrel.dask.denoise(points, 0.4, 1.0, client=client, tile_points=1000, threads=1)
    lo, _, _ = vandrel._core.plan_tiles(points, 0.4, 1.0, 1000, 0)
    assert len(lo) >= 4
    # The tile_points the warning names is about the least that filters each point at most 1.5 times.
    named = int(str(warned[0].message).split("tile_points=")[1].split()[0])
    factor = lambda owned: vandrel._core.filtering_factor(points, *vandrel._core.plan_tiles(points, 0.4, 1.0, owned, 0))
    assert factor(1000) > 1.5 >= factor(named) and factor(int(named * 0.9)) > 1.5
    assert on_cluster.dtype == np.float32 and on_cluster.shape == points.shape
    assert on_cluster.tobytes() == local.tobytes()
    assert on_cluster.tobytes() == whole.tobytes()
    assert np.isnan(on_cluster[[5, 2000]]).all()


def test_points_thrown_far_are_read_apart_by_both_runners(client, tmp_path, monkeypatch):
    """Points the first pass throws further than a second-pass halo of 2 R allows for (points
    above the strip, pulled down onto it) are read with their 50 nearest neighbours besides
    each tile's halo: the halos allow for the others' moves only, with the same bits."""
    points = strip(7)
    x = 40.0 + 45.0 * np.arange(9)
    thrown = np.column_stack([x, np.full(9, 5.0), 3 * np.sin(x / 30) + 4.0 + np.arange(9)]).astype(np.float32)
    points = np.concatenate([points, thrown])
    whole = vandrel.denoise(points, 0.4, 1.0, threads=1)
    _, _, sizes = vandrel._core.plan_tiles(points, 0.4, 1.0, 1000, 0)
    allowed = (sizes[1] - 8.0) / 2.0  # the move a halo of 2 R allows for (scale 1)
    assert np.linalg.norm(whole[-9:] - thrown, axis=1).max() > 1.5 * allowed
    halo_moves = []
    tile_halo = vandrel._core.TileHalo
    monkeypatch.setattr(vandrel._core, "TileHalo", lambda sizes, rows, pass_, move=0.0, found=0.0:
                        halo_moves.append((pass_, move)) or tile_halo(sizes, rows, pass_, move, found))
    on_cluster = vandrel.dask.denoise(points, 0.4, 1.0, client=client, tile_points=1000, threads=1)
    assert on_cluster.tobytes() == whole.tobytes()
    np.save(tmp_path / "in.npy", points)
    vandrel.dask.denoise_npy(str(tmp_path / "in.npy"), str(tmp_path / "out.npy"), 0.4, 1.0, client=client,
                             tile_points=1000, threads=1, block_rows=1000)
    assert np.load(tmp_path / "out.npy").tobytes() == whole.tobytes()
    second = [move for pass_, move in halo_moves if pass_ == 2]
    assert second and max(second) <= allowed


def test_dask_recentres_float64_like_denoise(client):
    points = strip(4).astype(np.float64) + np.array([5.0e5, 4.0e6, 100.0])
    whole = vandrel.denoise(points, 0.4, 1.0, threads=1)
    on_cluster = vandrel.dask.denoise(points, 0.4, 1.0, client=client, tile_points=1500, threads=1)
    assert on_cluster.dtype == np.float64
    assert on_cluster.tobytes() == whole.tobytes()


def test_dask_mask_filters_the_selected_rows_as_denoise_does(client):
    points = strip(5).astype(np.float64) + np.array([5.0e5, 4.0e6, 100.0])
    mask = np.arange(len(points)) % 4 != 0
    on_cluster = vandrel.dask.denoise(points, 0.4, 0.75, client=client, tile_points=1000, threads=1, mask=mask)
    assert on_cluster.tobytes() == vandrel.denoise(points, 0.4, 0.75, threads=1, mask=mask).tobytes()
    assert on_cluster[~mask].tobytes() == points[~mask].tobytes()
    nothing = np.zeros(len(points), bool)
    assert vandrel.dask.denoise(points, client=client, mask=nothing).tobytes() == points.tobytes()


# vandrel.dask.denoise_npy: clouds in .npy files, blocks of rows crossing the tiles.

def long_strip(seed, rows=12000, sparse_from=None):
    """A wavy strip like strip()'s, three times as long, with NaN rows; from x = sparse_from
    on, a quarter of the density the filter is told (its tiles' first halos are too narrow)."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1200, rows)
    if sparse_from is not None:
        x = np.where(x < sparse_from, x, sparse_from + (x - sparse_from) * 4)
    y = rng.uniform(0, 10, rows)
    points = np.column_stack([x, y, 3 * np.sin(x / 30)]) + rng.normal(0, 0.4, (rows, 3))
    points[[5, rows // 6 + 1, rows * 7 // 12]] = np.nan
    return points


def scratch_and_outputs(tmp_path):
    """Files the call may have left: everything under scratch/ and beside the input."""
    left = sorted(p.name for p in (tmp_path / "scratch").iterdir())
    return left + sorted(p.name for p in tmp_path.iterdir() if p.name not in ("scratch", "in.npy"))


def npy_cases():
    points = long_strip(5)
    extra = np.arange(len(points), dtype=np.float64)[:, None]
    georeferenced = np.column_stack([points + [5.0e5, 4.0e6, 100.0], extra, -extra])
    georeferenced[9, 1] = np.inf  # a row with finite coordinates beside a non-finite one
    return [
        ("float32 with a column carried", np.column_stack([points, extra]).astype(np.float32), 0.4, 1.0, 3000),
        ("float64 big-endian far from zero", georeferenced.astype(">f8"), 0.4, 1.0, 2500),
        ("parameters estimated", points.astype(np.float32), None, None, 3000),
        ("sparse part: tiles read again", long_strip(6, 9000, sparse_from=600).astype(np.float32), 0.4, 1.0, 2000),
        ("one tile, whole cloud", points[:2000].astype(np.float32), 0.4, 1.0, None),
    ]


def test_denoise_npy_gives_the_bits_of_denoise_on_the_loaded_array(client, tmp_path, monkeypatch):
    rebinned = []
    rebin = vandrel.dask._TileBins.rebin
    monkeypatch.setattr(vandrel.dask._TileBins, "rebin",
                        lambda self, tile, reach: rebinned.append(tile) or rebin(self, tile, reach))
    (tmp_path / "scratch").mkdir()
    for name, data, sigma, density, tile_points in npy_cases():
        rebinned.clear()
        input_path, output_path = tmp_path / "in.npy", tmp_path / "out.npy"
        np.save(input_path, data)
        expected = vandrel.denoise(np.load(input_path)[:, :3], sigma, density, threads=1)
        if tile_points is not None:
            lo, _, _ = vandrel._core.plan_tiles(expected.astype(np.float32), 0.4, 1.0, tile_points, 0)
            assert len(lo) >= 3, name
        vandrel.dask.denoise_npy(str(input_path), str(output_path), sigma, density, client=client,
                                 tile_points=tile_points, threads=1, scratch=str(tmp_path / "scratch"),
                                 block_rows=1000)
        written = np.load(output_path)
        assert written.dtype == data.dtype and written.shape == data.shape, name
        assert np.ascontiguousarray(written[:, :3], dtype=expected.dtype).tobytes() == expected.tobytes(), name
        assert written[:, 3:].tobytes() == data[:, 3:].tobytes(), name
        if name.startswith("sparse"):
            assert rebinned, name
        assert scratch_and_outputs(tmp_path) == ["out.npy"], name
        assert output_path.stat().st_mode & 0o777 == (tmp_path / "in.npy").stat().st_mode & 0o777, name
        output_path.unlink()


def test_denoise_npy_refusals_leave_no_output_and_no_scratch(client, tmp_path):
    points = long_strip(7).astype(np.float32)
    rng = np.random.default_rng(8)
    plane = np.column_stack([rng.uniform(0, 160, (25000, 2)), rng.normal(0, 0.1, 25000)]).astype(np.float32)
    cases = [
        ("Fortran order", np.asfortranarray(points), {}, ValueError, "Fortran"),
        ("two columns", points[:, :2].copy(), {}, ValueError, "k >= 3"),
        ("integers", np.nan_to_num(points).astype(np.int32), {}, ValueError, "int32"),
        ("negative sigma", points, {"sigma": -1.0, "density": 1.0}, ValueError, "sigma"),
        ("density in the wrong units", plane, {"sigma": 0.1, "density": 1e-4}, vandrel.Error,
         "Vandrel:hugeNeighbourhood"),
    ]
    (tmp_path / "scratch").mkdir()
    for name, data, parameters, error, message in cases:
        input_path, output_path = tmp_path / "in.npy", tmp_path / "out.npy"
        np.save(input_path, data)
        output_path.write_bytes(b"an earlier output")
        if error is vandrel.Error:  # the same refusal as the filter's on the whole cloud
            with pytest.raises(vandrel.Error) as whole:
                vandrel.denoise(data, **parameters)
            assert whole.value.identifier == message, name
        with pytest.raises(error) as refused:
            vandrel.dask.denoise_npy(str(input_path), str(output_path), **parameters, client=client,
                                     tile_points=3000, threads=1, scratch=str(tmp_path / "scratch"),
                                     block_rows=1000)
        if error is vandrel.Error:
            assert refused.value.identifier == message, name
        else:
            assert message in str(refused.value), name
        assert output_path.read_bytes() == b"an earlier output", name
        assert scratch_and_outputs(tmp_path) == ["out.npy"], name


def test_denoise_npy_refuses_its_input_as_output_under_any_name(client, tmp_path):
    np.save(tmp_path / "in.npy", long_strip(9, 3000).astype(np.float32))
    original = (tmp_path / "in.npy").read_bytes()
    (tmp_path / "sub").mkdir()
    os.link(tmp_path / "in.npy", tmp_path / "hard.npy")
    os.symlink(tmp_path / "in.npy", tmp_path / "soft.npy")
    for output in ["in.npy", "sub/../in.npy", "hard.npy", "soft.npy"]:
        with pytest.raises(ValueError, match="is the input file"):
            vandrel.dask.denoise_npy(str(tmp_path / "in.npy"), str(tmp_path / output), 0.4, 1.0, client=client,
                                     tile_points=1000, threads=1)
        assert (tmp_path / "in.npy").read_bytes() == original, output
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.npy", "in.npy", "soft.npy", "sub"]


def test_denoise_npy_scratch_beside_the_output_is_removed(client, tmp_path):
    (tmp_path / "scratch").mkdir()
    np.save(tmp_path / "in.npy", long_strip(9, 3000).astype(np.float32))
    vandrel.dask.denoise_npy(str(tmp_path / "in.npy"), str(tmp_path / "out.npy"), 0.4, 1.0, client=client,
                             tile_points=1000, threads=1, block_rows=700)
    assert scratch_and_outputs(tmp_path) == ["out.npy"]
    # Refused once the scratch folder is made: too few points to estimate the parameters from.
    np.save(tmp_path / "in.npy", long_strip(9, 40).astype(np.float32))
    with pytest.raises(vandrel.Error) as refused:
        vandrel.dask.denoise_npy(str(tmp_path / "in.npy"), str(tmp_path / "other.npy"), client=client, threads=1,
                                 block_rows=7)
    assert refused.value.identifier == "Vandrel:tooFewPoints"
    assert scratch_and_outputs(tmp_path) == ["out.npy"]


def test_dask_survives_the_loss_of_a_worker(tmp_path):
    """A worker killed while tiles run: its tiles run again on the others, same bits."""
    import os
    import signal
    import threading

    points = np.concatenate([strip(seed) for seed in (5, 6, 7)])
    whole = vandrel.denoise(points, 0.4, 1.0, threads=1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        victim = next(iter(c.run(os.getpid).values()))
        timer = threading.Timer(1.0, os.kill, (victim, signal.SIGKILL))
        timer.start()
        try:
            on_cluster = vandrel.dask.denoise(points, 0.4, 1.0, client=c, tile_points=600, threads=1)
        finally:
            timer.cancel()
    assert on_cluster.tobytes() == whole.tobytes()


def test_dask_runners_refuse_the_outputs_they_do_not_give(tmp_path):
    # Refused before a cluster is started or a file is read.
    with pytest.raises(ValueError, match=r"normals=True, outliers=True: ask vandrel.denoise"):
        vandrel.dask.denoise(strip(3), 0.4, 1.0, normals=True, outliers=True)
    with pytest.raises(ValueError, match=r"not noise=True"):
        vandrel.dask.denoise_npy(str(tmp_path / "in.npy"), str(tmp_path / "out.npy"), 0.4, 1.0, noise=True)
    assert list(tmp_path.iterdir()) == []

"""The Dask runner: tiles filtered as tasks on a LocalCluster give the bits of the local
tiled run and of the untiled filter."""
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
    on_cluster = vandrel.dask.denoise(points, 0.4, 1.0, client=client, tile_points=1000, threads=1)
    lo, _, _ = vandrel._core.plan_tiles(points, 0.4, 1.0, 1000, 0)
    assert len(lo) >= 4
    assert on_cluster.dtype == np.float32 and on_cluster.shape == points.shape
    assert on_cluster.tobytes() == local.tobytes()
    assert on_cluster.tobytes() == whole.tobytes()
    assert np.isnan(on_cluster[[5, 2000]]).all()


def test_dask_recentres_float64_like_denoise(client):
    points = strip(4).astype(np.float64) + np.array([5.0e5, 4.0e6, 100.0])
    whole = vandrel.denoise(points, 0.4, 1.0, threads=1)
    on_cluster = vandrel.dask.denoise(points, 0.4, 1.0, client=client, tile_points=1500, threads=1)
    assert on_cluster.dtype == np.float64
    assert on_cluster.tobytes() == whole.tobytes()

#!/usr/bin/env python3
"""How much the local density varies over the shared real scans and the analogues: the measure behind
the refusal of an estimated density that one number cannot describe (vandrel::density_spread, mirrored
here in numpy and scipy: up to 1024 finite points spread evenly over the row order, each with the
density 16 / (pi d^2), d the 3-D distance to its 16th nearest other point; the 10th and 90th
percentiles, nearest rank). The run refuses when the 90th is more than 100 times the 10th.

    PYTHONPATH=build/python /usr/bin/python3 bench/density_spread.py

Needs scipy (Debian's python3-scipy), for this benchmark only.
"""
import os
import sys

import numpy as np
from scipy.spatial import cKDTree

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from estimator_accuracy import depth_camera, forest, strips  # noqa: E402
from pcd_points import read_pcd  # noqa: E402
from real_scans import read_las  # noqa: E402

data = os.environ.get("VANDREL_REAL_SCANS", os.path.join(here, "..", "data", "real"))


def spread(points):
    p = points[np.isfinite(points).all(axis=1)].astype(np.float32).astype(np.float64)
    n = len(p)
    samples = min(n, 1024)
    rows = (np.arange(samples) * n) // samples
    d, _ = cKDTree(p).query(p[rows], k=17)
    d2 = d[:, 16] ** 2
    densities = np.sort(16 / (np.pi * d2[d2 > 0]))
    last = len(densities) - 1
    return densities[int(round(0.1 * last))], densities[int(round(0.9 * last))]


def main():
    clouds = []
    xyz, classes = read_las(os.path.join(data, "autzen_trim.las"))
    clouds += [("autzen_trim.las, every point", xyz - xyz.mean(axis=0)),
               ("autzen_trim.las, class 2", xyz[classes == 2] - xyz[classes == 2].mean(axis=0))]
    for scan in ("table_scene_mug_stereo_textured", "milk_cartoon_all_small_clorox"):
        clouds.append((scan + ".pcd", read_pcd(os.path.join(data, scan + ".pcd"))[0]))
    rng = np.random.default_rng(7)
    points, classes, _, _ = forest(rng)
    clouds.append(("forest analogue, every point", points))
    clouds.append(("depth camera analogue (lattice), 1 to 4.7 units", depth_camera(rng)[0]))
    clouds.append(("two strips 5 cm apart, overlapping on 3/4", strips(rng)[0]))
    wide = np.column_stack([rng.uniform(0, 100, 10000), rng.uniform(0, 100, 10000), np.zeros(10000)])
    dense = np.column_stack([rng.uniform(101, 102, 3000), rng.uniform(0, 1, 3000), np.zeros(3000)])
    clouds.append(("10000 points on 100 x 100 beside 3000 on 1 x 1 (refused)", np.vstack([wide, dense])))
    print("| cloud | 10th percentile | 90th percentile | ratio |\n| --- | --- | --- | --- |")
    for name, points in clouds:
        low, high = spread(points)
        print(f"| {name} | {low:.4g} | {high:.4g} | {high / low:.1f} |")


if __name__ == "__main__":
    main()

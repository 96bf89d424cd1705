#!/usr/bin/env python3
"""Estimator accuracy: sigma and density estimated on synthetic surfaces with known truth,
as ratios to the truth. Planes and spheres over a grid of densities and noise levels (noise
from a tenth of the point spacing to twice it); the unit tests check a few of these cases
against a tolerance, this sweep shows the whole picture.

--analogues: synthetic analogues of real scans, with known truth: ground under a canopy volume
(with and without its classes), a quantised depth camera whose noise grows as range squared (the
range model by depth band, and the single estimate; its depths on a lattice, as cameras write them,
and rounded to a sawtooth as this analogue first did), two overlapping strips 5 cm apart (together,
and flight line by flight line), and a plane with 5 % outliers.

    PYTHONPATH=build/python python3 bench/estimator_accuracy.py [--seed N] [--analogues]
"""
import argparse

import numpy as np

import vandrel


def rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    return q * np.sign(np.diag(r))


def plane(rng, density, side=60.0):
    n = int(density * side * side)
    flat = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), np.zeros(n)])
    return flat @ rotation(rng).T + 100.0


def sphere(rng, density, radius=25.0):
    n = int(density * 4 * np.pi * radius * radius)
    directions = rng.normal(size=(n, 3))
    return radius * directions / np.linalg.norm(directions, axis=1, keepdims=True)


def forest(rng, ground_sigma=0.1):
    """Ground (z = 0.02 x, noise 0.1, 2 points per unit area) under a canopy volume (trees: points
    spread through 3 to 15 units of height over half the area, as many as the ground)."""
    side = 120.0
    n = int(2 * side * side)
    ground = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), np.zeros(n)])
    ground[:, 2] = 0.02 * ground[:, 0] + rng.normal(0, ground_sigma, n)
    canopy = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), rng.uniform(3, 15, n)])
    canopy = canopy[(canopy[:, 0] // 20 + canopy[:, 1] // 20) % 2 == 0]
    canopy[:, 2] += 0.02 * canopy[:, 0]
    points = np.vstack([ground, canopy])
    classes = np.concatenate([np.full(len(ground), 2, np.uint8), np.full(len(canopy), 5, np.uint8)])
    return points, classes, ground_sigma, 2.0


def depth_camera(rng, a=0.0005, b=0.0004, step=0.002, lattice=True):
    """A 640 x 480 depth camera (focal length 525 pixels) at the origin looking along +z at 7 boards,
    each a strip of the image, at depths 1 to 4 in steps of 0.5 and turned 30 degrees about the
    vertical: depth noise a + b z^2, depths then quantised in steps of `step` z^2 (2 mm at 1 unit, 3.2
    cm at 4: wider than the noise). With `lattice`, as cameras quantise them: the disparity, 1 / z,
    is rounded to whole multiples of `step`, so every depth is one of a lattice of values 1 / (k step)
    whose spacing grows as z^2 (terraces). Without, each noisy depth is rounded to a step computed
    from itself: no two points share a depth, and the error is a sawtooth of slope 2 in the depth
    (how this analogue quantised before 2026-12-09). Returns the points and each point's distance
    from its board (the truth the estimators should find, quantisation included)."""
    u, v = np.meshgrid(np.arange(640) - 319.5, np.arange(480) - 239.5)
    rays = np.column_stack([u.ravel() / 525, v.ravel() / 525, np.ones(u.size)])
    board = np.minimum(((u.ravel() + 320) * 7) // 640, 6).astype(int)
    normal = np.array([np.sin(np.pi / 6), 0.0, np.cos(np.pi / 6)])
    centre_column = (np.arange(7) + 0.5) * 640 / 7 - 320
    anchors = np.column_stack([centre_column / 525 * (1 + 0.5 * np.arange(7)), np.zeros(7), 1 + 0.5 * np.arange(7)])
    z = (anchors[board] @ normal) / (rays @ normal)
    z_noisy = z + rng.normal(0, 1, len(z)) * (a + b * z * z)
    if lattice:
        quantised = 1.0 / (step * np.round(1.0 / (step * z_noisy)))
    else:
        quantum = step * z_noisy * z_noisy
        quantised = np.round(z_noisy / quantum) * quantum
    points = rays * quantised[:, None]
    distance = ((points - anchors[board]) @ normal)
    return points, distance


def strips(rng, sigma=0.03, offset=0.05):
    """Two overlapping flight lines of one flat ground, 10 points per unit area each, the second
    5 cm above the first (a strip misalignment), each with noise 0.03."""
    side = 60.0
    n = int(10 * side * side)
    first = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), rng.normal(0, sigma, n)])
    second = np.column_stack([rng.uniform(15, side + 15, n), rng.uniform(0, side, n), offset + rng.normal(0, sigma, n)])
    lines = np.concatenate([np.full(n, 1, np.uint16), np.full(n, 2, np.uint16)])
    return np.vstack([first, second]), sigma, 10.0, lines


def with_outliers(rng, sigma=0.05, share=0.05):
    """A plane of 4 points per unit area with noise 0.05, and 5 % more points scattered uniformly
    through a slab 10 units thick around it."""
    side = 60.0
    n = int(4 * side * side)
    points = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), rng.normal(0, sigma, n)])
    m = int(share * n)
    stray = np.column_stack([rng.uniform(0, side, m), rng.uniform(0, side, m), rng.uniform(-5, 5, m)])
    return np.vstack([points, stray]), sigma, 4.0


def ratio_text(estimate, truth):
    return f"{estimate:.4g} (truth {truth:.4g}, {100 * (estimate / truth - 1):+.1f} %)"


def analogues(seed):
    rng = np.random.default_rng(seed)
    print("\nAnalogues of real scans (estimate, truth, error):")
    points, classes, sigma, density = forest(rng)
    ground = points[classes == 2]
    print(f"  forest, whole cloud:      sigma {ratio_text(vandrel.estimate_sigma(points), sigma)}, "
          f"density {ratio_text(vandrel.estimate_density(points), density)}")
    print(f"  forest, class 2 (ground): sigma {ratio_text(vandrel.estimate_sigma(ground), sigma)}, "
          f"density {ratio_text(vandrel.estimate_density(ground), density)}")

    # Both cameras draw the same noise; the one on a lattice last, so that the analogues after it
    # draw what they drew before it was added.
    sawtooth_rng = np.random.default_rng()
    sawtooth_rng.bit_generator.state = rng.bit_generator.state
    for lattice, camera_rng in ((False, sawtooth_rng), (True, rng)):
        points, distance = depth_camera(camera_rng, lattice=lattice)
        ranges = np.linalg.norm(points, axis=1)
        order = np.argsort(ranges, kind="stable")
        truths = [float(np.sqrt(np.mean(distance[part] ** 2))) for part in np.array_split(order, 8)]
        kind = "depths on a lattice" if lattice else "sawtooth depths, not on a lattice"
        print(f"  quantised depth camera ({kind}), one sigma: {vandrel.estimate_sigma(points):.4g} "
              f"(truth {np.sqrt(np.mean(distance ** 2)):.4g} overall, from {truths[0]:.4g} to {truths[-1]:.4g} by band)")
        _, model = vandrel.range_sigmas(points, (0.0, 0.0, 0.0))
        for (r, band_sigma, _), truth in zip(model["bands"], truths):
            print(f"    depth band at range {r:.2f}: sigma {ratio_text(band_sigma, truth)}")
        print(f"    range model: a {model['a']:.4g}, b {model['b']:.4g}")

    points, sigma, density, lines = strips(rng)
    print(f"  two strips 5 cm apart:    sigma {ratio_text(vandrel.estimate_sigma(points), sigma)}, "
          f"density {ratio_text(vandrel.estimate_density(points), density)} (single strip; both overlap on 3/4)")
    print(f"    flight line by flight line (the default for a LAS file's ground): "
          f"sigma {ratio_text(vandrel.estimate_sigma(points, lines=lines), sigma)}")
    points, sigma, density = with_outliers(rng)
    print(f"  plane with 5 % outliers:  sigma {ratio_text(vandrel.estimate_sigma(points), sigma)}, "
          f"density {ratio_text(vandrel.estimate_density(points), density)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--analogues", action="store_true")
    args = parser.parse_args()
    if args.analogues:
        analogues(args.seed)
        return
    print(f"{'surface':8} {'density':>8} {'sigma':>6} {'noise/spacing':>13} {'density ratio':>13} {'sigma ratio':>11}")
    worst = 0.0
    for name, surface in (("plane", plane), ("sphere", sphere)):
        for density in (0.25, 1.0, 4.0):
            for noise in (0.1, 0.25, 0.5, 1.0, 2.0):  # sigma * sqrt(density)
                rng = np.random.default_rng(args.seed)
                sigma = noise / np.sqrt(density)
                points = surface(rng, density)
                points += rng.normal(0.0, sigma, points.shape)
                density_ratio = vandrel.estimate_density(points) / density
                sigma_ratio = vandrel.estimate_sigma(points) / sigma
                worst = max(worst, abs(density_ratio - 1), abs(sigma_ratio - 1))
                print(f"{name:8} {density:8.2f} {sigma:6.3f} {noise:13.2f} {density_ratio:13.3f} {sigma_ratio:11.3f}")
    print(f"largest error: {100 * worst:.1f} %")


if __name__ == "__main__":
    main()

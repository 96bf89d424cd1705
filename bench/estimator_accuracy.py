#!/usr/bin/env python3
"""Estimator accuracy: sigma and density estimated on synthetic surfaces with known truth,
as ratios to the truth. Planes and spheres over a grid of densities and noise levels (noise
from a tenth of the point spacing to twice it); the unit tests check a few of these cases
against a tolerance, this sweep shows the whole picture.

    PYTHONPATH=build/python python3 bench/estimator_accuracy.py [--seed N]
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
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

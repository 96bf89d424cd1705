#!/usr/bin/python3
"""Writes a noisy synthetic surface of N points as a float32 .npy file, quickly, for the tiling benchmarks."""
import argparse

import numpy as np


def surface(n, noise, seed=1):
    """n points uniformly in the square [0, sqrt(n)]^2 of a gently waving height field (so
    one point per unit area, up to the small slope), plus Gaussian noise of deviation
    `noise` on every coordinate. Returns an n x 3 float32 array."""
    rng = np.random.default_rng(seed)
    side = np.sqrt(n)
    xy = rng.uniform(0.0, side, size=(n, 2))
    z = 3.0 * np.sin(xy[:, 0] / 25.0) * np.cos(xy[:, 1] / 31.0)
    points = np.column_stack([xy, z]) + rng.normal(0.0, noise, size=(n, 3))
    return points.astype(np.float32)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("n", type=int, help="number of points")
    parser.add_argument("output", help=".npy file to write")
    parser.add_argument("--noise", type=float, default=0.3, help="noise deviation, in point spacings (default 0.3)")
    args = parser.parse_args()
    np.save(args.output, surface(args.n, args.noise))
    print(f"density 1 sigma {args.noise}")


if __name__ == "__main__":
    main()

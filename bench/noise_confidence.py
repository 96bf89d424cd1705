#!/usr/bin/python3
"""How well the noise level the filter leaves on each point (--write-noise) tracks its true error."""
import argparse
import sys
from pathlib import Path

import numpy as np

DESCRIPTION = """\
Filters noisy clouds of shapes whose surface is known (those of bench/compare.py: sphere, bump,
cube; POINTS points, Gaussian noise of LEVEL point spacings), with the true sigma and density,
asking the Python module for each point's noise level after the first pass, and compares it
with the point's true error after filtering (its distance to the true surface): Spearman's rank
correlation over all points and over the points sorted into ten bins of the noise level (the
mean true error per bin), and the ratio of the mean true error to the mean noise level. Prints a
Markdown table.
"""

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import compare  # noqa: E402


def ranks(values):
    order = np.argsort(values, kind="stable")
    result = np.empty(len(values))
    result[order] = np.arange(len(values))
    return result


def spearman(a, b):
    return float(np.corrcoef(ranks(a), ranks(b))[0, 1])


def main():
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--points", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    sys.path.insert(0, str(Path(args.build) / "python"))
    import vandrel

    print("| cloud | rank correlation, points | rank correlation, 10 bins | mean error / mean noise level |")
    print("|---|---|---|---|")
    for shape in ("sphere", "bump", "cube"):
        for level in compare.NOISE_LEVELS:
            rng = np.random.default_rng([args.seed, compare.SHAPES.index(shape), int(level * 100)])
            clean, area = {"sphere": compare.sample_sphere, "bump": compare.sample_bump,
                           "cube": compare.sample_cube}[shape](args.points, rng)
            density = args.points / area
            sigma = level / np.sqrt(density)
            noisy = clean + rng.normal(0.0, sigma, size=clean.shape)
            result = vandrel.denoise(noisy, sigma, density, noise=True)
            error = {"sphere": compare.distance_sphere, "bump": compare.distance_bump,
                     "cube": compare.distance_cube}[shape](result.points)
            noise = result.noise.astype(np.float64)
            bins = np.array_split(np.argsort(noise, kind="stable"), 10)
            binned = spearman(np.array([noise[b].mean() for b in bins]), np.array([error[b].mean() for b in bins]))
            print(f"| {shape} {level} | {spearman(noise, error):.2f} | {binned:.2f} | "
                  f"{error.mean() / noise.mean():.2f} |")


if __name__ == "__main__":
    main()

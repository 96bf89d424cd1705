#!/usr/bin/python3
"""Renders the bundled sample scan before and after filtering, coloured by distance to the true surface."""
import argparse
import io
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from compare import distance_mesh, read_off_triangles  # noqa: E402 (exact point-to-mesh distances)

DESCRIPTION = """\
Filters data/bunny_20k_noisy.xyz with build/vandrel (--sigma 0.005 --density 22707; or takes
the filtered cloud from --denoised) and draws the noisy and the filtered points from the front and
from the side, each point coloured by its distance to data/bunny.off, the surface the clean sample
data/bunny_20k_clean.xyz was drawn from (the clean points lie on it to 1e-9). Writes a PNG with a
64-colour palette (docs/sample.png by default, about 200 KB). Needs python3-matplotlib.
"""

SIGMA = 0.005
DENSITY = 22707
# Views as (screen right, screen up, title): the bunny stands along +y. The viewer looks along
# -(right x up), so the depth towards the viewer is the coordinate along right x up.
VIEWS = (((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), "side"), ((0.0, 0.0, 1.0), (0.0, 1.0, 0.0), "front"))


def project(points, view):
    """Screen coordinates and depth towards the viewer (orthographic)."""
    right, up = np.array(view[0]), np.array(view[1])
    return points @ right, points @ up, points @ np.cross(right, up)


def main():
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--vandrel", default=str(ROOT / "build/vandrel"), help="the filter (default build/vandrel)")
    parser.add_argument("--denoised", help="an already filtered data/bunny_20k_noisy.xyz (skips running the filter)")
    parser.add_argument("--output", default=str(ROOT / "docs/sample.png"), help="the PNG (default docs/sample.png)")
    args = parser.parse_args()

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from PIL import Image

    noisy_path = ROOT / "data/bunny_20k_noisy.xyz"
    noisy = np.loadtxt(noisy_path)
    if args.denoised:
        denoised = np.loadtxt(args.denoised)
    else:
        with tempfile.TemporaryDirectory() as scratch:
            out = Path(scratch) / "denoised.xyz"
            subprocess.run([args.vandrel, str(noisy_path), str(out), "--sigma", str(SIGMA), "--density", str(DENSITY),
                            "--quiet"], check=True)
            denoised = np.loadtxt(out)
    if denoised.shape != noisy.shape:
        sys.exit(f"render_sample: the filtered cloud has shape {denoised.shape}, the noisy one {noisy.shape}")

    triangles = read_off_triangles(ROOT / "data/bunny.off")
    clouds = [("noisy", noisy), ("vandrel", denoised)]
    distances = [distance_mesh(points, triangles) for _, points in clouds]
    scale = 2.0 * SIGMA  # the colour saturates at two sigma

    figure, axes = plt.subplots(2, 2, figsize=(7.2, 6.6), dpi=100, layout="constrained")
    for row, ((name, points), distance) in enumerate(zip(clouds, distances)):
        for column, view in enumerate(VIEWS):
            u, v, toward_viewer = project(points, view)
            order = np.argsort(toward_viewer)  # far points first, near ones drawn over them
            ax = axes[row, column]
            image = ax.scatter(u[order], v[order], c=distance[order], s=1.6, linewidths=0, cmap="viridis",
                               vmin=0.0, vmax=scale, rasterized=True)
            ax.set_aspect("equal")
            ax.set_axis_off()
            ax.set_title(f"{name}, {view[2]}: mean distance {distance.mean() / SIGMA:.2f} sigma", fontsize=9)
    bar = figure.colorbar(image, ax=axes, shrink=0.6, label="distance to the true surface (sigma = 0.005)")
    bar.set_ticks([0.0, SIGMA, scale], labels=["0", "sigma", "2 sigma"])

    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    plt.close(figure)
    buffer.seek(0)
    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    Image.open(buffer).convert("RGB").quantize(colors=64).save(output, optimize=True)
    print(f"render_sample: wrote {output} ({output.stat().st_size // 1024} KB); mean distance noisy "
          f"{distances[0].mean():.5f}, filtered {distances[1].mean():.5f}")


if __name__ == "__main__":
    main()

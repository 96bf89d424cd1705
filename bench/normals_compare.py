#!/usr/bin/python3
"""Compares the filter's normals with classic normal estimators on shapes with known normals."""
import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

DESCRIPTION = """\
Samples POINTS points on shapes whose normals are known (a unit sphere, a square with a smooth
bump, the surface of a cube, a half cylinder closed by flat faces: curved and flat faces meeting
at sharp 90-degree edges, and the bunny mesh data/bunny.off), adds Gaussian noise of sigma =
LEVEL x the diagonal of the shape's bounding box for the levels 0.5, 1 and 2 %, and scores each
method by the angle between its normal at each point and the true normal at that point's clean
position, ignoring the sign (peers do not orient): mean and 95th percentile, in degrees. The
bunny is scored twice: against the normal of the triangle each point lies on (the faceted
surface the points were drawn from: 3674 triangles for 20000 points, so neighbouring triangles'
normals differ by several degrees everywhere) and, as "bunny-smooth", against the smooth surface
the mesh stands for (the triangle's vertex normals, each the area-weighted mean of its
triangles' normals, interpolated at the point: 7.2 degrees from the triangle's on average).
Methods:

  vandrel        build/vandrel --normals with the true --sigma and --density: quadric fits to
                 25 to 400 nearest filtered points, the size chosen per point
  Open3D         estimate_normals with KDTreeSearchParamKNN(k) (python3-open3d)
  PCL            NormalEstimation with setKSearch(k) (build/bench/pcl_normals, libpcl-dev)
  CGAL jet, PCA  jet_estimate_normals / pca_estimate_normals with k (build/bench/cgal_normals)

each peer over the grid K, reported at its best k per cloud (by the mean angle; * marks the
grid's end). Prints a Markdown table. Every program runs on one thread. With --reuse, the
scores of methods not run are taken from an earlier run's --json file.
"""

ROOT = Path(__file__).resolve().parent.parent
LEVELS = (0.005, 0.01, 0.02)
SHAPES = ("sphere", "bump", "cube", "halfcylinder", "bunny")
K_GRID = (6, 10, 15, 20, 30, 50, 80, 120, 200, 300)

sys.path.insert(0, str(ROOT / "bench"))
import compare  # noqa: E402  (the shapes of the accuracy benchmark)


def sample(shape, count, rng):
    """Clean points, their true unit normals, the shape's area and, for the bunny, the smooth
    surface's normals (else None)."""
    if shape == "sphere":
        points, area = compare.sample_sphere(count, rng)
        return points, points.copy(), area, None
    if shape == "bump":
        points, area = compare.sample_bump(count, rng)
        _, fu, fv, *_ = compare.bump(points[:, 0], points[:, 1])
        normals = np.column_stack([-fu, -fv, np.ones(count)])
        return points, normals / np.linalg.norm(normals, axis=1, keepdims=True), area, None
    if shape == "cube":
        points, area = compare.sample_cube(count, rng)
        normals = np.where(np.abs(points) == 1.0, np.sign(points), 0.0)
        return points, normals, area, None
    if shape == "halfcylinder":
        # x^2 + z^2 = 1, z >= 0, |y| <= 1 (area 2 pi), the floor z = 0 (area 4) and two
        # half discs y = +-1 (area pi / 2 each).
        areas = np.array([2.0 * np.pi, 4.0, np.pi / 2.0, np.pi / 2.0])
        face = rng.choice(4, size=count, p=areas / areas.sum())
        points, normals = np.zeros((count, 3)), np.zeros((count, 3))
        theta = rng.uniform(0.0, np.pi, count)
        y = rng.uniform(-1.0, 1.0, count)
        curved = face == 0
        points[curved] = np.column_stack([np.cos(theta), y, np.sin(theta)])[curved]
        normals[curved] = np.column_stack([np.cos(theta), np.zeros(count), np.sin(theta)])[curved]
        floor = face == 1
        points[floor] = np.column_stack([rng.uniform(-1.0, 1.0, count), y, np.zeros(count)])[floor]
        normals[floor] = [0.0, 0.0, -1.0]
        radius = np.sqrt(rng.uniform(0.0, 1.0, count))
        for f, side in ((2, -1.0), (3, 1.0)):
            cap = face == f
            points[cap] = np.column_stack([radius * np.cos(theta), np.full(count, side), radius * np.sin(theta)])[cap]
            normals[cap] = [0.0, side, 0.0]
        return points, normals, float(areas.sum()), None
    # bunny: uniform on the triangles, area-weighted
    from make_cloud import read_off
    vertices, triangles = read_off(str(ROOT / "data/bunny.off"))
    corners = vertices[triangles]
    cross = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    areas = 0.5 * np.linalg.norm(cross, axis=1)
    chosen = rng.choice(len(triangles), size=count, p=areas / areas.sum())
    r1, r2 = rng.random(count), rng.random(count)
    s = np.sqrt(r1)
    a, b, c = (corners[chosen, i] for i in range(3))
    points = (1 - s)[:, None] * a + (s * (1 - r2))[:, None] * b + (s * r2)[:, None] * c
    normals = cross[chosen] / (2.0 * areas[chosen])[:, None]
    vertex_normals = np.zeros_like(vertices)
    for corner in range(3):
        np.add.at(vertex_normals, triangles[:, corner], cross)
    vertex_normals /= np.linalg.norm(vertex_normals, axis=1, keepdims=True)
    weights = np.column_stack([1 - s, s * (1 - r2), s * r2])[:, :, None]
    smooth = (weights * vertex_normals[triangles[chosen]]).sum(axis=1)
    return points, normals, float(areas.sum()), smooth / np.linalg.norm(smooth, axis=1, keepdims=True)


def angles(estimated, true):
    """Unsigned angle in degrees between the lines of two sets of vectors (NaN: 90)."""
    norm = np.linalg.norm(estimated, axis=1)
    cosine = np.abs(np.einsum("ij,ij->i", estimated, true)) / np.where(norm > 0, norm, 1.0)
    cosine = np.where(np.isfinite(cosine) & (norm > 0), np.clip(cosine, 0.0, 1.0), 0.0)
    return np.degrees(np.arccos(cosine))


def run(command):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))}: {done.stderr.strip()[-300:]}")


def methods(build):
    """(name, k grid or None, function(noisy path, points, sigma, density, k, work) -> normals)."""
    found = []
    vandrel = build / "vandrel"

    def by_vandrel(path, points, sigma, density, k, work):
        out = work / "vandrel.xyz"
        run([vandrel, path, out, "--sigma", repr(sigma), "--density", repr(density), "--normals", "--threads", "1",
             "--quiet"])
        return np.loadtxt(out)[:, 3:6]
    found.append(("vandrel --normals", None, by_vandrel))
    try:
        import open3d as o3d

        def by_open3d(path, points, sigma, density, k, work):
            cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
            cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(knn=k))
            return np.asarray(cloud.normals)
        found.append(("Open3D estimate_normals", K_GRID, by_open3d))
    except ImportError:
        print("normals_compare: no open3d (python3-open3d): Open3D left out", file=sys.stderr)
    pcl = build / "bench/pcl_normals"
    if pcl.exists():
        def by_pcl(path, points, sigma, density, k, work):
            out = work / "pcl.xyz"
            run([pcl, path, out, k])
            return np.loadtxt(out)
        found.append(("PCL NormalEstimation", K_GRID, by_pcl))
    cgal = build / "bench/cgal_normals"
    if cgal.exists():
        for method in ("jet", "pca"):
            def by_cgal(path, points, sigma, density, k, work, method=method):
                out = work / f"cgal_{method}.xyz"
                run([cgal, method, path, out, k])
                return np.loadtxt(out)
            found.append((f"CGAL {method}_estimate_normals", K_GRID, by_cgal))
    return found


def main():
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--points", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--json", help="also write every score to this file")
    parser.add_argument("--methods", help="only the methods whose names contain one of these comma-separated words")
    parser.add_argument("--reuse", help="an earlier --json file: the scores of the methods not run here")
    args = parser.parse_args()
    build = Path(args.build)
    clouds = [(shape, level) for shape in args.shapes.split(",") for level in LEVELS]
    listed = methods(build)
    found = listed
    if args.methods:
        found = [m for m in listed if any(word in m[0] for word in args.methods.split(","))]
    scores = {}  # (method, cloud, level) -> (mean, p95, k, seconds)
    if args.reuse:
        for name, shape, level, *value in json.loads(Path(args.reuse).read_text()):
            if all(name != m[0] for m in found):
                scores[(name, shape, level)] = tuple(value)
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        for shape, level in clouds:
            rng = np.random.default_rng([args.seed, SHAPES.index(shape), int(level * 1000)])
            clean, true, area, smooth = sample(shape, args.points, rng)
            diagonal = float(np.linalg.norm(clean.max(axis=0) - clean.min(axis=0)))
            sigma = level * diagonal
            density = args.points / area
            noisy = clean + rng.normal(0.0, sigma, size=clean.shape)
            path = work / "noisy.xyz"
            np.savetxt(path, noisy, fmt="%.9g")
            references = [(shape, true)] + ([(f"{shape}-smooth", smooth)] if smooth is not None else [])
            for name, grid, estimate in found:
                best = {}
                for k in grid or (None,):
                    started = time.time()
                    estimated = estimate(path, noisy, sigma, density, k, work)
                    seconds = time.time() - started
                    for label, reference in references:
                        a = angles(estimated, reference)
                        result = (float(a.mean()), float(np.percentile(a, 95)), k, seconds)
                        if label not in best or result[0] < best[label][0]:
                            best[label] = result
                for label, result in best.items():
                    scores[(name, label, level)] = result
                    print(f"{label} {level}: {name}: mean {result[0]:.2f} p95 {result[1]:.2f} k {result[2]}",
                          file=sys.stderr)
    if args.json:
        Path(args.json).write_text(json.dumps([[*key, *value] for key, value in scores.items()]))
    clouds = [(label, level) for shape, level in clouds
              for label in ((shape, f"{shape}-smooth") if shape == "bunny" else (shape,))]
    header = ["method"] + [f"{shape} {100 * level:g}%" for shape, level in clouds]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name, grid, _ in listed:
        if not any(key[0] == name for key in scores):
            continue
        cells = []
        for shape, level in clouds:
            if (name, shape, level) not in scores:
                cells.append("")
                continue
            mean, p95, k, _ = scores[(name, shape, level)]
            label = "" if k is None else f" (k {k}{'*' if k == grid[-1] else ''})"
            cells.append(f"{mean:.1f} / {p95:.1f}{label}")
        print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()

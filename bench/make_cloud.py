#!/usr/bin/python3
"""Samples a noisy point cloud and its clean twin from a triangle mesh, for benchmarks."""
import argparse
import sys

import numpy as np

DESCRIPTION = """\
Draws N points uniformly (area-weighted) on the surface of a triangle mesh in OFF format,
writes them to CLEAN, adds noise and writes the same points, row for row, to NOISY. Both
files hold one "x y z" per line with 9 significant digits. The noise is isotropic Gaussian
noise of standard deviation sigma = NOISE x (diagonal of the mesh's axis-aligned bounding
box) on every coordinate; data/bunny.off has a bounding-box diagonal of 1, so --noise 0.005
gives sigma 0.005, as in the bundled 20000-point sample. Prints the density to give the
filter (N / mesh area, in points per unit area) and sigma. Polygons with more than three
vertices are split into triangle fans. The same arguments and seed give the same files.
"""


def fail(message):
    print(f"make_cloud: {message}", file=sys.stderr)
    sys.exit(1)


def read_off(path):
    """Vertices (n x 3) and triangles (m x 3, 0-based) of an OFF file."""
    try:
        with open(path, encoding="ascii") as f:
            lines = [(number, line.split("#", 1)[0].split()) for number, line in enumerate(f, 1)]
    except (OSError, UnicodeDecodeError) as e:
        fail(f"cannot read {path}: {e}")
    lines = [(number, fields) for number, fields in lines if fields]
    if not lines or lines[0][1][0] != "OFF":
        fail(f"{path}: not an OFF file (the first line must be OFF)")
    header = lines[0][1][1:]  # counts may follow OFF on the same line
    rest = lines[1:]
    if not header:
        if not rest:
            fail(f"{path}: missing vertex and face counts")
        header = rest[0][1]
        rest = rest[1:]
    try:
        vertex_count, face_count = int(header[0]), int(header[1])
    except (ValueError, IndexError):
        fail(f"{path}: bad counts line (expected: vertices faces edges)")
    if vertex_count < 3 or face_count < 1 or len(rest) < vertex_count + face_count:
        fail(f"{path}: declares {vertex_count} vertices and {face_count} faces, the file holds fewer")

    vertices = np.empty((vertex_count, 3))
    for row, (number, fields) in enumerate(rest[:vertex_count]):
        try:
            vertices[row] = [float(x) for x in fields[:3]]
        except ValueError:
            fail(f"{path}, line {number}: expected three vertex coordinates")
        if len(fields) < 3 or not np.all(np.isfinite(vertices[row])):
            fail(f"{path}, line {number}: expected three finite vertex coordinates")
    triangles = []
    for number, fields in rest[vertex_count:vertex_count + face_count]:
        try:
            size = int(fields[0])
            corners = [int(x) for x in fields[1:1 + size]]
        except ValueError:
            fail(f"{path}, line {number}: bad face")
        if size < 3 or len(corners) != size or min(corners) < 0 or max(corners) >= vertex_count:
            fail(f"{path}, line {number}: a face needs at least 3 vertex indices in 0..{vertex_count - 1}")
        triangles += [(corners[0], corners[i], corners[i + 1]) for i in range(1, size - 1)]
    return vertices, np.array(triangles, dtype=np.int64)


def sample_surface(vertices, triangles, count, rng):
    """count points uniform on the surface, and the surface area."""
    a, b, c = (vertices[triangles[:, i]] for i in range(3))
    areas = 0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1)
    area = float(areas.sum())
    if not area > 0.0:
        fail("the mesh has zero area")
    chosen = rng.choice(len(triangles), size=count, p=areas / area)
    # Uniform on a triangle: with r1, r2 uniform, weights (1 - sqrt(r1), sqrt(r1) (1 - r2), sqrt(r1) r2).
    root = np.sqrt(rng.random(count))[:, None]
    r2 = rng.random(count)[:, None]
    points = (1.0 - root) * a[chosen] + root * (1.0 - r2) * b[chosen] + root * r2 * c[chosen]
    return points, area


def write_xyz(path, points):
    try:
        np.savetxt(path, points, fmt="%.9g", delimiter=" ")
    except OSError as e:
        fail(f"cannot write {path}: {e}")


def main():
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mesh", help="triangle mesh, OFF format (e.g. data/bunny.off)")
    parser.add_argument("count", type=int, help="number of points N")
    parser.add_argument("noisy", help="output: the noisy points (.xyz)")
    parser.add_argument("clean", help="output: the same points before the noise (.xyz)")
    parser.add_argument("--noise", type=float, default=0.01,
                        help="noise standard deviation as a fraction of the bounding-box diagonal (default 0.01)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    args = parser.parse_args()
    if args.count < 1:
        parser.error("count must be at least 1")
    if not (np.isfinite(args.noise) and args.noise >= 0.0):
        parser.error("--noise must be a finite number >= 0")

    vertices, triangles = read_off(args.mesh)
    diagonal = float(np.linalg.norm(vertices.max(axis=0) - vertices.min(axis=0)))
    sigma = args.noise * diagonal
    rng = np.random.default_rng(args.seed)
    clean, area = sample_surface(vertices, triangles, args.count, rng)
    noisy = clean + rng.normal(0.0, sigma, size=clean.shape)
    write_xyz(args.clean, clean)
    write_xyz(args.noisy, noisy)
    print(f"points {args.count}  area {area:.6g}  density {args.count / area:.6g}  sigma {sigma:.6g}")


if __name__ == "__main__":
    main()

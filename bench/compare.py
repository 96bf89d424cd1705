#!/usr/bin/python3
"""Compares the filter's accuracy and CPU time with classic point-cloud smoothers."""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

DESCRIPTION = """\
Makes noisy clouds of shapes whose true surface is known (a unit sphere, a square with a smooth
bump, the surface of a cube with sharp edges, and the bunny mesh data/bunny.off through
bench/make_cloud.py), POINTS points each, with Gaussian noise of standard deviation
sigma = LEVEL / sqrt(density) on every coordinate for two levels (0.75, as in the bundled sample
scan, and 1.5: the noise is 1.5 times the point spacing). Each cloud is filtered by

  vandrel          build/vandrel with the true --sigma and --density, and with both estimated
  CGAL jet         build/bench/jet_smooth, K nearest neighbours over a grid
  CGAL bilateral   build/bench/bilateral_smooth (jet normals, MST orientation, sharpness 25,
                   3 iterations), K over a grid
  PCL MLS          pcl_mls_smoothing (Debian pcl-tools), degree 2, search radius over a grid
                   (in units of the spacing 1 / sqrt(density))

and scored by the mean distance of the filtered points to the true surface (exact distances: to
the sphere, the cube, the bump's height field, the mesh's triangles), divided by sigma: the noisy
input scores about 0.8. Every program runs on one thread; its CPU time is the process's user +
system time (file reading and writing included). Peers missing from the build or the system are
left out. Prints a Markdown table: for each peer and cloud its best score over the grid, with the
parameter that gave it (marked * when it is the largest of the grid), then its scores with the one
grid value that is best on average over all the clouds; and the mean CPU time per cloud. Results are kept in
WORK/results_POINTS_SEED.json, so a second run only computes what is missing (--fresh
forgets them).
"""

ROOT = Path(__file__).resolve().parent.parent
NOISE_LEVELS = (0.75, 1.5)
SHAPES = ("sphere", "bump", "cube", "bunny")
JET_K = (24, 48, 96, 192, 384, 768)
BILATERAL_K = (12, 24, 48, 96, 192)
MLS_RADIUS = (3, 4, 5, 6, 8, 12, 16, 24)
# The largest value of each grid: a best found there is marked, since a larger one might do better still.
GRID_ENDS = {"CGAL jet smoothing": f"k {JET_K[-1]}", "CGAL bilateral smoothing": f"k {BILATERAL_K[-1]}",
             "PCL MLS": f"r {MLS_RADIUS[-1]}h"}
BUMP_HEIGHT = 0.25
BUMP_WIDTH = 0.25


def fail(message):
    print(f"compare: {message}", file=sys.stderr)
    sys.exit(1)


# ---- shapes: sampling and exact distance to the true surface ----

def sample_sphere(count, rng):
    points = rng.normal(size=(count, 3))
    return points / np.linalg.norm(points, axis=1, keepdims=True), 4.0 * np.pi


def distance_sphere(points):
    return np.abs(np.linalg.norm(points, axis=1) - 1.0)


def bump(u, v):
    """Height, first and second derivatives of z = h exp(-(u^2 + v^2) / (2 w^2)) over [-1, 1]^2."""
    w2 = BUMP_WIDTH ** 2
    f = BUMP_HEIGHT * np.exp(-(u * u + v * v) / (2.0 * w2))
    fu, fv = -u / w2 * f, -v / w2 * f
    fuu = (u * u / w2 - 1.0) / w2 * f
    fvv = (v * v / w2 - 1.0) / w2 * f
    fuv = u * v / (w2 * w2) * f
    return f, fu, fv, fuu, fvv, fuv


def sample_bump(count, rng):
    # Uniform on the surface: uniform (u, v) accepted with probability dA / max dA.
    grid = np.linspace(-1.0, 1.0, 801)
    _, fu, fv, *_ = bump(*np.meshgrid(grid, grid))
    area_element = np.sqrt(1.0 + fu * fu + fv * fv)
    area = float(area_element.mean() * 4.0)
    peak = float(area_element.max()) * 1.01
    chosen = np.empty((0, 2))
    while len(chosen) < count:
        uv = rng.uniform(-1.0, 1.0, size=(2 * count, 2))
        _, fu, fv, *_ = bump(uv[:, 0], uv[:, 1])
        keep = rng.random(len(uv)) * peak < np.sqrt(1.0 + fu * fu + fv * fv)
        chosen = np.vstack([chosen, uv[keep]])
    u, v = chosen[:count, 0], chosen[:count, 1]
    return np.column_stack([u, v, bump(u, v)[0]]), area


def distance_bump(points):
    """Distance to the height field over [-1, 1]^2: Newton's method on the squared distance from (x, y)."""
    x, y, z = points.T
    u, v = x.copy(), y.copy()
    for _ in range(40):
        f, fu, fv, fuu, fvv, fuv = bump(u, v)
        r = f - z
        gu, gv = (u - x) + r * fu, (v - y) + r * fv
        huu, hvv, huv = 1.0 + fu * fu + r * fuu, 1.0 + fv * fv + r * fvv, fu * fv + r * fuv
        det = huu * hvv - huv * huv
        # Where the full Hessian is not positive definite, fall back to the Gauss-Newton one.
        bad = (det <= 1e-12) | (huu <= 0.0)
        huu, hvv, huv = np.where(bad, 1.0 + fu * fu, huu), np.where(bad, 1.0 + fv * fv, hvv), np.where(bad, fu * fv, huv)
        det = huu * hvv - huv * huv
        u = np.clip(u - (hvv * gu - huv * gv) / det, -1.0, 1.0)
        v = np.clip(v - (huu * gv - huv * gu) / det, -1.0, 1.0)
    f = bump(u, v)[0]
    return np.sqrt((u - x) ** 2 + (v - y) ** 2 + (f - z) ** 2)


def sample_cube(count, rng):
    face = rng.integers(0, 6, size=count)
    points = rng.uniform(-1.0, 1.0, size=(count, 3))
    axis = face % 3
    points[np.arange(count), axis] = np.where(face < 3, -1.0, 1.0)
    return points, 24.0


def distance_cube(points):
    q = np.abs(points) - 1.0
    outside = np.linalg.norm(np.maximum(q, 0.0), axis=1)
    return np.where(np.any(q > 0.0, axis=1), outside, -q.max(axis=1))


def read_off_triangles(path):
    sys.path.insert(0, str(ROOT / "bench"))
    from make_cloud import read_off  # noqa: E402 (the sampler's own reader)
    vertices, triangles = read_off(path)
    return vertices[triangles]  # m x 3 corners x 3


def point_triangle_distance(p, a, b, c):
    """Distances from points p (n x 3) to triangles (a, b, c) (n x 3 each), by Voronoi regions of the triangle."""
    ab, ac, ap = b - a, c - a, p - a
    d1, d2 = np.einsum("ij,ij->i", ab, ap), np.einsum("ij,ij->i", ac, ap)
    bp = p - b
    d3, d4 = np.einsum("ij,ij->i", ab, bp), np.einsum("ij,ij->i", ac, bp)
    cp = p - c
    d5, d6 = np.einsum("ij,ij->i", ab, cp), np.einsum("ij,ij->i", ac, cp)
    va, vb, vc = d3 * d6 - d5 * d4, d5 * d2 - d1 * d6, d1 * d4 - d3 * d2
    with np.errstate(divide="ignore", invalid="ignore"):
        denominator = va + vb + vc
        v, w = vb / denominator, vc / denominator
        closest = a + ab * v[:, None] + ac * w[:, None]  # inside the face
        t_ab, t_ac = d1 / (d1 - d3), d2 / (d2 - d6)
        t_bc = (d4 - d3) / ((d4 - d3) + (d5 - d6))
    regions = [  # checked last to first: a later match overrides an earlier one
        ((va <= 0) & (d4 - d3 >= 0) & (d5 - d6 >= 0), b + (c - b) * t_bc[:, None]),
        ((vb <= 0) & (d2 >= 0) & (d6 <= 0), a + ac * t_ac[:, None]),
        ((vc <= 0) & (d1 >= 0) & (d3 <= 0), a + ab * t_ab[:, None]),
        ((d6 >= 0) & (d5 <= d6), c),
        ((d3 >= 0) & (d4 <= d3), b),
        ((d1 <= 0) & (d2 <= 0), a),
    ]
    for mask, point in regions:
        closest = np.where(mask[:, None], point, closest)
    return np.linalg.norm(p - closest, axis=1)


def distance_mesh(points, triangles, candidates=48):
    """Distance to a triangle mesh: exact distances to the triangles whose centroids are nearest."""
    centroids = triangles.mean(axis=1)
    result = np.empty(len(points))
    for start in range(0, len(points), 2000):
        chunk = points[start:start + 2000]
        squared = ((chunk[:, None, :] - centroids[None, :, :]) ** 2).sum(axis=2)
        nearest = np.argpartition(squared, candidates, axis=1)[:, :candidates]
        corners = triangles[nearest]  # chunk x candidates x 3 x 3
        repeated = np.repeat(chunk, candidates, axis=0)
        d = point_triangle_distance(repeated, *(corners[:, :, i, :].reshape(-1, 3) for i in range(3)))
        result[start:start + 2000] = d.reshape(len(chunk), candidates).min(axis=1)
    return result


# ---- clouds ----

def write_xyz(path, points):
    np.savetxt(path, points, fmt="%.9g")


def make_cloud(shape, level, count, seed, work):
    """Writes the noisy cloud; returns its file, sigma and density."""
    stem = f"{shape}_{level}_{count}_{seed}"
    noisy, params = work / f"{stem}.xyz", work / f"{stem}.json"
    if noisy.exists() and params.exists():
        saved = json.loads(params.read_text())
        return noisy, saved["sigma"], saved["density"]
    if shape == "bunny":
        mesh_area = 0.880786  # data/bunny.off, bounding-box diagonal 1 (data/README.md)
        sigma = level / np.sqrt(count / mesh_area)
        out = subprocess.run([sys.executable, str(ROOT / "bench/make_cloud.py"), "--noise", repr(sigma), "--seed",
                              str(seed), str(ROOT / "data/bunny.off"), str(count), str(noisy),
                              str(work / f"{stem}_clean.xyz")], check=True, capture_output=True, text=True)
        fields = out.stdout.split()
        density, sigma = float(fields[fields.index("density") + 1]), float(fields[fields.index("sigma") + 1])
    else:
        rng = np.random.default_rng([seed, SHAPES.index(shape), int(level * 100)])
        clean, area = {"sphere": sample_sphere, "bump": sample_bump, "cube": sample_cube}[shape](count, rng)
        density = count / area
        sigma = level / np.sqrt(density)
        write_xyz(noisy, clean + rng.normal(0.0, sigma, size=clean.shape))
    params.write_text(json.dumps({"sigma": sigma, "density": density}))
    return noisy, sigma, density


# ---- methods ----

def cpu_run(command, env):
    """Runs a command; returns its user + system CPU seconds, or raises with its error output."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))} failed ({done.returncode}): {done.stderr.strip()[-400:]}")
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def write_pcd(path, points):
    header = ("# .PCD v0.7\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
              f"WIDTH {len(points)}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS {len(points)}\nDATA ascii")
    np.savetxt(path, points, fmt="%.9g", header=header, comments="")


def read_ascii_pcd_xyz(path):
    with open(path, encoding="ascii") as f:
        header = {}
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            header[fields[0]] = fields[1:]
            if fields[0] == "DATA":
                break
        if header.get("DATA") != ["ascii"] or any(c != "1" for c in header["COUNT"]):
            fail(f"{path}: expected an ascii PCD file with COUNT 1 fields")
        names = [name for name in header["FIELDS"] if name != "_"]
        columns = [names.index(axis) for axis in "xyz"]
        return np.loadtxt(f, usecols=columns, ndmin=2)


def method_runs(build, sigma, density):
    """(method, parameter label, runner) for every run the system can do; a runner takes (noisy, out, env)."""
    runs = []
    vandrel = build / "vandrel"
    if vandrel.exists():
        given = ["--sigma", repr(sigma), "--density", repr(density)]
        for label, extra in (("given", given), ("estimated", [])):
            def run(noisy, out, env, extra=extra):
                return cpu_run([vandrel, noisy, out, "--threads", "1", "--quiet", *extra], env), out
            runs.append((f"vandrel, sigma and density {label}", "-", run))
    jet = build / "bench/jet_smooth"
    if jet.exists():
        for k in JET_K:
            runs.append(("CGAL jet smoothing", f"k {k}",
                         lambda noisy, out, env, k=k: (cpu_run([jet, noisy, out, str(k)], env), out)))
    bilateral = build / "bench/bilateral_smooth"
    if bilateral.exists():
        for k in BILATERAL_K:
            runs.append(("CGAL bilateral smoothing", f"k {k}",
                         lambda noisy, out, env, k=k: (cpu_run([bilateral, noisy, out, str(k)], env), out)))
    mls = shutil.which("pcl_mls_smoothing")
    convert = shutil.which("pcl_convert_pcd_ascii_binary")
    if mls and convert:
        for spacings in MLS_RADIUS:
            radius = spacings / np.sqrt(density)

            def run(noisy, out, env, radius=radius):
                pcd_in, pcd_out, pcd_ascii = out.with_suffix(".in.pcd"), out.with_suffix(".pcd"), out.with_suffix(".ascii.pcd")
                write_pcd(pcd_in, np.loadtxt(noisy))
                cpu = cpu_run([mls, pcd_in, pcd_out, "-radius", repr(radius), "-polynomial_order", "2"], env)
                subprocess.run([convert, pcd_out, pcd_ascii, "0"], check=True, capture_output=True)
                write_xyz(out, read_ascii_pcd_xyz(pcd_ascii))
                for f in (pcd_in, pcd_out, pcd_ascii):
                    f.unlink()
                return cpu, out
            runs.append(("PCL MLS", f"r {spacings}h", run))
    return runs


# ---- table ----

def markdown_table(results, clouds):
    """Per method: its best run on every cloud; for the peers also the one grid value best on average."""
    methods = list(dict.fromkeys(r["method"] for r in results))
    header = ["method"] + [f"{shape} {level}" for shape, level in clouds] + ["CPU s per cloud"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    noisy = {(r["shape"], r["level"]): r["input_error"] for r in results}
    lines.append("| noisy input | " + " | ".join(f"{noisy[c]:.2f}" if c in noisy else "" for c in clouds) + " | |")

    def runs_of(method, cloud, parameter=None):
        return [r for r in results if r["method"] == method and (r["shape"], r["level"]) == cloud
                and parameter in (None, r["parameter"])]

    for method in methods:
        cells, cpu = [], []
        for cloud in clouds:
            runs = runs_of(method, cloud)
            if not runs:
                cells.append("")
                continue
            best = min(runs, key=lambda r: r["error"])
            cpu.append(best["cpu_s"])
            parameter = best["parameter"]
            marker = "*" if GRID_ENDS.get(method) == parameter else ""
            cells.append(f"{best['error']:.2f}" + ("" if parameter == "-" else f" ({parameter}{marker})"))
        if method not in GRID_ENDS:
            lines.append(f"| {method} | " + " | ".join(cells) + f" | {np.mean(cpu):.1f} |")
            continue
        lines.append(f"| {method}, best per cloud | " + " | ".join(cells) + f" | {np.mean(cpu):.1f} |")
        # The setting a user would keep for every cloud: the grid value with the lowest mean error
        # over the clouds it ran on all of.
        parameters = list(dict.fromkeys(r["parameter"] for r in results if r["method"] == method))
        complete = [p for p in parameters if all(len(runs_of(method, c, p)) == 1 for c in clouds)]
        if not complete:
            continue
        chosen = min(complete, key=lambda p: np.mean([runs_of(method, c, p)[0]["error"] for c in clouds]))
        chosen_runs = [runs_of(method, c, chosen)[0] for c in clouds]
        lines.append(f"| {method}, {chosen} everywhere | " + " | ".join(f"{r['error']:.2f}" for r in chosen_runs) +
                     f" | {np.mean([r['cpu_s'] for r in chosen_runs]):.1f} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"), help="the CMake build directory (default build/)")
    parser.add_argument("--work", default="/tmp/vandrel-compare", help="clouds, outputs and results (default %(default)s)")
    parser.add_argument("--points", type=int, default=20000, help="points per cloud (default 20000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated subset of " + ",".join(SHAPES))
    parser.add_argument("--fresh", action="store_true", help="forget earlier results in WORK")
    args = parser.parse_args()
    shapes = args.shapes.split(",")
    if any(s not in SHAPES for s in shapes):
        parser.error(f"--shapes: choose among {','.join(SHAPES)}")
    if args.points < 100:
        parser.error("--points must be at least 100")

    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    store = work / f"results_{args.points}_{args.seed}.json"
    if args.fresh and store.exists():
        store.unlink()
    results = json.loads(store.read_text()) if store.exists() else []
    done = {(r["method"], r["parameter"], r["shape"], r["level"]) for r in results}
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    triangles = read_off_triangles(ROOT / "data/bunny.off")
    distance = {"sphere": distance_sphere, "bump": distance_bump, "cube": distance_cube,
                "bunny": lambda p: distance_mesh(p, triangles)}

    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f} {os.getloadavg()[1]:.1f}", file=sys.stderr)
    clouds = [(shape, level) for shape in shapes for level in NOISE_LEVELS]
    for shape, level in clouds:
        noisy, sigma, density = make_cloud(shape, level, args.points, args.seed, work)
        input_error = float(distance[shape](np.loadtxt(noisy)).mean() / sigma)
        for method, parameter, run in method_runs(Path(args.build), sigma, density):
            if (method, parameter, shape, level) in done:
                continue
            started = time.monotonic()
            try:
                cpu_s, out = run(noisy, work / "out.xyz", env)
            except (RuntimeError, subprocess.CalledProcessError) as e:
                print(f"compare: {shape} {level} {method} {parameter}: {e}", file=sys.stderr)
                continue
            filtered = np.loadtxt(out, ndmin=2)
            error = float(distance[shape](filtered).mean() / sigma)
            if len(filtered) != args.points:
                print(f"compare: {method} {parameter} returned {len(filtered)} of {args.points} points", file=sys.stderr)
            results.append({"method": method, "parameter": parameter, "shape": shape, "level": level,
                            "error": error, "cpu_s": cpu_s, "input_error": input_error, "points": len(filtered)})
            store.write_text(json.dumps(results, indent=1))
            print(f"{shape} {level} {method} {parameter}: error {error:.3f} sigma, cpu {cpu_s:.2f} s, "
                  f"wall {time.monotonic() - started:.1f} s, load {os.getloadavg()[0]:.1f}", file=sys.stderr)
    print(markdown_table([r for r in results if r["shape"] in shapes], clouds))


if __name__ == "__main__":
    main()

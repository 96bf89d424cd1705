#!/usr/bin/env python3
"""The shared real scans filtered as a user would first run them, `vandrel IN OUT` with nothing
else, measured by proxies a user would trust (there is no ground truth), against the input and
against other choices of what to filter.

Airborne LiDAR (LAS):
- ground cell RMS: the class 2 points cut into 10-unit cells (feet here); each cell of 10 points or
  more is fitted a plane (least squares, orthogonal) and the pooled RMS distance from the planes is
  given; the same rows are measured before and after.
- bridge deck RMS: the deck's points (found in the input: within 7 units of the bridge's axis, over
  the river, within 1 unit of a line fitted along it), cut into 10-unit lengths along the axis, each
  fitted a plane; pooled RMS as above.
- other points moved: how far the points neither in a ground cell nor on the deck moved (trees,
  houses, water, isolated returns), 95th percentile and largest, in units of the input's ground cell
  RMS: detail smoothed away shows there.
Depth cameras (organised PCD), on the 640 x 480 grid cut into 16 x 16 windows (as bench/range_noise.py):
- near / far flat RMS: the flatter half of the windows in the nearest 30 % / farthest 15 % of the points
  by range, each measured by the RMS distance from its plane (median over the windows);
- near detail moved: the 95th percentile of how far the near band's other points (objects, edges)
  moved, in units of the near flat windows' own RMS in the input (their noise): smoothing near
  detail at a larger scale moves them several times their noise.
A run must not make a proxy worse than the input, and a move of the near detail above 3 times the
noise counts as detail smoothed away.

With --pictures DIR, side views of a thin slice of each scan before and after the default run are
written as PNG (matplotlib, for the benchmark only).

    PYTHONPATH=build/python /usr/bin/python3 bench/real_scans.py [--build DIR] [--scratch DIR] [--pictures DIR]
        [--alternatives]

--alternatives also runs the choices weighed for the defaults (the binding, build/python, estimates
the single sigma of the depth images).

--sweep runs each depth image with single sigmas over a grid (at the default's density) and picks
the best single sigma two ways: the one whose far flat RMS is lowest among those that move the near
detail no more than the default does, and the one whose near and far flat RMS add up to the least
(whatever it does to the detail); the default is shown against both.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import time

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from pcd_points import read_pcd  # noqa: E402

data = os.environ.get("VANDREL_REAL_SCANS", os.path.join(here, "..", "data", "real"))


def read_las(path):
    """x, y, z (float64, scaled) and the classification of a LAS file of point format 0 to 3."""
    raw = open(path, "rb").read()
    offset = struct.unpack_from("<I", raw, 96)[0]
    record = struct.unpack_from("<H", raw, 105)[0]
    n = struct.unpack_from("<I", raw, 107)[0]
    scale = np.array(struct.unpack_from("<3d", raw, 131))
    shift = np.array(struct.unpack_from("<3d", raw, 155))
    dtype = np.dtype({"names": ["X", "Y", "Z", "cls"], "formats": ["<i4", "<i4", "<i4", "u1"],
                      "offsets": [0, 4, 8, 15], "itemsize": record})
    rec = np.frombuffer(raw, dtype, count=n, offset=offset)
    xyz = np.column_stack([rec["X"] * scale[0] + shift[0], rec["Y"] * scale[1] + shift[1],
                           rec["Z"] * scale[2] + shift[2]])
    return xyz, rec["cls"] & 31


def run(build, args):
    started = time.time()
    done = subprocess.run([os.path.join(build, "vandrel"), *args], capture_output=True, text=True)
    return done.returncode, done.stderr, time.time() - started


def plane_rms2(points):
    """Sum of squared orthogonal distances from the least-squares plane, and the count."""
    p = points - points.mean(axis=0)
    _, s, _ = np.linalg.svd(p, full_matrices=False)
    return float(s[-1] ** 2), len(points)


def pooled_rms(points, groups):
    total = count = 0.0
    for rows in groups:
        s, m = plane_rms2(points[rows])
        total += s
        count += m
    return float(np.sqrt(total / count)) if count else float("nan")


def cells_of(xy, rows, size=10.0, least=10):
    keys = np.floor(xy[rows] / size).astype(np.int64)
    _, inverse, counts = np.unique(keys, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.ravel()
    order = np.argsort(inverse, kind="stable")
    bounds = np.cumsum(counts)[:-1]
    return [rows[g] for g in np.split(order, bounds) if len(g) >= least]


class Lidar:
    """Proxies of an airborne LiDAR scan: ground cells, the bridge deck, everything else."""

    def __init__(self, path, xyz, classes):
        self.input = xyz
        ground = np.flatnonzero(classes == 2)
        self.ground = cells_of(xyz[:, :2], ground)
        self.deck = self.find_deck(xyz)
        used = np.zeros(len(xyz), bool)
        for rows in self.ground + self.deck:
            used[rows] = True
        self.others = np.flatnonzero(~used)
        self.unit = pooled_rms(xyz, self.ground)

    @staticmethod
    def find_deck(xyz):
        # The bridge crosses the river as a ramp of points well above the water: its axis is the
        # principal direction of the points over the river at deck height.
        over = (xyz[:, 1] > 849300) & (xyz[:, 2] > 432) & (xyz[:, 2] < 446) & (xyz[:, 0] > 636440) & (xyz[:, 0] < 636560)
        if over.sum() < 100:
            return []
        centre = xyz[over, :2].mean(axis=0)
        _, _, vt = np.linalg.svd(xyz[over, :2] - centre, full_matrices=False)
        along = (xyz[:, :2] - centre) @ vt[0]
        across = (xyz[:, :2] - centre) @ vt[1]
        near = np.flatnonzero((np.abs(across) < 7) & (along > -65) & (along < 85))
        fit = np.polyfit(along[near], xyz[near, 2], 2)
        for _ in range(3):  # railings, lamp posts and the water below are left out
            keep = near[np.abs(xyz[near, 2] - np.polyval(fit, along[near])) < 1.0]
            fit = np.polyfit(along[keep], xyz[keep, 2], 2)
        keys = np.floor(along[keep] / 10.0).astype(np.int64)
        return [keep[keys == k] for k in np.unique(keys) if (keys == k).sum() >= 10]

    def measure(self, out):
        move = np.linalg.norm(out[self.others] - self.input[self.others], axis=1) / self.unit
        return {"ground cell RMS": pooled_rms(out, self.ground), "bridge deck RMS": pooled_rms(out, self.deck),
                "others moved p95 (x ground RMS)": float(np.percentile(move, 95)),
                "others moved max (x ground RMS)": float(move.max())}


def write_pcd(path, points, width=None, height=1, viewpoint="0 0 0 1 0 0 0"):
    """points (N x 3 float32) as a binary PCD file, a list (HEIGHT 1) unless width and height say a grid."""
    width = len(points) if width is None else width
    with open(path, "wb") as f:
        f.write(f"VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH {width}\nHEIGHT {height}\n"
                f"VIEWPOINT {viewpoint}\nPOINTS {len(points)}\nDATA binary\n".encode("ascii"))
        f.write(np.ascontiguousarray(points, dtype="<f4").tobytes())


def window_rms(points, rows):
    return float(np.sqrt(plane_rms2(points[rows].astype(np.float64))[0] / len(rows)))


class DepthCamera:
    """Proxies of an organised depth-camera scan: near and far flat windows, near detail."""

    def __init__(self, path, points, header, size=16):
        self.input = points
        width, height = int(header["WIDTH"][0]), int(header["HEIGHT"][0])
        viewpoint = np.array([float(v) for v in header.get("VIEWPOINT", ["0"] * 7)[:3]])
        finite = np.isfinite(points).all(axis=1)
        rows = np.flatnonzero(finite)
        ranges = np.full(len(points), np.nan)
        ranges[rows] = np.linalg.norm(points[rows].astype(np.float64) - viewpoint, axis=1)
        grid = np.arange(width * height).reshape(height, width)
        windows = []
        for i in range(0, height - size + 1, size):
            for j in range(0, width - size + 1, size):
                w = grid[i:i + size, j:j + size].ravel()
                w = w[finite[w]]
                if len(w) >= 0.8 * size * size:
                    windows.append(w)
        base = np.array([window_rms(points, w) for w in windows])
        near_cut, far_cut = np.percentile(ranges[rows], [30, 85])
        self.bands = {}
        for name, lo, hi in (("near", 0.0, near_cut), ("far", far_cut, np.inf)):
            inside = np.array([np.mean((ranges[w] >= lo) & (ranges[w] <= hi)) >= 0.8 for w in windows])
            flat = inside & (base <= np.median(base[inside]))
            self.bands[name] = [windows[k] for k in np.flatnonzero(flat)]
        flat_rows = np.concatenate(self.bands["near"])
        near_rows = rows[ranges[rows] <= near_cut]
        self.detail = np.setdiff1d(near_rows, flat_rows)
        self.noise = float(np.median([window_rms(points, w) for w in self.bands["near"]]))

    def measure(self, out):
        move = np.linalg.norm(out[self.detail].astype(np.float64) - self.input[self.detail], axis=1)
        return {"near flat RMS (mm)": 1e3 * float(np.median([window_rms(out, w) for w in self.bands["near"]])),
                "far flat RMS (mm)": 1e3 * float(np.median([window_rms(out, w) for w in self.bands["far"]])),
                "near detail moved p95 (x near noise)": float(np.percentile(move, 95)) / self.noise}


def lidar_slices(xyz):
    """Two slices 3 units thick: along the bridge deck (along, z) and across ground and trees
    south of the river (x, z)."""
    centre = np.array([636499.2, 849381.0])
    axis = np.array([-0.3522, -0.9359])
    along = (xyz[:, :2] - centre) @ axis
    across = (xyz[:, :2] - centre) @ np.array([-axis[1], axis[0]])
    deck = np.flatnonzero((np.abs(across) < 1.5) & (along > -60) & (along < 80) & (xyz[:, 2] > 430))
    ground = np.flatnonzero((np.abs(xyz[:, 1] - 849100) < 1.5) & (xyz[:, 0] > 636600) & (xyz[:, 0] < 636800))
    return [("bridge deck, along it (ft)", deck, lambda p, r: (((p[r, :2] - centre) @ axis), p[r, 2])),
            ("ground and trees, x - 636600 (ft)", ground, lambda p, r: (p[r, 0] - 636600, p[r, 2]))]


def depth_slices(points, width=640, thickness=3):
    """Two slices of image rows seen from above (x, z): the rows of the image where the near band
    (nearest 30 % by range) and where the far band (farthest 15 %) hold the most points."""
    finite = np.isfinite(points).all(axis=1)
    ranges = np.where(finite, np.linalg.norm(np.nan_to_num(points.astype(np.float64)), axis=1), np.nan)
    near_cut, far_cut = np.nanpercentile(ranges, [30, 85])
    slices = []
    for name, inside in (("near", ranges <= near_cut), ("far", ranges >= far_cut)):
        per_row = inside.reshape(-1, width).sum(axis=1)
        row = int(np.argmax(per_row))
        rows = np.arange(row * width, (row + thickness) * width)
        rows = rows[inside[rows]]
        slices.append((f"{name}: image rows {row}-{row + thickness - 1} from above, x (m)", rows,
                       lambda p, r: (p[r, 0], p[r, 2])))
    return slices


def picture(path, title, before, after, slices, units):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(2, len(slices), figsize=(14, 7))
    for k, (name, rows, view) in enumerate(slices):
        for j, (points, label) in enumerate(((before, "input"), (after, "vandrel IN OUT"))):
            u, v = view(points, rows)
            ax = axes[j, k]
            ax.scatter(u, v, s=0.4, c="k", linewidths=0)
            ax.set_title(f"{title}, {label}", fontsize=9)
            ax.set_xlabel(name, fontsize=8)
            ax.set_ylabel(units, fontsize=8)
        lo, hi = np.nanpercentile(view(before, rows)[1], [0.5, 99.5])
        for j in range(2):
            axes[j, k].set_ylim(lo - 0.05 * (hi - lo), hi + 0.05 * (hi - lo))
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def table(name, proxies, results):
    keys = list(proxies.measure(proxies.input).keys())
    print(f"\n{name}\n| run | " + " | ".join(keys) + " | exit | wall s |")
    print("| --- |" + " --- |" * (len(keys) + 2))
    for label, values, code, seconds in results:
        cells = [f"{values[k]:.4f}" if values else "-" for k in keys]
        print(f"| {label} | " + " | ".join(cells) + f" | {code} | {seconds:.1f} |")


def write_las(path, xyz, classes, returns, counts, lines, scale=0.001):
    """A LAS 1.2 file of point format 1: x, y, z, return number and count, class, flight line."""
    n = len(xyz)
    shift = np.floor(xyz.min(axis=0))
    header = bytearray(227)
    header[0:4] = b"LASF"
    header[24:26] = bytes([1, 2])
    struct.pack_into("<HIIBHI", header, 94, 227, 227, 0, 1, 28, n)
    struct.pack_into("<3d3d", header, 131, scale, scale, scale, *shift)
    integers = np.round((xyz - shift) / scale).astype(np.int32)
    stored = integers * scale + shift
    for axis in range(3):
        struct.pack_into("<2d", header, 179 + 16 * axis, stored[:, axis].max(), stored[:, axis].min())
    record = np.zeros(n, np.dtype({"names": ["X", "Y", "Z", "flags", "cls", "psid"],
                                   "formats": ["<i4", "<i4", "<i4", "u1", "u1", "<u2"],
                                   "offsets": [0, 4, 8, 14, 15, 18], "itemsize": 28}))
    record["X"], record["Y"], record["Z"] = integers[:, 0], integers[:, 1], integers[:, 2]
    record["flags"] = returns | (counts << 3)
    record["cls"] = classes
    record["psid"] = lines
    with open(path, "wb") as f:
        f.write(bytes(header) + record.tobytes())


def forest(args, seed=7):
    """A synthetic airborne scan with known ground: ground z = 0.02 x with noise 0.1, 2 points per unit
    area on 120 x 120 (class 2, single returns), in two flight lines 5 cm apart (each over 3/4 of the
    area), under a canopy 3 to 15 units up over half of the area, as many points as the ground's there,
    left unclassified (class 1) as many files do: two of three canopy points the first of two returns."""
    rng = np.random.default_rng(seed)
    side, n = 120.0, int(2 * 120 * 120)
    line = (rng.uniform(size=n) < 0.5).astype(np.uint16) + 1
    x = np.where(line == 1, rng.uniform(0, 90, n), rng.uniform(30, 120, n))
    y = rng.uniform(0, side, n)
    ground = np.column_stack([x, y, 0.02 * x + 0.05 * (line == 2) + rng.normal(0, 0.1, n)])
    canopy = np.column_stack([rng.uniform(0, side, n), rng.uniform(0, side, n), rng.uniform(3, 15, n)])
    canopy = canopy[(canopy[:, 0] // 20 + canopy[:, 1] // 20) % 2 == 0]
    canopy[:, 2] += 0.02 * canopy[:, 0]
    m = len(canopy)
    xyz = np.vstack([ground, canopy])
    classes = np.concatenate([np.full(n, 2, np.uint8), np.full(m, 1, np.uint8)])
    last = np.arange(m) % 3 == 0
    returns = np.concatenate([np.ones(n, np.uint8), np.where(last, 2, 1).astype(np.uint8)])
    counts = np.concatenate([np.ones(n, np.uint8), np.full(m, 2, np.uint8)])
    lines = np.concatenate([line, rng.integers(1, 3, m).astype(np.uint16)])
    path = os.path.join(args.scratch, "forest.las")
    write_las(path, xyz, classes, returns, counts, lines)
    stored = read_las(path)[0]

    def measure(out):
        h = out[:n, 2] - 0.02 * out[:n, 0] - 0.05 * (line == 2)
        move = np.linalg.norm(out[n:] - stored[n:], axis=1)
        return {"ground RMS about the truth": float(np.sqrt(np.mean(h ** 2))),
                "canopy moved p95": float(np.percentile(move, 95)), "canopy moved max": float(move.max())}

    print(f"\nforest analogue ({n} ground points, {m} canopy points)\n| run | ground RMS about the truth | canopy moved p95 | "
          "canopy moved max | exit | wall s |\n| --- | --- | --- | --- | --- | --- |")
    print("| input | " + " | ".join(f"{v:.4f}" for v in measure(stored).values()) + " | 0 | |")
    for label, extra in (("default", []), ("--returns all (every point, the default before)", ["--returns", "all"])):
        out = os.path.join(args.scratch, "forest_out.las")
        code, log, seconds = run(args.build, [path, out, *extra])
        print(f"[{label}] " + " / ".join(line for line in log.splitlines() if line.startswith(("Estimated", "Filter", "Moved", "vandrel"))))
        values = measure(read_las(out)[0]) if code == 0 else {}
        print(f"| {label} | " + " | ".join(f"{v:.4f}" for v in values.values()) + f" | {code} | {seconds:.1f} |")


SWEEP_SIGMAS_MM = (0.15, 0.2, 0.3, 0.4, 0.5, 0.6, 0.8, 1.0, 1.3, 1.7, 2.2, 3.0)


def small_files(args, tiles=6, size=1000, seed=1):
    """Small LiDAR files: tiles of `size` points cut from autzen_trim.las around points of pulses with
    several returns (trees), each holding a few hundred ground points or fewer, run as `vandrel IN OUT`
    and as a tile with too little ground to be estimated from was run before (its last returns, with
    their own estimates, made here by the Python binding)."""
    import vandrel
    path = os.path.join(data, "autzen_trim.las")
    raw = open(path, "rb").read()
    offset = struct.unpack_from("<I", raw, 96)[0]
    record = struct.unpack_from("<H", raw, 105)[0]
    n = struct.unpack_from("<I", raw, 107)[0]
    records = np.frombuffer(raw, np.uint8, count=n * record, offset=offset).reshape(n, record)
    xyz, classes = read_las(path)
    returns, count = records[:, 14] & 7, (records[:, 14] >> 3) & 7
    rng = np.random.default_rng(seed)
    print("| tile | ground points | sigma: ground / last returns | ground cell RMS: input / default / before "
          "| points moved p95, max: default / before |")
    print("| --- | --- | --- | --- | --- |")
    for t in range(tiles):
        centre = xyz[rng.choice(np.flatnonzero(count >= 2))]
        rows = np.sort(np.argsort(np.hypot(*(xyz[:, :2] - centre[:2]).T))[:size])
        tile = os.path.join(args.scratch, f"tile{t}.las")
        header = bytearray(raw[:offset])
        struct.pack_into("<I", header, 107, len(rows))
        with open(tile, "wb") as f:
            f.write(bytes(header) + records[rows].tobytes())
        cls = classes[rows]
        cells = cells_of(xyz[rows, :2], np.flatnonzero(cls == 2))
        last = xyz[rows][returns[rows] >= count[rows]]
        last_sigma, last_density = vandrel.estimate_sigma(last), vandrel.estimate_density(last)
        cells_rms, moves, ground_sigma = [pooled_rms(xyz[rows], cells)], [], ""
        for extra in ([], ["--returns", "last", "--sigma", f"{last_sigma:.9g}", "--density", f"{last_density:.9g}"]):
            out = os.path.join(args.scratch, "tile_out.las")
            code, log, _ = run(args.build, [tile, out, *extra])
            found = re.search(r"Estimated sigma: (\S+)", log)
            ground_sigma = ground_sigma or (found.group(1) if found else "")
            after = read_las(out)[0] if code == 0 else xyz[rows]
            cells_rms.append(pooled_rms(after, cells))
            move = np.linalg.norm(after - xyz[rows], axis=1)
            moves.append(f"{np.percentile(move, 95):.2f}, {move.max():.2f}")
        print(f"| {t} | {(cls == 2).sum()} | {float(ground_sigma):.3f} / {last_sigma:.3f} | "
              + " / ".join(f"{v:.3f}" for v in cells_rms) + " | " + " / ".join(moves) + " |")


def room(args, seed=1):
    """A structured-light room scan with known truth: 640 x 480 pixels (focal length 525) from the origin
    along +z, a floor, a ceiling, two side walls, a back wall square to the camera at 5 units and a table top
    at 2; depth noise 0.0014 z^2, then the disparity rounded so that depths sit on a lattice of steps
    0.00325 z^2 (1.3 cm at 2 m, 8 cm at 5 m: wider than the noise); 5 % of the pixels NaN. The default run
    and single sigmas, measured by the RMS distance of each part's points from its true plane."""
    rng = np.random.default_rng(seed)
    width, height, focal = 640, 480, 525.0
    u, v = np.meshgrid(np.arange(width), np.arange(height))
    rays = np.stack([(u - 319.5) / focal, -(v - 239.5) / focal, np.ones(u.shape)], -1).reshape(-1, 3)
    planes = [((0, 0, 1), 5.0), ((1, 0, 0), -2.0), ((1, 0, 0), 2.5), ((0, 1, 0), -1.2), ((0, 1, 0), 1.4),
              ((0, 1, 0), -0.45)]  # back wall, side walls, floor, ceiling, table top
    depth = np.full(len(rays), np.inf)
    part = np.full(len(rays), -1)
    for k, (normal, offset) in enumerate(planes):
        with np.errstate(divide="ignore", invalid="ignore"):
            t = offset / (rays @ np.array(normal, float))
        hit = (t > 0) & (t < depth)
        if k == 5:  # the table top is 1.2 wide, from 1.8 to 2.6 deep
            at = rays * t[:, None]
            hit &= (np.abs(at[:, 0]) < 0.6) & (at[:, 2] > 1.8) & (at[:, 2] < 2.6)
        depth[hit], part[hit] = t[hit], k
    noisy = depth + 0.0014 * depth ** 2 * rng.standard_normal(len(depth))
    quantised = 1.0 / (0.00325 * np.round(1.0 / (0.00325 * noisy)))
    points = (rays * quantised[:, None]).astype("<f4")
    points[rng.random(len(points)) < 0.05] = np.nan
    path = os.path.join(args.scratch, "room.pcd")
    write_pcd(path, points, width, height)
    r = np.linalg.norm(rays * depth[:, None], axis=1)
    finite = np.isfinite(points).all(axis=1)
    parts = {"table top (2 m)": part == 5, "floor, 2-3 m": (part == 3) & (r < 3),
             "side walls, 3-4 m": ((part == 1) | (part == 2)) & (r >= 3) & (r < 4), "back wall (5 m)": part == 0}

    def measure(out):
        distance = np.full(len(out), np.nan)
        for k, (normal, offset) in enumerate(planes):
            distance[part == k] = out[part == k].astype(np.float64) @ np.array(normal, float) - offset
        return [float(np.sqrt(np.mean(distance[rows & finite] ** 2))) for rows in parts.values()]

    print("| run | " + " | ".join(parts) + " |")
    print("| --- |" + " --- |" * len(parts))
    print("| input | " + " | ".join(f"{v:.4f}" for v in measure(points)) + " |")
    out = os.path.join(args.scratch, "room_out.pcd")
    code, log, _ = run(args.build, [path, out])
    density = re.search(r"Estimated density: (\S+)", log).group(1)
    print("[default] " + " / ".join(line for line in log.splitlines() if line.startswith(("Estimated", "Noise", "vandrel"))))
    print("| default | " + " | ".join(f"{v:.4f}" for v in measure(read_pcd(out)[0])) + " |")
    for sigma in ("0.005", "0.01", "0.02", "0.04"):
        run(args.build, [path, out, "--sigma", sigma, "--density", density])
        print(f"| single sigma {sigma} | " + " | ".join(f"{v:.4f}" for v in measure(read_pcd(out)[0])) + " |")
    import vandrel
    print(f"estimate_sigma of the whole image: {vandrel.estimate_sigma(points[finite]):.4g}")


def sweep(args):
    """The depth images' default (noise by range) against single sigmas at the same density."""
    print(f"date {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; load {os.getloadavg()[0]:.2f}; "
          f"{os.cpu_count()} cores")
    near, far, detail = "near flat RMS (mm)", "far flat RMS (mm)", "near detail moved p95 (x near noise)"
    for scan in ("table_scene_mug_stereo_textured", "milk_cartoon_all_small_clorox"):
        path = os.path.join(data, scan + ".pcd")
        points, header = read_pcd(path)
        camera = DepthCamera(path, points, header)
        out = os.path.join(args.scratch, "out.pcd")
        code, log, seconds = run(args.build, [path, out])
        density = re.search(r"Estimated density: (\S+)", log).group(1)
        model = re.search(r"sigma = .* r\^2", log)
        default = camera.measure(read_pcd(out)[0])
        results = [("input", camera.measure(points), seconds), ("default: " + (model.group(0) if model else "?"), default, seconds)]
        singles = []
        for sigma_mm in SWEEP_SIGMAS_MM:
            code, log, seconds = run(args.build, [path, out, "--sigma", f"{sigma_mm / 1e3:g}", "--density", density])
            values = camera.measure(read_pcd(out)[0])
            singles.append((sigma_mm, values))
            results.append((f"single sigma {sigma_mm} mm", values, seconds))
        print(f"\n{scan}.pcd (density {density})\n| run | {near} | {far} | {detail} | wall s |\n| --- | --- | --- | --- | --- |")
        for label, values, seconds in results:
            print(f"| {label} | {values[near]:.4f} | {values[far]:.4f} | {values[detail]:.3f} | {seconds:.1f} |")
        within = [s for s in singles if s[1][detail] <= default[detail]]
        best_far = min(within, key=lambda s: s[1][far]) if within else None
        best_sum = min(singles, key=lambda s: s[1][near] + s[1][far])
        for name, best in (("lowest far flat RMS, near detail moved no more than the default", best_far),
                           ("lowest near + far flat RMS", best_sum)):
            if best is None:
                print(f"best single sigma ({name}): none moves the near detail as little")
                continue
            v = best[1]
            print(f"best single sigma ({name}): {best[0]} mm: near {v[near]:.4f}, far {v[far]:.4f}, detail {v[detail]:.3f}; "
                  f"default near {default[near]:.4f} ({'better' if default[near] < v[near] else 'worse'}), "
                  f"far {default[far]:.4f} ({'better' if default[far] < v[far] else 'worse'})")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--scratch", default="/tmp/vandrel_real_scans")
    parser.add_argument("--pictures", default=None)
    parser.add_argument("--alternatives", action="store_true",
                        help="also the choices weighed for the default (explicit options)")
    parser.add_argument("--forest", action="store_true", help="only the synthetic forest with known ground")
    parser.add_argument("--sweep", action="store_true", help="only the depth images, against single sigmas")
    parser.add_argument("--small", action="store_true", help="only small LiDAR files cut from the airborne scan")
    parser.add_argument("--room", action="store_true", help="only a synthetic structured-light room scan")
    args = parser.parse_args()
    os.makedirs(args.scratch, exist_ok=True)
    if args.forest:
        forest(args)
        return
    if args.sweep:
        sweep(args)
        return
    if args.small:
        small_files(args)
        return
    if args.room:
        room(args)
        return
    print(f"date {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; load {os.getloadavg()[0]:.2f}; "
          f"{os.cpu_count()} cores")

    path = os.path.join(data, "autzen_trim.las")
    xyz, classes = read_las(path)
    lidar = Lidar(path, xyz, classes)
    runs = [("default", [])]
    if args.alternatives:
        runs += [("every point, the ground's sigma and density (the default before)",
                  ["--sigma", "{sigma}", "--density", "{density}"]),
                 ("--classes 2", ["--classes", "2"]),
                 ("--returns last", ["--returns", "last"])]
    results = [("input", lidar.measure(xyz), 0, 0.0)]
    estimated = {}
    for label, extra in runs:
        out = os.path.join(args.scratch, "out.las")
        code, log, seconds = run(args.build, [path, out, *[a.format(**estimated) for a in extra]])
        for name in ("sigma", "density"):
            found = re.search(rf"Estimated {name}: (\S+)", log)
            if found and label == "default":
                estimated[name] = found.group(1)
        print(f"[{label}] " + " / ".join(line for line in log.splitlines() if line.startswith(("Estimated", "Filter", "Moved", "vandrel"))))
        values = lidar.measure(read_las(out)[0]) if code == 0 else None
        results.append((label, values, code, seconds))
        if label == "default" and args.pictures and values:
            picture(os.path.join(args.pictures, "real_autzen_slice.png"), "autzen_trim.las",
                    xyz, read_las(out)[0], lidar_slices(xyz), "z (ft)")
    table("autzen_trim.las", lidar, results)

    for scan in ("table_scene_mug_stereo_textured", "milk_cartoon_all_small_clorox"):
        path = os.path.join(data, scan + ".pcd")
        points, header = read_pcd(path)
        camera = DepthCamera(path, points, header)
        runs = [("default", [])]
        if args.alternatives:
            # One sigma estimated from the whole cloud, as the default was before.
            import vandrel
            finite = points[np.isfinite(points).all(axis=1)]
            runs += [("one sigma, estimated (the default before)", ["--sigma", f"{vandrel.estimate_sigma(finite):.9g}"])]
        results = [("input", camera.measure(points), 0, 0.0)]
        for label, extra in runs:
            out = os.path.join(args.scratch, "out.pcd")
            code, log, seconds = run(args.build, [path, out, *extra])
            print(f"[{label}] " + " / ".join(line for line in log.splitlines() if line.startswith(("Estimated", "Noise", "Filter", "Moved", "vandrel"))))
            values = camera.measure(read_pcd(out)[0]) if code == 0 else None
            results.append((label, values, code, seconds))
            if label == "default" and args.pictures and values:
                picture(os.path.join(args.pictures, f"real_{scan.split('_')[0]}_slice.png"),
                        scan.split("_")[0], points, read_pcd(out)[0], depth_slices(points), "z (m)")
        # The same image stored as a list, as many tools write a depth image once its NaN pixels
        # are dropped (HEIGHT 1): its default run, measured on the grid the rows came from.
        rows = np.flatnonzero(np.isfinite(points).all(axis=1))
        listed = os.path.join(args.scratch, "listed.pcd")
        write_pcd(listed, points[rows], viewpoint=" ".join(header.get("VIEWPOINT", ["0", "0", "0", "1", "0", "0", "0"])))
        out = os.path.join(args.scratch, "out.pcd")
        code, log, seconds = run(args.build, [listed, out])
        print("[default, stored as a list] " + " / ".join(
            line for line in log.splitlines() if line.startswith(("Estimated", "Noise", "One sigma", "Moved", "vandrel"))))
        values = None
        if code == 0:
            back = np.full_like(points, np.nan)
            back[rows] = read_pcd(out)[0]
            values = camera.measure(back)
        results.append(("default, stored as a list (HEIGHT 1)", values, code, seconds))
        table(scan + ".pcd", camera, results)


if __name__ == "__main__":
    main()

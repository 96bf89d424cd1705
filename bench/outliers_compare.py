#!/usr/bin/python3
"""Compares the filter's outlier flags with statistical outlier removal (PCL, Open3D)."""
import argparse
import hashlib
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

DESCRIPTION = """\
Injects outliers of known rows into clouds of 20000 points (noise 0.5 % of the bounding-box
diagonal) and scores each method's flags by precision, recall and F1:

  uniform     the bunny (data/bunny.off) + 400 points uniform in its bounding box, grown by 10 %
  near        the unit sphere + 400 points 5 to 15 sigma off the surface, either side
  clustered   the bunny + 20 clusters of 20 points (radius 2 point spacings) uniform in the box
  flying      a depth camera's view (a 200 x 200 grid of rays) of a square at depth 1 in front of
              a wall at depth 2, depth noise 0.2 %: the pixels whose ray grazes the square's edge
              return a depth between the two (mixed pixels), the outliers

Methods: vandrel (the Python module, outliers=True) with the true sigma and density and with
both estimated; Open3D remove_statistical_outlier at its documented example setting (20
neighbours, std ratio 2) and PCL StatisticalOutlierRemoval at its tutorial's (50, 1), each also
at its best setting per cloud in hindsight over neighbours {10, 20, 50, 100} x std ratio {0.5, 1,
2, 3} (by F1). Also reports the shared real scans: points flagged by each at its default.
Several seeds (--seed 1 2 3 4) give one table each: the scenes are small enough that one
seed's F1 moves by about 0.01 between draws.

The peers' scores depend only on the scene, so --peer-cache FILE keeps them in a JSON file,
keyed by peer, setting and a hash of the scene's points and truth: a second run with the same
file runs only vandrel (PCL's and Open3D's versions are not part of the key: delete the file
after upgrading either).
"""

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import normals_compare  # noqa: E402  (shapes with known geometry)

NEIGHBOURS = (10, 20, 50, 100)
RATIOS = (0.5, 1.0, 2.0, 3.0)


def scene(name, rng, count=20000):
    """Points, outlier truth (bool), sigma, density."""
    if name == "flying":
        side = 200
        u, v = np.meshgrid(np.linspace(-0.6, 0.6, side), np.linspace(-0.6, 0.6, side))
        rays = np.column_stack([u.ravel(), v.ravel(), np.ones(side * side)])
        # The square |x|, |y| <= 0.25 at depth 1; the wall at depth 2 behind it.
        step = 1.2 / (side - 1)
        inside = (np.abs(rays[:, 0]) <= 0.25) & (np.abs(rays[:, 1]) <= 0.25)
        edge_distance = np.maximum(np.abs(rays[:, 0]), np.abs(rays[:, 1])) - 0.25
        mixed = np.abs(edge_distance) < 0.5 * step
        depth = np.where(inside, 1.0, 2.0)
        depth[mixed] = 1.0 + rng.uniform(0.15, 0.85, mixed.sum())
        depth = depth * (1.0 + rng.normal(0.0, 0.002, len(depth)))
        points = rays * depth[:, None]
        return points, mixed, None, None
    if name == "near":
        clean, normals, area, _ = normals_compare.sample("sphere", count, rng)
        sigma = 0.005 * float(np.linalg.norm(clean.max(0) - clean.min(0)))
        noisy = clean + rng.normal(0.0, sigma, clean.shape)
        chosen = rng.choice(count, 400, replace=False)
        offset = rng.uniform(5.0, 15.0, 400) * sigma * rng.choice([-1.0, 1.0], 400)
        extra = clean[chosen] + normals[chosen] * offset[:, None]
        return np.vstack([noisy, extra]), np.r_[np.zeros(count, bool), np.ones(400, bool)], sigma, count / area
    clean, _, area, _ = normals_compare.sample("bunny", count, rng)
    sigma = 0.005 * float(np.linalg.norm(clean.max(0) - clean.min(0)))
    noisy = clean + rng.normal(0.0, sigma, clean.shape)
    low, high = clean.min(0), clean.max(0)
    low, high = low - 0.05 * (high - low), high + 0.05 * (high - low)
    if name == "uniform":
        extra = rng.uniform(low, high, (400, 3))
    else:
        spacing = 1.0 / np.sqrt(count / area)
        centres = rng.uniform(low, high, (20, 3))
        offsets = rng.normal(0.0, 1.0, (20, 20, 3))
        offsets *= (2.0 * spacing * rng.random((20, 20, 1)) ** (1 / 3)) / np.linalg.norm(offsets, axis=2, keepdims=True)
        extra = (centres[:, None, :] + offsets).reshape(-1, 3)
    return np.vstack([noisy, extra]), np.r_[np.zeros(count, bool), np.ones(len(extra), bool)], sigma, count / area


def scores(flags, truth):
    hits = int((flags & truth).sum())
    precision = hits / max(1, int(flags.sum()))
    recall = hits / max(1, int(truth.sum()))
    f1 = 2 * precision * recall / max(1e-12, precision + recall)
    return precision, recall, f1


def open3d_flags(points, neighbours, ratio):
    import open3d as o3d
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.ascontiguousarray(points)))
    _, kept = cloud.remove_statistical_outlier(nb_neighbors=neighbours, std_ratio=ratio)
    flags = np.ones(len(points), bool)
    flags[np.asarray(kept, dtype=np.int64)] = False
    return flags


def pcl_flags(build, points, neighbours, ratio, work):
    path, out = work / "in.xyz", work / "flags.txt"
    np.savetxt(path, points, fmt="%.9g")
    subprocess.run([str(build / "bench/pcl_sor"), str(path), str(out), str(neighbours), repr(ratio)], check=True,
                   capture_output=True)
    return np.loadtxt(out).astype(bool)


def vandrel_flags(vandrel, points, sigma, density):
    finite = np.isfinite(points).all(axis=1)
    flags = np.zeros(len(points), bool)
    flags[finite] = vandrel.denoise(points[finite], sigma, density, outliers=True).outliers
    return flags


def main():
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--seed", type=int, nargs="+", default=[1])
    parser.add_argument("--peer-cache", help="JSON file of the peers' scores, read and extended")
    args = parser.parse_args()
    build = Path(args.build)
    sys.path.insert(0, str(build / "python"))
    cache = PeerCache(Path(args.peer_cache) if args.peer_cache else None)
    for seed in args.seed:
        if len(args.seed) > 1:
            print(f"\nseed {seed}\n")
        compare(build, seed, cache)
        cache.save()


class PeerCache:
    """The peers' (precision, recall, F1) by peer, setting and scene; in memory without a file."""

    def __init__(self, path):
        self.path = path
        self.scores = json.loads(path.read_text()) if path and path.exists() else {}

    def get(self, key, run, truth):
        if key not in self.scores:
            self.scores[key] = list(scores(run(), truth))
        return tuple(self.scores[key])

    def save(self):
        if self.path:
            self.path.write_text(json.dumps(self.scores, indent=0, sort_keys=True))


def scene_key(points, truth):
    digest = hashlib.sha256(np.ascontiguousarray(points, dtype=np.float64).tobytes())
    digest.update(np.ascontiguousarray(truth, dtype=bool).tobytes())
    return digest.hexdigest()[:24]


def compare(build, seed, cache):
    import vandrel

    names = ("uniform", "near", "clustered", "flying")
    rows = {}
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        for index, name in enumerate(names):
            rng = np.random.default_rng([seed, index])
            points, truth, sigma, density = scene(name, rng)
            key = scene_key(points, truth)
            if sigma is not None:
                rows.setdefault("vandrel, sigma and density given", {})[name] = (scores(vandrel_flags(vandrel, points, sigma, density), truth), "")
            rows.setdefault("vandrel, sigma and density estimated", {})[name] = (scores(vandrel_flags(vandrel, points, None, None), truth), "")
            for peer, run, default in (("Open3D remove_statistical_outlier", lambda k, r: open3d_flags(points, k, r), (20, 2.0)),
                                       ("PCL StatisticalOutlierRemoval", lambda k, r: pcl_flags(build, points, k, r, work), (50, 1.0))):
                def scored(k, r, peer=peer, run=run):
                    return cache.get(f"{peer} {k} {r:g} {key}", lambda: run(k, r), truth)
                rows.setdefault(f"{peer}, default ({default[0]}, {default[1]:g})", {})[name] = (scored(*default), "")
                best = max(((scored(k, r), f"({k}, {r:g})") for k in NEIGHBOURS for r in RATIOS),
                           key=lambda s: s[0][2])
                rows.setdefault(f"{peer}, best per cloud", {})[name] = best
            print(f"{name} done", file=sys.stderr)
    print("| method | " + " | ".join(f"{n}: P / R / F1" for n in names) + " |")
    print("|---|" + "---|" * len(names))
    for method, cells in rows.items():
        text = []
        for name in names:
            if name not in cells:
                text.append("")
                continue
            (p, r, f), setting = cells[name]
            text.append(f"{p:.3f} / {r:.3f} / **{f:.3f}**" + (f" {setting}" if setting else ""))
        print(f"| {method} | " + " | ".join(text) + " |")


if __name__ == "__main__":
    main()

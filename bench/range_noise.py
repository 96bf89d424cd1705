"""Noise that grows with range, on the two shared depth-camera scans: the command line's
--sigma range against single sigmas (the default estimate, and the model's sigma at the near
and at the far band).

Proxies, on the organised 640 x 480 grid cut into windows of 16 x 16 pixels: a window whose
finite points (80 % or more) lie in a depth band is measured by the RMS distance of its points
from their least-squares plane. The flat parts of a band are its flatter half of windows in the
input (those whose RMS is at most the band's median); after each run the same windows (same
rows) are measured again, and the table gives the median. Near detail: the 95th percentile of
how far the near band's other points (objects, edges, the windows left out) moved, in units of
the near band's own noise (the model's sigma there): smoothing at the scale of the far noise
moves them many times their noise.

    /usr/bin/python3 bench/range_noise.py [build dir] [scratch dir]
"""
import os
import re
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pcd_points import read_pcd  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build")
scratch = sys.argv[2] if len(sys.argv) > 2 else "/tmp/vandrel_range_noise"
os.makedirs(scratch, exist_ok=True)
data = os.environ.get("VANDREL_REAL_SCANS", os.path.join(here, "..", "data", "real"))
scans = ["table_scene_mug_stereo_textured", "milk_cartoon_all_small_clorox"]


def run(args):
    started = time.time()
    done = subprocess.run([os.path.join(build, "vandrel"), *args, "--threads", "2"], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return done.stderr, time.time() - started


def plane(points):
    centre = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centre, full_matrices=False)
    return centre, vt[2]


def rms_about_plane(points):
    centre, normal = plane(points.astype(np.float64))
    return float(np.sqrt(np.mean(((points - centre) @ normal) ** 2)))


def window_rms(points, size=16):
    """Per 16 x 16 window of the organised grid: its rows and the RMS about its plane (NaN for a
    window with fewer than 80 % finite points)."""
    grid = np.arange(480 * 640).reshape(480, 640)
    windows, rms = [], []
    for i in range(0, 480, size):
        for j in range(0, 640, size):
            rows = grid[i:i + size, j:j + size].ravel()
            rows = rows[np.isfinite(points[rows]).all(axis=1)]
            windows.append(rows)
            rms.append(rms_about_plane(points[rows]) if len(rows) >= 0.8 * size * size else np.nan)
    return windows, np.array(rms)


def main():
    print(f"date {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; load {os.getloadavg()[0]:.2f}; "
          f"{os.cpu_count()} cores")
    for scan in scans:
        path = os.path.join(data, scan + ".pcd")
        points, _ = read_pcd(path)
        finite = np.isfinite(points).all(axis=1)
        rows = np.flatnonzero(finite)
        ranges = np.linalg.norm(points[rows].astype(np.float64), axis=1)
        log, seconds = run([path, os.path.join(scratch, "range.pcd"), "--sigma", "range"])
        density = re.search(r"Estimated density: (\S+)", log).group(1)
        model = re.search(r"sigma = (\S+) \+ (\S+) r\^2", log)
        a, b = float(model.group(1)), float(model.group(2))
        print(f"\n{scan}: {len(rows)} finite points, density {density}; --sigma range: sigma = {a:.3g} + {b:.3g} r^2"
              f" ({seconds:.1f} s)")

        windows, base = window_rms(points)
        near_cut, far_cut = np.percentile(ranges, [30, 85])
        range_of = np.full(len(points), np.nan)
        range_of[rows] = ranges
        bands = {}
        for name, lo, hi in (("near", 0.0, near_cut), ("far", far_cut, np.inf)):
            inside = np.array([len(w) > 0 and np.mean((range_of[w] >= lo) & (range_of[w] <= hi)) >= 0.8
                               for w in windows]) & np.isfinite(base)
            flat = inside & (base <= np.median(base[inside]))
            band_rows = rows[(ranges >= lo) & (ranges <= hi)]
            band_range = float(np.sqrt(np.mean(range_of[band_rows] ** 2)))
            sigma = a + b * band_range ** 2
            flat_rows = np.concatenate([windows[k] for k in np.flatnonzero(flat)])
            others = np.setdiff1d(band_rows, flat_rows)
            bands[name] = (np.flatnonzero(flat), others, band_range, sigma)
            print(f"  {name} band: range {lo:.2f}-{min(hi, ranges.max()):.2f} m, model sigma {sigma * 1e3:.3f} mm; "
                  f"{flat.sum()} flat windows of {inside.sum()}, {len(others)} other points")

        runs = [("input", None)]
        estimated = re.search(r"Estimated sigma: (\S+)", run([path, os.path.join(scratch, "s.pcd"),
                                                               "--density", density])[0])
        singles = sorted({float(estimated.group(1)), a + b * bands["near"][2] ** 2, a + b * bands["far"][2] ** 2,
                          2 * (a + b * bands["far"][2] ** 2)})
        runs += [(f"single sigma {s * 1e3:.3f} mm" + (" (default estimate)" if s == float(estimated.group(1)) else ""),
                  ["--sigma", repr(s)]) for s in singles]
        runs.append(("--sigma range", ["--sigma", "range"]))
        print("  | run | near flat RMS (mm) | far flat RMS (mm) | near detail moved, 95th pct (x near sigma) | s |")
        print("  | --- | --- | --- | --- | --- |")
        for name, args in runs:
            if args is None:
                out, seconds = points, 0.0
            else:
                target = os.path.join(scratch, "out.pcd")
                _, seconds = run([path, target, "--density", density, *args])
                out, _ = read_pcd(target)
            cells = []
            for band in ("near", "far"):
                cells.append(f"{np.median([rms_about_plane(out[windows[k]]) for k in bands[band][0]]) * 1e3:.3f}")
            others, near_sigma = bands["near"][1], bands["near"][3]
            move = np.linalg.norm(out[others].astype(np.float64) - points[others], axis=1)
            cells.append(f"{np.percentile(move, 95) / near_sigma:.2f}")
            print(f"  | {name} | " + " | ".join(cells) + f" | {seconds:.1f} |")


if __name__ == "__main__":
    main()

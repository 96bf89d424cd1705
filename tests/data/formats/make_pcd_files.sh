#!/usr/bin/env bash
# Makes the PCD and PLY test files with the Point Cloud Library's tools and Open3D
# (Debian 12: pcl-tools, python3-open3d; needed only to remake the files).
# Run from this folder: bash make_pcd_files.sh
set -euo pipefail

# An organised 8 x 6 cloud with a float intensity, a byte label and a 3-value field; two
# points are NaN, as a depth camera leaves them. PCL rewrites it in its three DATA kinds.
/usr/bin/python3 - <<'PY'
import math
rows = []
for v in range(6):
    for u in range(8):
        i = v * 8 + u
        if i in (9, 30):
            x = y = z = "nan"
        else:
            x, y = 0.1 * u - 0.35, 0.1 * v - 0.25
            x, y, z = f"{x:.6f}", f"{y:.6f}", f"{1.5 + 0.2 * math.sin(3 * x + 2 * y):.6f}"
        rows.append(f"{x} {y} {z} {0.01 * i:.2f} {i % 7} {i} {2 * i} {3 * i}")
header = """# .PCD v0.7 - Point Cloud Data file format
VERSION 0.7
FIELDS x y z intensity label histogram
SIZE 4 4 4 4 1 2
TYPE F F F F U I
COUNT 1 1 1 1 1 3
WIDTH 8
HEIGHT 6
VIEWPOINT 0 0 0 1 0 0 0
POINTS 48
DATA ascii
"""
open("organised_source.pcd", "w").write(header + "\n".join(rows) + "\n")

# Double-precision coordinates far from the origin, as in georeferenced scans.
rows = [f"{512000.125 + 0.25 * i:.3f} {5400000.5 + 0.125 * (i % 5):.3f} {231.0625 + 0.0625 * (i % 3):.4f} {i}"
        for i in range(30)]
header = """VERSION 0.7
FIELDS x y z id
SIZE 8 8 8 4
TYPE F F F U
COUNT 1 1 1 1
WIDTH 30
HEIGHT 1
VIEWPOINT 0 0 0 1 0 0 0
POINTS 30
DATA ascii
"""
open("double_source.pcd", "w").write(header + "\n".join(rows) + "\n")
PY
pcl_convert_pcd_ascii_binary organised_source.pcd pcl_organised_ascii.pcd 0
pcl_convert_pcd_ascii_binary organised_source.pcd pcl_organised_binary.pcd 1
pcl_convert_pcd_ascii_binary organised_source.pcd pcl_organised_compressed.pcd 2
pcl_convert_pcd_ascii_binary double_source.pcd pcl_double_compressed.pcd 2
rm organised_source.pcd double_source.pcd

# An unorganised cloud with colours and normals, written by Open3D as PCD and PLY.
/usr/bin/python3 - <<'PY'
import numpy as np
import open3d as o3d
rng = np.random.default_rng(7)
p = rng.normal(size=(40, 3))
p /= np.linalg.norm(p, axis=1, keepdims=True)
cloud = o3d.geometry.PointCloud()
cloud.points = o3d.utility.Vector3dVector(p)
cloud.normals = o3d.utility.Vector3dVector(p)
cloud.colors = o3d.utility.Vector3dVector(rng.uniform(size=(40, 3)))
o3d.io.write_point_cloud("open3d_ascii.pcd", cloud, write_ascii=True)
o3d.io.write_point_cloud("open3d_compressed.pcd", cloud, compressed=True)
o3d.io.write_point_cloud("open3d_binary.ply", cloud)
PY

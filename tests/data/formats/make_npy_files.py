"""Makes the .npy test files with numpy (Debian 12: python3-numpy).
Run from this folder: /usr/bin/python3 make_npy_files.py"""
import numpy as np

rng = np.random.default_rng(3)
u, v = rng.uniform(-1, 1, 36), rng.uniform(-1, 1, 36)
surface = np.stack([u, v, 0.3 * np.sin(2 * u) * np.cos(v)], axis=1)
extra = np.stack([np.arange(36.0), rng.uniform(0, 1, 36)], axis=1)

np.save("numpy_f4_c.npy", surface.astype("<f4"))
np.save("numpy_f8_fortran.npy", np.asfortranarray(np.hstack([surface, extra])))
with open("numpy_f4_big_endian_v2.npy", "wb") as f:
    np.lib.format.write_array(f, np.hstack([surface, extra[:, :1]]).astype(">f4"), version=(2, 0))

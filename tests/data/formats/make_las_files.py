"""Makes small LAS test files, point data record formats 0, 1, 3 (LAS 1.2) and 6, 7, 10
(LAS 1.4, with an extended VLR), laid out field by field as LAS 1.4 defines them.
Debian 12 packages no tool that writes LAS; this needs only numpy.
Run from this folder: /usr/bin/python3 make_las_files.py"""
import numpy as np

COMMON = [("X", "<i4"), ("Y", "<i4"), ("Z", "<i4"), ("intensity", "<u2")]
LEGACY = COMMON + [("returns", "u1"), ("classification", "u1"), ("scan_angle_rank", "i1"),
                   ("user_data", "u1"), ("point_source_id", "<u2")]
EXTENDED = COMMON + [("returns", "u1"), ("flags", "u1"), ("classification", "u1"), ("user_data", "u1"),
                     ("scan_angle", "<i2"), ("point_source_id", "<u2"), ("gps_time", "<f8")]
RGB = [("red", "<u2"), ("green", "<u2"), ("blue", "<u2")]
WAVE = [("wave_descriptor", "u1"), ("wave_offset", "<u8"), ("wave_size", "<u4"), ("wave_location", "<f4"),
        ("wave_dx", "<f4"), ("wave_dy", "<f4"), ("wave_dz", "<f4")]
RECORDS = {
    0: LEGACY,
    1: LEGACY + [("gps_time", "<f8")],
    3: LEGACY + [("gps_time", "<f8")] + RGB,
    6: EXTENDED,
    7: EXTENDED + RGB,
    10: EXTENDED + RGB + [("nir", "<u2")] + WAVE,
}
EXPECTED_LENGTH = {0: 20, 1: 28, 3: 34, 6: 30, 7: 36, 10: 67}


def vlr(user, record_id, payload, extended=False):
    head = np.zeros(1, [("reserved", "<u2"), ("user_id", "S16"), ("record_id", "<u2"),
                        ("length", "<u8" if extended else "<u2"), ("description", "S32")])
    head["user_id"], head["record_id"], head["length"] = user, record_id, len(payload)
    head["description"] = b"vandrel test record"
    return head.tobytes() + payload


def make(name, point_format, minor, n, scale, offset, extra_bytes=0, seed=0):
    rng = np.random.default_rng(seed)
    fields = RECORDS[point_format] + ([("extra", f"V{extra_bytes}")] if extra_bytes else [])
    points = np.zeros(n, np.dtype(fields))
    assert np.dtype(RECORDS[point_format]).itemsize == EXPECTED_LENGTH[point_format]
    u, v = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    xyz = np.stack([u * 10, v * 10, 2 * np.sin(u) * np.cos(v)], axis=1) + offset
    ints = np.round((xyz - offset) / scale).astype(np.int32)
    points["X"], points["Y"], points["Z"] = ints[:, 0], ints[:, 1], ints[:, 2]
    for field, kind in fields[3:]:
        if field == "extra":
            points[field] = [bytes(rng.integers(0, 256, extra_bytes, dtype=np.uint8)) for _ in range(n)]
        elif kind.endswith("f8") or kind.endswith("f4"):
            points[field] = rng.uniform(0, 1e5, n)
        else:
            info = np.iinfo(np.dtype(kind))
            points[field] = rng.integers(info.min, info.max, n, endpoint=True, dtype=np.dtype(kind))
    actual = ints * scale + offset

    header_size = 375 if minor == 4 else 227
    vlrs = vlr(b"vandrel", 1, bytes(range(40)))
    evlrs = vlr(b"vandrel", 2, b"extended record after the points", extended=True) if minor == 4 else b""
    header = np.zeros(1, [
        ("signature", "S4"), ("source_id", "<u2"), ("encoding", "<u2"), ("guid", "V16"),
        ("major", "u1"), ("minor", "u1"), ("system", "S32"), ("software", "S32"),
        ("day", "<u2"), ("year", "<u2"), ("header_size", "<u2"), ("points_begin", "<u4"),
        ("vlr_count", "<u4"), ("point_format", "u1"), ("record_length", "<u2"),
        ("legacy_count", "<u4"), ("legacy_by_return", "<u4", 5), ("scale", "<f8", 3), ("offset", "<f8", 3),
        ("extents", "<f8", 6)] + ([
        ("waveform_begin", "<u8"), ("evlr_begin", "<u8"), ("evlr_count", "<u4"), ("count", "<u8"),
        ("by_return", "<u8", 15)] if minor == 4 else []))
    assert header.itemsize == header_size
    h = header[0]
    h["signature"], h["source_id"], h["encoding"] = b"LASF", 7, 17 if minor == 4 else 0
    h["guid"] = bytes(range(16))
    h["major"], h["minor"] = 1, minor
    h["system"], h["software"] = b"vandrel test files", b"make_las_files.py"
    h["day"], h["year"], h["header_size"] = 42, 2024, header_size
    h["points_begin"] = header_size + len(vlrs)
    h["vlr_count"], h["point_format"], h["record_length"] = 1, point_format, points.itemsize
    # LAS 1.4 files of formats 6-10 leave the legacy counts zero.
    h["legacy_count"] = n if point_format < 6 else 0
    h["legacy_by_return"] = [n, 0, 0, 0, 0] if point_format < 6 else 0
    h["scale"], h["offset"] = scale, offset
    h["extents"] = [actual[:, 0].max(), actual[:, 0].min(), actual[:, 1].max(), actual[:, 1].min(),
                    actual[:, 2].max(), actual[:, 2].min()]
    if minor == 4:
        h["evlr_begin"] = header_size + len(vlrs) + points.nbytes
        h["evlr_count"], h["count"] = 1, n
        h["by_return"][0] = n
    with open(name, "wb") as f:
        f.write(header.tobytes() + vlrs + points.tobytes() + evlrs)


make("las12_format0.las", 0, 2, 40, [0.001] * 3, [0.0, 0.0, 0.0], seed=1)
make("las12_format1.las", 1, 2, 40, [0.01, 0.01, 0.001], [512000.0, 5400000.0, 200.0], extra_bytes=4, seed=2)
make("las12_format3.las", 3, 2, 40, [0.001] * 3, [100.0, -50.0, 0.0], seed=3)
make("las14_format6.las", 6, 4, 40, [0.0001] * 3, [0.0, 0.0, 0.0], seed=6)
make("las14_format7.las", 7, 4, 40, [0.001] * 3, [512000.0, 5400000.0, 200.0], seed=7)
make("las14_format10.las", 10, 4, 40, [0.00025] * 3, [-3.0, 2.0, 1.0], extra_bytes=3, seed=10)

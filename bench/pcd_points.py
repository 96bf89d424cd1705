"""Reads the x, y, z of a PCD file (binary or binary_compressed, 4-byte float coordinates) into an
N x 3 float32 array, NaN rows kept: enough for the benchmarks to measure the command line's output."""
import numpy as np


def _lzf_decompress(data: bytes, size: int) -> bytes:
    out = bytearray(size)
    i = o = 0
    n = len(data)
    while i < n:
        ctrl = data[i]
        i += 1
        if ctrl < 32:
            length = ctrl + 1
            out[o:o + length] = data[i:i + length]
            i += length
            o += length
        else:
            length = ctrl >> 5
            if length == 7:
                length += data[i]
                i += 1
            ref = o - ((ctrl & 0x1F) << 8) - data[i] - 1
            i += 1
            length += 2
            for k in range(length):  # may overlap: byte by byte
                out[o + k] = out[ref + k]
            o += length
    return bytes(out)


def read_pcd(path: str) -> tuple[np.ndarray, dict]:
    """The points (N x 3 float32) and the header's fields (name -> list of words)."""
    raw = open(path, "rb").read()
    header = {}
    at = 0
    while True:
        end = raw.index(b"\n", at)
        line = raw[at:end].decode("ascii").strip()
        at = end + 1
        if not line or line.startswith("#"):
            continue
        words = line.split()
        header[words[0].upper()] = words[1:]
        if words[0].upper() == "DATA":
            break
    fields = header["FIELDS"]
    sizes = [int(s) for s in header["SIZE"]]
    types = header["TYPE"]
    counts = [int(c) for c in header.get("COUNT", ["1"] * len(fields))]
    n = int(header["POINTS"][0])
    kind = header["DATA"][0]
    dtypes = {("F", 4): "<f4", ("F", 8): "<f8", ("U", 1): "u1", ("U", 2): "<u2", ("U", 4): "<u4",
              ("I", 1): "i1", ("I", 2): "<i2", ("I", 4): "<i4"}
    columns = {}
    if kind == "ascii":
        table = np.loadtxt(raw[at:].decode().splitlines(), dtype=np.float64, ndmin=2)
        k = 0
        for f, c in zip(fields, counts):
            columns[f] = table[:, k]
            k += c
    elif kind == "binary":
        record = np.dtype([(f if c == 1 else f"{f}_{j}", dtypes[(t, s)]) for f, s, t, c in zip(fields, sizes, types, counts)
                           for j in range(1) if True])
        data = np.frombuffer(raw, dtype=record, count=n, offset=at)
        columns = {f: data[f] for f in fields}
    else:
        compressed, size = np.frombuffer(raw[at:at + 8], "<u4")
        body = _lzf_decompress(raw[at + 8:at + 8 + int(compressed)], int(size))
        offset = 0
        for f, s, t, c in zip(fields, sizes, types, counts):
            columns[f] = np.frombuffer(body, dtypes[(t, s)], count=n * c, offset=offset)
            offset += n * s * c
    xyz = np.stack([columns["x"], columns["y"], columns["z"]], axis=1).astype(np.float32)
    return xyz, header

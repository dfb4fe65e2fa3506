"""Writes the fuzz targets' seed inputs and the inputs that once failed: store files of every shape the reader
takes (tessaray's own, numpy's savez in both member orders, zip64 records,
data descriptors, .npy versions 1 to 3), files it must refuse, and buffer
format strings.  Run with tessaray importable; the seeds are kept in the
repository, so this only needs running again to change them:

    PYTHONPATH=build/python python3.14 tests/fuzz/make_seeds.py tests/fuzz
"""
import io
import os
import struct
import sys
import tempfile
import zipfile

import numpy as np

import tessaray
import tessaray_bulk

ROWS = np.array([[1.0, -0.0, np.nan], [np.inf, 0.5, -2.0], [0.0, 0.0, 0.0], [3.0, 4.0, 1e-45]], np.float32)
IDS = np.array([0, 2**64 - 1, 7, 7], np.uint64)


def saved(store):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "s.npz")
        tessaray_bulk.save(store, path)
        with open(path, "rb") as f:
            return f.read()


def savez(**arrays):
    out = io.BytesIO()
    np.savez(out, **arrays)
    return out.getvalue()


class Unseekable(io.RawIOBase):
    """A stream zipfile cannot seek back in, so it writes data descriptors."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def zipped(members, stream=None, zip64=False):
    """A zip of (name, .npy bytes) members, optionally with zip64 records throughout."""
    out = stream if stream is not None else io.BytesIO()
    limits = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
    if zip64:
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 16, 1
    try:
        with zipfile.ZipFile(out, "w") as z:
            for name, data in members:
                with z.open(name, "w", force_zip64=zip64) as member:
                    member.write(data)
    finally:
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = limits
    return bytes(out.data) if stream is not None else out.getvalue()


def npy(array, version=None):
    out = io.BytesIO()
    np.lib.format.write_array(out, array, version=version, allow_pickle=False)
    return out.getvalue()


def store_files():
    store = tessaray.Vectorstore(3)
    tessaray_bulk.insert_many(store, ROWS, IDS)
    big = tessaray.Vectorstore(2)
    tessaray_bulk.insert_many(big, np.arange(140, dtype=np.float32).reshape(70, 2))
    own = saved(store)
    pair = [("vectors.npy", npy(ROWS)), ("ids.npy", npy(IDS))]
    name_at = own.rfind(b"ids.npy") + 2
    yield "tessaray", own
    yield "tessaray-empty", saved(tessaray.Vectorstore(7))
    yield "tessaray-70-rows", saved(big)
    yield "savez", savez(vectors=ROWS, ids=IDS)
    yield "savez-ids-first", savez(ids=IDS, vectors=ROWS)
    yield "zip64", zipped(pair, zip64=True)
    yield "data-descriptors", zipped(pair, stream=Unseekable())
    for version in (1, 2, 3):
        yield f"npy-v{version}", zipped([(n, npy(a, (version, 0))) for n, a in zip(("vectors.npy", "ids.npy"), (ROWS, IDS))])
    # Files to refuse.  Bytes that are not UTF-8 in a name or the dtype once
    # brought the interpreter down: regressions.
    yield "../../regressions/store_file/damaged-name", own[:name_at] + b"\xff" + own[name_at + 1:]
    yield "../../regressions/store_file/damaged-cp437-names", own.replace(b"ids.npy", b"\x82ds.npy")
    yield "../../regressions/store_file/damaged-dtype", own.replace(b"'<f4'", b"'\xe9f4'")
    yield "truncated", own[: len(own) // 2]
    # A store file whose parts disagree: blocks of 32 rows, a tail of wider rows.
    yield "half-blocks", own.replace(b"(0, 3, 64)", b"(0, 6, 32)")
    yield "tail-wider", own.replace(b"(4, 3)", b"(2, 6)")
    # More rows in the roots and ids than in the blocks and the tail.
    parts = [("blocks.npy", npy(np.ones((1, 3, 64), np.float32))), ("tail.npy", npy(np.ones((0, 3), np.float32))),
             ("roots.npy", npy(np.ones(129, np.float32))), ("ids.npy", npy(np.arange(129, dtype=np.uint64)))]
    yield "rows-past-the-parts", zipped(parts)
    yield "compressed", (lambda out: (np.savez_compressed(out, vectors=ROWS, ids=IDS), out.getvalue())[1])(io.BytesIO())
    yield "fortran", savez(vectors=np.asfortranarray(ROWS), ids=IDS)
    yield "float64", savez(vectors=ROWS.astype(np.float64), ids=IDS)
    wide = b"{'descr': '<f4', 'fortran_order': False, 'shape': (0, 9223372036854775808), }\n"
    yield "wide", zipped([("vectors.npy", b"\x93NUMPY\x01\x00" + struct.pack("<H", len(wide)) + wide), ("ids.npy", npy(IDS[:0]))])


def buffer_formats():
    # (source: 0 numpy, 1 memoryview, 2 plain; 0x80 for a null format), item size, format
    cases = [(0, 4, b"f"), (0, 4, b"<f"), (0, 8, b">d"), (0, 2, b"=e"), (0, 2, b"!h"), (2, 1, b"?"),
             (1, 8, b"@q"), (1, 8, b"n"), (1, 8, b"N"), (0, 8, b"Zf"), (0, 8, b"2f"), (0, 8, b"T{f:x:f:y:}"),
             (0, 1, b""), (0, 8, b"O"), (0, 1, b"<"), (0, 4, b"@@f"), (1, 4, b">f"), (0x82, 1, b""),
             (0, -4, b"f"), (2, 4, b"l"), (0, 4, b"<l")]
    for i, (source, itemsize, fmt) in enumerate(cases):
        yield f"format-{i}", bytes([source]) + struct.pack("<q", itemsize) + fmt


def main(folder):
    for target, seeds in (("store_file", store_files()), ("buffer_format", buffer_formats())):
        for name, data in seeds:
            path = os.path.normpath(os.path.join(folder, "corpus", target, name))
            # An input that once failed is kept as it was found, in the
            # file layout of its day.
            if "regressions" in name and os.path.exists(path):
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])

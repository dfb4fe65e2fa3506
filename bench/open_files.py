"""The files of the open benchmarks: making a store file (and a .npy of the
same rows), putting a file's pages out of the page cache or into it, and
reading a file in order as the reference every open and scan is set against.
"""

from __future__ import annotations

import ctypes
import mmap
import os
import subprocess

import numpy as np

PIECE = 8 << 20  # bytes per read() of the sequential reads
CHUNK_ROWS = 250_000  # rows generated and inserted at a time


def make_files(store_path: str, n: int, dim: int, tessaray, bulk, rows_path: str | None = None) -> None:
    """Saves a store of `n` random rows at `store_path` and, when asked,
    the same rows as one .npy at `rows_path`; rows are generated a chunk at
    a time, so that only the store holds all of them in memory."""
    store = tessaray.Vectorstore(dim)
    rows_file = None
    if rows_path is not None:
        rows_file = np.lib.format.open_memmap(rows_path, mode="w+", dtype=np.float32, shape=(n, dim))
    for first in range(0, n, CHUNK_ROWS):
        count = min(CHUNK_ROWS, n - first)
        chunk = np.random.default_rng([n, dim, first]).standard_normal((count, dim), dtype=np.float32)
        bulk.insert_many(store, chunk, np.arange(first, first + count, dtype=np.uint64))
        if rows_file is not None:
            rows_file[first:first + count] = chunk
    if rows_file is not None:
        rows_file.flush()
        del rows_file
    bulk.save(store, store_path)


def drop_pages(path: str) -> None:
    """Puts the file's pages out of the page cache (those no process maps):
    written back first, so that none is kept for being dirty."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def read_pieces(path: str) -> int:
    """Reads the whole file into one buffer of PIECE bytes, piece after
    piece; returns the bytes read.  Also how a file is put in the page
    cache: this machine's kernel drops file pages left alone for a minute."""
    buf = bytearray(PIECE)
    total = 0
    with open(path, "rb", buffering=0) as f:
        while got := f.readinto(buf):
            total += got
    return total


def dd(path: str) -> None:
    """The file read by dd in PIECE-byte blocks to /dev/null."""
    subprocess.run(["dd", f"if={path}", "of=/dev/null", f"bs={PIECE}"], check=True, capture_output=True)


_libc = ctypes.CDLL(None, use_errno=True)
_libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]


def cached_fraction(path: str) -> float:
    """The fraction of the file's pages in the page cache (mincore over a
    mapping of it that touches none of them)."""
    size = os.path.getsize(path)
    if size == 0:
        return 1.0
    pages = (size + mmap.PAGESIZE - 1) // mmap.PAGESIZE
    vec = ctypes.create_string_buffer(pages)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), size, prot=mmap.PROT_READ) as m:
        view = np.frombuffer(m, dtype=np.uint8)  # its address; numpy reads nothing
        failed = _libc.mincore(view.ctypes.data, size, vec) != 0
        del view
    if failed:
        return float("nan")
    return int(np.count_nonzero(np.frombuffer(vec.raw, dtype=np.uint8) & 1)) / pages

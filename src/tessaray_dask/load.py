"""load.py: filling one store quickly from a 2-D array or a .npy file."""
from __future__ import annotations

import operator
import os
import zlib
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from tessaray import Vectorstore
from tessaray_bulk import insert_many

__all__ = ["load_store"]

# Rows handed over per step: big enough that numpy's per-call costs vanish,
# small enough that a contiguous copy of a memory-mapped range stays cheap.
CHUNK_ROWS = 16384
# Loads of at least this many floats show a progress bar (when tqdm is there
# and standard error is a terminal).
PROGRESS_FLOATS = 1 << 25

# Element types that the store reads through the buffer protocol.
_BUFFER_KINDS = "biuf"


def check_rows(rows: np.ndarray) -> None:
    if rows.ndim != 2:
        raise ValueError(f"rows must be two-dimensional, not of shape {rows.shape}")
    if rows.dtype.kind not in _BUFFER_KINDS or rows.dtype.itemsize > 8:
        raise TypeError(f"rows must hold real numbers, not {rows.dtype}")


def rows_of(source: Any) -> np.ndarray:
    """The rows as an array: a path opens the .npy file memory-mapped."""
    rows: np.ndarray
    if isinstance(source, (str, os.PathLike)):
        rows = np.load(source, mmap_mode="r", allow_pickle=False)
    else:
        rows = np.asanyarray(source)
    check_rows(rows)
    return rows


def check_ids(ids: Any, n: int) -> np.ndarray | None:
    if ids is None:
        return None
    if isinstance(ids, (str, os.PathLike)):
        ids = np.load(ids, mmap_mode="r", allow_pickle=False)
    array: np.ndarray = np.asanyarray(ids)
    if array.shape != (n,):
        raise ValueError(f"ids must have shape ({n},), not {array.shape}")
    if array.dtype.kind not in "ui" and not isinstance(ids, np.ndarray) and array.dtype.kind in "fO":
        # numpy reads a list mixing ids at or above 2**63 with smaller ones
        # as floats (or objects); read the Python integers themselves.
        try:
            array = np.fromiter((operator.index(i) for i in ids), dtype=np.uint64, count=n)
        except TypeError:
            pass
        except OverflowError:
            raise OverflowError("ids must lie in 0..2**64-1") from None
    if array.dtype.kind not in "ui":
        raise TypeError(f"ids must be integers, not {array.dtype}")
    return array


def chunks(
    rows: np.ndarray, ids: np.ndarray | None, first_id: int | None, chunk_rows: int = CHUNK_ROWS
) -> Iterator[tuple[np.ndarray, np.ndarray | None]]:
    """Contiguous plain-ndarray blocks of rows with their ids.

    Without ``ids`` a block's ids are its row numbers counted from
    ``first_id``, or None when ``first_id`` is None (the store's own default,
    which continues from its length).  np.ascontiguousarray gives base-class
    arrays (a view when the range already is contiguous, as a memmap's rows
    are), which the checksum reads as they lie in memory.
    """
    n = rows.shape[0]
    for a in range(0, n, chunk_rows):
        b = min(a + chunk_rows, n)
        block = np.ascontiguousarray(rows[a:b])
        id_block: np.ndarray | None
        if ids is not None:
            id_block = np.ascontiguousarray(ids[a:b])
        elif first_id is not None:
            id_block = np.arange(first_id + a, first_id + b, dtype=np.uint64)
        else:
            id_block = None
        yield block, id_block


def fill(
    store: Vectorstore | None,
    blocks: Iterator[tuple[np.ndarray, np.ndarray | None]],
    progress: Any = None,
    *,
    checksum: bool = True,
) -> int:
    """Appends every block to ``store`` (when there is one), one insert_many
    call per block, and returns the CRC-32 of what it read: rows and ids, as
    they lie in memory (0 when ``checksum`` is false)."""
    crc = 0
    for block, id_block in blocks:
        if checksum:
            crc = zlib.crc32(block, crc)
            if id_block is not None:
                crc = zlib.crc32(id_block, crc)
        if store is not None:
            insert_many(store, block, id_block)
        if progress is not None:
            progress.update(len(block))
    return crc


def _progress_bar(total: int, wanted: bool | None, floats: int) -> Any:
    if wanted is False or (wanted is None and floats < PROGRESS_FLOATS):
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    # disable=None: tqdm draws only when standard error is a terminal.
    return tqdm(total=total, unit="rows", unit_scale=True, disable=None if wanted is None else False)


def load_store(
    source: str | os.PathLike[str] | npt.ArrayLike,
    ids: str | os.PathLike[str] | npt.ArrayLike | None = None,
    *,
    chunk_rows: int = CHUNK_ROWS,
    progress: bool | None = None,
) -> Vectorstore:
    """A new store holding the rows of ``source`` in order.

    ``source`` is a two-dimensional array of real numbers (any array-like) or
    the path of a ``.npy`` file, which is memory-mapped and read in chunks of
    ``chunk_rows`` rows.  ``ids`` gives one integer id per row (an array or a
    ``.npy`` path); by default row ``i`` gets id ``i``.  Each chunk goes in
    with one ``tessaray_bulk.insert_many`` call, and every value is
    converted exactly as ``Vectorstore.insert`` converts it.  ``progress``:
    True shows a tqdm bar, False never, None (default) shows one for large
    loads when tqdm is installed and standard error is a terminal.
    """
    if chunk_rows < 1:
        raise ValueError(f"chunk_rows must be positive, not {chunk_rows}")
    rows = rows_of(source)
    n, d = rows.shape
    id_array = check_ids(ids, n)
    store = Vectorstore(d)
    bar = _progress_bar(n, progress, n * d)
    try:
        fill(store, chunks(rows, id_array, None, chunk_rows), bar, checksum=False)
    finally:
        if bar is not None:
            bar.close()
    return store

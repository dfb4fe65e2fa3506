"""shard.py: what a shard of a sharded store is, wherever it lies.

A shard is a tessaray store built on a worker from a recipe: a range of a
``.npy`` file (memory-mapped on the worker) or the graph of one row block of
a dask array, together with the CRC-32 of the rows it was first read from,
taken before any shard is built; or a saved store file, opened in place, with
the CRC-32s its zip directory listed for its members when the sharded store
was made.  Every build from the recipe (the first, a rebuild after its worker
died, a copy that dask moved or spilled) is checked against that checksum.
A shard pickles as its recipe.
"""
from __future__ import annotations

import dataclasses
import threading
import zipfile
from typing import Any

import dask.base
import numpy as np

import tessaray_bulk
from tessaray import Vectorstore
from tessaray_dask.arguments import Filter, QueryLists
from tessaray_dask.load import check_ids, check_rows, chunks, fill

__all__ = [
    "FileRows",
    "GraphRows",
    "Recipe",
    "Shard",
    "SourceChangedError",
    "StoreFile",
    "checksum",
    "range_search_shard",
    "search_shard",
]

# dask's compute is not annotated; it is called through this.
_compute: Any = dask.base.compute


class SourceChangedError(RuntimeError):
    """The rows a shard is (re)built from are not the rows it was planned on."""


@dataclasses.dataclass(frozen=True)
class FileRows:
    """Rows ``start:stop`` of a float32 ``.npy`` file, and the same range of
    an optional uint64 ids file (ids default to the row numbers)."""

    path: str
    ids_path: str | None
    start: int
    stop: int
    vector_size: int
    checksum: int | None = None

    def open(self) -> tuple[np.ndarray, np.ndarray | None]:
        rows = np.load(self.path, mmap_mode="r", allow_pickle=False)
        if rows.dtype != np.float32 or rows.ndim != 2 or rows.shape[1] != self.vector_size or len(rows) < self.stop:
            raise SourceChangedError(
                f"{self.path} holds {rows.dtype} rows of shape {rows.shape}, but {self.describe()} "
                f"were planned as float32 rows of {self.vector_size}"
            )
        ids = None
        if self.ids_path is not None:
            ids = np.load(self.ids_path, mmap_mode="r", allow_pickle=False)
            if ids.dtype != np.uint64 or ids.ndim != 1 or len(ids) < self.stop:
                raise SourceChangedError(
                    f"{self.ids_path} holds {ids.dtype} ids of shape {ids.shape}, "
                    f"but {self.describe()} need uint64 ids"
                )
            ids = ids[self.start : self.stop]
        return rows[self.start : self.stop], ids

    def describe(self) -> str:
        return f"rows {self.start}:{self.stop} of {self.path}"


@dataclasses.dataclass(frozen=True)
class GraphRows:
    """One row block of a dask array: the graph that computes it, and the
    block's ids (a graph, an array, or None for the row numbers)."""

    rows: Any
    ids: Any
    start: int
    stop: int
    vector_size: int
    checksum: int | None = None

    def open(self) -> tuple[np.ndarray, np.ndarray | None]:
        rows, ids = _compute(self.rows, self.ids, scheduler="sync")
        rows = np.asarray(rows)
        check_rows(rows)
        if rows.shape != (self.stop - self.start, self.vector_size):
            raise SourceChangedError(f"{self.describe()} computed to shape {rows.shape}")
        return rows, check_ids(ids, len(rows))

    def describe(self) -> str:
        return f"rows {self.start}:{self.stop} of a dask array"


# The members of a file that tessaray_bulk.save writes, in the order in which
# a store file's checksum holds their CRC-32s.
STORE_MEMBERS = ("blocks.npy", "tail.npy", "roots.npy", "ids.npy")


def members_checksum(path: str) -> int:
    """The CRC-32s of a store file's members, from its zip directory alone
    (the end of the file), as one number: the first member's in the top 32
    bits."""
    with zipfile.ZipFile(path) as archive:
        listed = {info.filename: info.CRC for info in archive.infolist()}
    if sorted(listed) != sorted(STORE_MEMBERS):
        raise SourceChangedError(f"{path} holds {sorted(listed)}, not the members of a saved store")
    total = 0
    for name in STORE_MEMBERS:
        total = total << 32 | listed[name]
    return total


@dataclasses.dataclass(frozen=True)
class StoreFile:
    """A store saved by tessaray_bulk.save, opened in place: rows
    ``start:stop`` of the sharded store, with the file's own ids."""

    path: str
    start: int
    stop: int
    vector_size: int
    checksum: int | None = None

    def build(self) -> Vectorstore:
        """The store the file holds, its CRC-32s verified against its data
        (one sequential read, which also brings the rows into the page
        cache) and its directory and shape against the plan."""
        store = tessaray_bulk.open(self.path, verify=True)
        # Listed after the open: a file replaced in between is refused.
        crc = members_checksum(self.path)
        held = (store.vector_size, len(store))
        if held == (self.vector_size, self.stop - self.start) and self.checksum in (None, crc):
            return store
        del store  # the exception's frames would keep its mapping
        raise SourceChangedError(
            f"{self.describe()} changed since the store was built (now {held[1]} rows of {held[0]}, member "
            f"CRC-32s {crc:032x}; planned {self.stop - self.start} rows of {self.vector_size}, "
            f"{self.checksum or 0:032x}): the shard is not rebuilt from different data; "
            "build a new store from the new files"
        )

    def describe(self) -> str:
        return f"rows {self.start}:{self.stop} of {self.path}"


Recipe = FileRows | GraphRows | StoreFile


def checksum(recipe: Recipe) -> int:
    """The CRC-32 of the rows (and ids) the recipe reads now; of a store
    file, the CRC-32s its directory lists."""
    if isinstance(recipe, StoreFile):
        return members_checksum(recipe.path)
    rows, ids = recipe.open()
    return fill(None, chunks(rows, ids, recipe.start))


class Shard:
    """A store built on a worker from its recipe (one insert_many call per
    chunk of rows read, or a store file opened in place), checked against the
    recipe's checksum.

    Pickles as its recipe.  A copy unpickled elsewhere (moved or spilled by
    dask) builds its store at its first search, inside that search's task or
    call, so that a source that changed meanwhile raises SourceChangedError
    to the caller instead of failing in dask's data transfer."""

    def __init__(self, recipe: Recipe, n_threads: int | None, *, build: bool = True, nbytes: int = 0) -> None:
        self.recipe = recipe
        self.n_threads = n_threads
        self._lock = threading.Lock()
        self._store: Vectorstore | None = None
        # The memory of the store, as its builder measured it: what a copy
        # not built yet will hold, since it is built from the same rows.
        self._nbytes = nbytes
        if build:
            self._store = self._build()

    def _build(self) -> Vectorstore:
        recipe = self.recipe
        store = recipe.build() if isinstance(recipe, StoreFile) else self._fill(recipe)
        # An opened store's rows are in the page cache, which every process
        # that opened the file shares, not in the worker's own memory: it
        # holds only what it copied (nothing, as shards are never written).
        self._nbytes = tessaray_bulk.memory_size(store)
        return store

    def _fill(self, recipe: FileRows | GraphRows) -> Vectorstore:
        rows, ids = recipe.open()
        store = Vectorstore(recipe.vector_size)
        crc = fill(store, chunks(rows, ids, recipe.start))
        if recipe.checksum is not None and crc != recipe.checksum:
            raise SourceChangedError(
                f"{recipe.describe()} changed since the store was built (CRC-32 {crc:08x}, "
                f"expected {recipe.checksum:08x}): the shard is not rebuilt from different data; "
                "build a new store from the new source"
            )
        if recipe.checksum is None:
            self.recipe = dataclasses.replace(recipe, checksum=crc)
        return store

    @property
    def store(self) -> Vectorstore:
        with self._lock:
            if self._store is None:
                self._store = self._build()
            return self._store

    def __reduce__(self) -> tuple[Any, ...]:
        return (_arrived, (self.recipe, self.n_threads, self._nbytes))

    def __sizeof__(self) -> int:
        # dask's sizeof falls back to sys.getsizeof, which calls this; the
        # store's memory is the module's, which the object's size leaves out.
        return object.__sizeof__(self) + self._nbytes

    def search(self, queries: Any, top_k: int, allow: Filter = None) -> Any:
        """The shard's answers to a batch of queries: float32 scores and
        uint64 ids, one row of min(top_k, allowed rows) per query.  ``allow``
        is None, this shard's slice of a boolean row mask, or uint64 ids.
        With per-query lists, where each query has answers of its own
        length: a list of ``(score, id)`` lists, one per query."""
        if isinstance(allow, QueryLists):
            return tessaray_bulk.search_batch(self.store, queries, top_k, self.n_threads, allow=allow.pair())
        scores, ids = tessaray_bulk.search_batch(
            self.store, queries, top_k, self.n_threads, arrays=True, allow=allow
        )
        # Arrays over the module's buffers (no copy); memoryviews do not pickle.
        return np.asarray(scores), np.asarray(ids)

    def range_search(
        self, queries: Any, threshold: float, allow: Filter = None, max_results: int | None = None
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every allowed row scoring at least ``threshold``, per query, as
        tessaray_bulk.range_search gives them: lims, scores, ids."""
        lists = allow.pair() if isinstance(allow, QueryLists) else allow
        lims, scores, ids = tessaray_bulk.range_search(
            self.store, queries, threshold, self.n_threads, allow=lists, max_results=max_results
        )
        return np.asarray(lims), np.asarray(scores), np.asarray(ids)


def _arrived(recipe: Recipe, n_threads: int | None, nbytes: int) -> Shard:
    return Shard(recipe, n_threads, build=False, nbytes=nbytes)


def search_shard(
    shard: Shard, queries: Any, top_k: int, allow: Filter = None
) -> Any:
    """A shard's answers, as a task or on a worker's task thread."""
    return shard.search(queries, top_k, allow)


def range_search_shard(
    shard: Shard, queries: Any, threshold: float, allow: Filter = None, max_results: int | None = None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A shard's rows at or above ``threshold``, as a task or on a worker's task thread."""
    return shard.range_search(queries, threshold, allow, max_results)

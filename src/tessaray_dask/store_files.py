"""store_files.py: saved store files as shards: their recipes, planned on the workers, and rows saved as shard files."""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from distributed import Client

import tessaray_bulk
from tessaray import Vectorstore
from tessaray_dask.load import check_ids, load_store, rows_of
from tessaray_dask.placement import spread, wait_all, workers_of
from tessaray_dask.shard import StoreFile, members_checksum

__all__ = ["save_shards", "store_file_recipes"]


def store_file_header(path: str) -> tuple[int, int, int]:
    """The rows, the vector size and the members' CRC-32s of a saved store
    file, from its directory and headers (opening it without verifying
    reads no rows)."""
    store = tessaray_bulk.open(path, verify=False)
    return len(store), store.vector_size, members_checksum(path)


def store_file_recipes(
    client: Client, paths: Sequence[str | os.PathLike[str]], timeout: float | None
) -> list[StoreFile]:
    """One recipe per file, in order, each read on a worker at its absolute
    path; the files must hold stores of one vector size."""
    c: Any = client
    absolute = [os.path.abspath(p) for p in paths]
    workers = workers_of(client)
    headers = [c.submit(store_file_header, p, pure=False, **spread(workers, i)) for i, p in enumerate(absolute)]
    wait_all(headers, timeout)
    recipes = []
    start = 0
    for path, (n, d, crc) in zip(absolute, c.gather(headers)):
        recipes.append(StoreFile(path, start, start + n, d, crc))
        start += n
    sizes = {r.vector_size for r in recipes}
    if len(sizes) > 1:
        raise ValueError(f"the store files hold vectors of different sizes: {sorted(sizes)}")
    return recipes


def save_shards(
    source: Vectorstore | str | os.PathLike[str] | npt.ArrayLike,
    ids: str | os.PathLike[str] | npt.ArrayLike | None = None,
    *,
    folder: str | os.PathLike[str],
    shards: int,
) -> list[str]:
    """Saves a store, or rows as ``load_store`` reads them (ids default to
    the row numbers), as ``shards`` store files of contiguous row ranges in
    ``folder`` (``shard-0.npz`` and on, replaced if there), and returns their
    absolute paths, in row order: what ``ShardedStore.from_store_files`` opens."""
    if shards < 1:
        raise ValueError(f"shards must be at least 1, not {shards}")
    id_array: np.ndarray | None
    if isinstance(source, Vectorstore):
        if ids is not None:
            raise ValueError("a store's ids are its own; ids must be None")
        rows, id_array = map(np.asarray, tessaray_bulk.export(source))
    else:
        rows = rows_of(source)
        id_array = check_ids(ids, len(rows))
    n = len(rows)
    bounds = [n * i // shards for i in range(shards + 1)]
    paths = []
    for i, (a, b) in enumerate(zip(bounds, bounds[1:])):
        range_ids = np.arange(a, b, dtype=np.uint64) if id_array is None else id_array[a:b]
        path = os.path.abspath(os.path.join(folder, f"shard-{i}.npz"))
        tessaray_bulk.save(load_store(rows[a:b], range_ids), path)
        paths.append(path)
    return paths

"""placement.py: what a ShardedStore's shards are built from and where: recipes with checksums, spread over the workers."""
from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any, cast

import distributed
import numpy as np
from distributed import Client, Future

from tessaray_dask.shard import Recipe, checksum

# distributed's wait is not annotated; it is called through this.
_wait: Any = distributed.wait


def npy_header(path: str, ids_path: str | None) -> tuple[int, int]:
    """The rows and columns of a .npy file of float32 rows, and its ids file checked against it."""
    rows = np.load(path, mmap_mode="r", allow_pickle=False)
    if rows.dtype != np.float32 or rows.ndim != 2:
        raise TypeError(f"{path} must hold a two-dimensional float32 array, not {rows.dtype} of shape {rows.shape}")
    if ids_path is not None:
        ids = np.load(ids_path, mmap_mode="r", allow_pickle=False)
        if ids.dtype != np.uint64 or ids.shape != rows.shape[:1]:
            raise TypeError(f"{ids_path} must hold {len(rows)} uint64 ids, not {ids.dtype} of shape {ids.shape}")
    return rows.shape[0], rows.shape[1]


def spread(workers: Sequence[str], i: int) -> dict[str, Any]:
    """Puts the i-th shard on the i-th worker (round robin), loosely: dask may
    place it elsewhere, and does after that worker is lost."""
    if not workers:
        return {}
    return {"workers": [workers[i % len(workers)]], "allow_other_workers": True}


def with_checksums(
    client: Client, recipes: Sequence[Recipe], workers: list[str], timeout: float | None
) -> list[Recipe]:
    """The recipes with the checksums of the rows they read now, taken
    before any shard is built, so that every copy of a recipe the cluster
    holds, including the one a lost shard is rebuilt from, carries one."""
    c: Any = client
    sums = [c.submit(checksum, r, pure=False, **spread(workers, i)) for i, r in enumerate(recipes)]
    wait_all(sums, timeout)
    return [dataclasses.replace(r, checksum=s) for r, s in zip(recipes, c.gather(sums))]


def workers_of(client: Client) -> list[str]:
    return sorted(cast(Any, client).scheduler_info()["workers"])


def wait_all(futures: Sequence[Future], timeout: float | None) -> None:
    """Waits for every future; raises the first one's error, if any."""
    _wait(futures, timeout=timeout)
    for f in futures:
        if f.status == "error":
            cast(Any, f).result()

"""arguments.py: what a ShardedStore checks of a search's arguments on the client, before any worker is asked.

The worker count, the threshold, and the row filter cut into each shard's
part: a shard holds consecutive rows, so a row mask is sliced, and an id
list, or the per-query id lists, go to every shard whole.
"""
from __future__ import annotations

import dataclasses
import itertools
import math
import operator
from collections.abc import Buffer, Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np

import tessaray_bulk
from tessaray import Vectorstore


def n_threads_arg(n_threads: SupportsIndex | None) -> int | None:
    if n_threads is None:
        return None
    n = operator.index(n_threads)
    if n < 1:
        raise ValueError(f"n_threads must be at least 1 or None, not {n}")
    return n


def is_index(value: Any) -> bool:
    try:
        operator.index(value)
    except TypeError:
        return False
    return True


def threshold_arg(threshold: SupportsFloat | SupportsIndex) -> float:
    if isinstance(threshold, (str, bytes, bytearray)):
        raise TypeError(f"threshold must be a real number, not {type(threshold).__name__}")
    t = float(threshold)
    if math.isnan(t):
        raise ValueError("threshold is NaN")
    return t


@dataclasses.dataclass(frozen=True)
class QueryLists:
    """Per-query id lists, as ``allow=(lims, ids)`` gives them: query ``q``
    may be answered with the rows whose id is in ``ids[lims[q]:lims[q + 1]]``."""

    lims: np.ndarray
    ids: np.ndarray

    def block(self, start: int, stop: int) -> QueryLists:
        """The lists of queries ``start:stop``, as a batch of those alone takes them."""
        a, b = int(self.lims[start]), int(self.lims[stop])
        return QueryLists(self.lims[start : stop + 1] - self.lims[start], self.ids[a:b])

    def pair(self) -> tuple[np.ndarray, np.ndarray]:
        return self.lims, self.ids


Filter = np.ndarray | QueryLists | None


def query_lists(allow: tuple[Any, Any], queries: Any, vector_size: int) -> QueryLists:
    """Per-query lists as uint64 arrays, checked against the queries as
    tessaray_bulk checks them (by a call on an empty store, so that a
    refusal reads the same)."""
    lims, ids = (np.asarray(memoryview(a)) if isinstance(a, Buffer) else list(a) for a in allow)
    tessaray_bulk.search_batch(Vectorstore(vector_size), queries, 0, allow=(lims, ids))
    return QueryLists(np.asarray(lims, dtype=np.uint64), np.asarray(ids, dtype=np.uint64))


def shard_filters(allow: Any, lengths: Sequence[int], queries: Any, vector_size: int) -> list[Filter]:
    """Each shard's part of a row filter, for shards of `lengths` rows in
    row order: its slice of a row mask, every id as one uint64 array, or the
    per-query lists whole.  A mask of the wrong length, or lists that do not
    fit the queries, are refused here, before any shard is asked."""
    count = len(lengths)
    rows = sum(lengths)
    if allow is None:
        return [None] * count
    ids: np.ndarray
    if isinstance(allow, Buffer):
        array = allow if isinstance(allow, np.ndarray) else np.asarray(memoryview(allow))
        if array.dtype == np.bool_:
            if array.ndim != 1:
                raise ValueError(f"allow is a boolean buffer of {array.ndim} dimensions, not a row mask of one")
            if len(array) != rows:
                raise ValueError(f"allow has length {len(array)} but the store has {rows} rows")
            bounds = itertools.accumulate(lengths, initial=0)
            return [np.ascontiguousarray(array[a:b]) for a, b in itertools.pairwise(bounds)]
        if array.dtype.kind not in "ui" or array.ndim != 1:
            raise TypeError(
                f"allow must be a one-dimensional boolean row mask or integer ids, "
                f"not {array.dtype} of shape {array.shape}"
            )
        if array.dtype.kind == "i" and len(array) and array.min() < 0:
            raise OverflowError("ids must lie in 0..2**64-1")
        ids = np.ascontiguousarray(array, dtype=np.uint64)
    elif isinstance(allow, tuple) and len(allow) == 2 and not any(map(is_index, allow)):
        return [query_lists(allow, queries, vector_size)] * count
    else:
        try:
            ids = np.fromiter((operator.index(i) for i in allow), dtype=np.uint64)
        except OverflowError:
            raise OverflowError("ids must lie in 0..2**64-1") from None
    return [ids] * count

"""arguments.py: what a ShardedStore checks of a search's arguments on the client, before any worker is asked.

The worker count, the threshold, and the row filter cut into each shard's
part: a shard holds consecutive rows, so a row mask is sliced, and an id
list goes to every shard whole.
"""
from __future__ import annotations

import itertools
import math
import operator
from collections.abc import Buffer, Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np


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


def shard_filters(allow: Any, lengths: Sequence[int]) -> list[np.ndarray | None]:
    """Each shard's part of a row filter, for shards of `lengths` rows in
    row order: its slice of a row mask, or every id as one uint64 array.  A
    mask of the wrong length is refused here, before any shard is asked."""
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
        raise TypeError("a sharded store takes a row mask or ids as allow, not (lims, ids) lists per query")
    else:
        try:
            ids = np.fromiter((operator.index(i) for i in allow), dtype=np.uint64)
        except OverflowError:
            raise OverflowError("ids must lie in 0..2**64-1") from None
    return [ids] * count

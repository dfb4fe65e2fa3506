"""tasks.py: a search sent to the shards as dask tasks, the way that waits for a shard being rebuilt.

One task per shard and block of queries, carrying the block and depending on
the shard alone, so that dask runs it where the shard is, once it is there,
and raises what its rebuild raised.  A large batch is split into blocks of
about _TASK_QUERY_BYTES each; per-query lists go with their block.
"""
from __future__ import annotations

import uuid
from collections.abc import Sequence
from typing import Any

import numpy as np
from distributed import Client, Future

from tessaray_dask.arguments import QueryLists
from tessaray_dask.placement import wait_all
from tessaray_dask.service import OPERATIONS

# Each task carries at most about this many bytes of queries, well below the
# size at which dask warns about large graphs.
_TASK_QUERY_BYTES = 4 << 20


def by_tasks(
    client: Client,
    shards: Sequence[Future],
    operation: str,
    vectors: Any,
    args: list[tuple[Any, ...]],
    vector_size: int,
    timeout: float | None,
) -> list[list[Any]]:
    """Each shard's answer to ``operation`` with its own ``args``, per block
    of queries."""
    n = len(vectors)
    size = vectors.nbytes if isinstance(vectors, np.ndarray) else n * vector_size * 8
    step = max(1, n * _TASK_QUERY_BYTES // max(size, 1))
    function = OPERATIONS[operation]

    def of_block(arg: Any, start: int) -> Any:
        return arg.block(start, min(start + step, n)) if isinstance(arg, QueryLists) else arg

    c: Any = client
    tasks = [
        [
            c.submit(
                function,
                shard,
                vectors[start : start + step],
                *(of_block(x, start) for x in a),
                pure=False,
                key=f"tessaray-search-{uuid.uuid4().hex}",
            )
            for shard, a in zip(shards, args)
        ]
        for start in range(0, n, step)
    ]
    try:
        wait_all([t for ts in tasks for t in ts], timeout)
        return [c.gather(ts) for ts in tasks]
    finally:
        for ts in tasks:
            for t in ts:
                t.release()

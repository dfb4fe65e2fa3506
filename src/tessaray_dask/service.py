"""service.py: the worker's side of a direct search.

A worker plugin installs, on every worker present and future, a handler that
answers a batch of queries from the shards the worker holds: one native
batch per shard (a top-k or a threshold search, see ``OPERATIONS``), run on
the worker's task threads rather than on its event loop.  The client
(sharded.py) calls it by name; a shard that is not on the worker is
answered ``missing``, and the client then falls back to tasks.
"""
from __future__ import annotations

import asyncio
from collections.abc import Callable, Coroutine
from typing import Any

from distributed import WorkerPlugin

from tessaray_dask import _distributed
from tessaray_dask.shard import range_search_shard, search_shard

__all__ = ["HANDLER", "OPERATIONS", "SearchService"]

# The name the client calls the handler by.
HANDLER = "tessaray_search"

# What a shard can be asked, by the name the client sends: each is called as
# ``function(shard, queries, *args)`` with that shard's own ``args``.
OPERATIONS: dict[str, Callable[..., Any]] = {
    "search": search_shard,
    "range_search": range_search_shard,
}


def search_handler(worker: Any) -> Callable[..., Coroutine[Any, Any, dict[str, Any]]]:
    """The worker's handler for a direct search of the shards it holds: runs
    each shard's search on the worker's task threads (not on its event
    loop), or answers ``missing`` when one of the shards is not there."""

    async def tessaray_search(
        keys: list[str], queries: Any, operation: str, args: list[tuple[Any, ...]]
    ) -> dict[str, Any]:
        function = OPERATIONS[operation]
        data = _distributed.worker_data(worker)
        try:
            shards = [data[key] for key in keys]
        except KeyError:
            return {"status": "OK", "missing": True}
        loop = asyncio.get_running_loop()
        executor = _distributed.task_executor(worker)
        answers = await asyncio.gather(
            *(loop.run_in_executor(executor, function, shard, queries, *a) for shard, a in zip(shards, args))
        )
        return {"status": "OK", "result": _distributed.serialized(answers)}

    return tessaray_search


class SearchService(WorkerPlugin):
    """Installs the direct search handler on every worker, including workers
    that join or restart later."""

    name = "tessaray-search"

    def setup(self, worker: Any) -> None:
        _distributed.add_handler(worker, HANDLER, search_handler(worker))

    def teardown(self, worker: Any) -> None:
        _distributed.remove_handler(worker, HANDLER)

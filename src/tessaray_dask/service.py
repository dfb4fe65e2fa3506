"""service.py: the worker's side of a direct search.

A worker plugin installs, on every worker present and future, a handler that
answers a batch of queries from the shards the worker holds: one native
batch per shard, run on the worker's task threads rather than on its event
loop.  The client (sharded.py) calls it by name; a shard that is not on the
worker is answered ``missing``, and the client then falls back to tasks.
"""
from __future__ import annotations

import asyncio
from collections.abc import Callable, Coroutine
from typing import Any

from distributed import WorkerPlugin
from distributed.protocol.serialize import to_serialize as _to_serialize

from tessaray_dask.shard import search_shard

__all__ = ["HANDLER", "SearchService"]

# The name the client calls the handler by.
HANDLER = "tessaray_search"

# distributed's to_serialize is not annotated; it is called through this.
to_serialize: Any = _to_serialize


def search_handler(worker: Any) -> Callable[..., Coroutine[Any, Any, dict[str, Any]]]:
    """The worker's handler for a direct search of the shards it holds: runs
    each shard's search on the worker's task threads (not on its event
    loop), or answers ``missing`` when one of the shards is not there."""

    async def tessaray_search(keys: list[str], queries: Any, top_k: int) -> dict[str, Any]:
        try:
            shards = [worker.data[key] for key in keys]
        except KeyError:
            return {"status": "OK", "missing": True}
        loop = asyncio.get_running_loop()
        executor = worker.executors["default"]
        answers = await asyncio.gather(
            *(loop.run_in_executor(executor, search_shard, shard, queries, top_k) for shard in shards)
        )
        return {"status": "OK", "result": to_serialize(answers)}

    return tessaray_search


class SearchService(WorkerPlugin):
    """Installs the direct search handler on every worker, including workers
    that join or restart later."""

    name = "tessaray-search"

    def setup(self, worker: Any) -> None:
        worker.handlers[HANDLER] = search_handler(worker)

    def teardown(self, worker: Any) -> None:
        worker.handlers.pop(HANDLER, None)

"""sharded.py: one store spread over the workers of a dask.distributed cluster.

Each shard is a contiguous range of rows held in a tessaray store on one
worker, built there from its recipe and checked against the recipe's
checksum (shard.py).

A search asks each worker holding shards directly, through the handler that
the worker plugin of service.py installs, to run one tessaray_bulk.search_batch
(or range_search) call per shard on the worker's own task threads, with the
shard's slice of a row mask or every listed id; the queries travel to the
shards, never the shards to the queries.  When a shard is not where it was
(its worker died, it is being rebuilt), the search falls back to one dask
task per shard that carries the queries and depends on the shard alone, so
it waits for the rebuild and raises what the rebuild raised.  Where the
shards are is the scheduler's word, asked again whenever the answers are
slow to come: a remembered address of a worker that died is never waited on
(distributed's connect retries a refused address until its connect timeout,
30 s by default).  The per-shard answers merge exactly (see merge.py).
"""
from __future__ import annotations

import asyncio
import operator
import os
import time
import uuid
from collections.abc import Sequence
from typing import Any, Self, SupportsFloat, SupportsIndex, cast

import numpy as np
import numpy.typing as npt
from distributed import Client, Future

from tessaray_dask import _distributed
from tessaray_dask.arguments import QueryLists, n_threads_arg, shard_filters, threshold_arg
from tessaray_dask.load import check_ids, check_rows
from tessaray_dask.merge import concatenate_ranges, merge, merge_arrays, merge_ranges
from tessaray_dask.placement import npy_header, spread, wait_all, with_checksums, workers_of
from tessaray_dask.service import HANDLER, SearchService
from tessaray_dask.shard import FileRows, GraphRows, Recipe, Shard, SourceChangedError
from tessaray_dask.store_files import store_file_recipes
from tessaray_dask.tasks import by_tasks

__all__ = ["ShardedStore", "SourceChangedError"]

# While a direct search's answers are pending, the scheduler is asked this
# often (seconds) whether the workers asked still hold their shards.
_LOOK_AGAIN = 0.25


class _Missing(Exception):
    """A shard was not on the worker it was looked for on."""


class ShardedStore:
    """A read-only store whose rows are spread over a dask cluster's workers.

    Build one with ``from_npy``, ``from_dask_array`` or ``from_store_files``.  ``search`` and
    ``search_batch`` return exactly what one ``tessaray.Vectorstore`` holding
    every row in order returns, ties and NaN scores included, and
    ``search_batch`` and ``range_search`` exactly what
    ``tessaray_bulk.search_batch`` and ``tessaray_bulk.range_search`` return
    on such a store, row filter included.  Each shard searches with
    ``n_threads`` threads: 1 (the default) keeps one processor busy per task,
    as the worker's task thread would, so several workers on one host do not
    oversubscribe it; None uses every processor the worker may use.
    """

    def __init__(
        self,
        client: Client,
        recipes: Sequence[Recipe],
        *,
        n_threads: SupportsIndex | None = 1,
        timeout: float | None = None,
    ) -> None:
        self._closed = True
        if not recipes:
            raise ValueError("a sharded store needs at least one shard")
        threads = n_threads_arg(n_threads)
        c: Any = client
        self._client = c
        self._vector_size = recipes[0].vector_size
        self._lengths = [r.stop - r.start for r in recipes]
        tag = uuid.uuid4().hex
        self._keys = [f"tessaray-shard-{i}-{tag}" for i in range(len(recipes))]
        workers = workers_of(client)
        c.register_plugin(SearchService())
        self._futures: tuple[Future, ...] = tuple(
            c.submit(Shard, r, threads, key=key, **spread(workers, i))
            for i, (r, key) in enumerate(zip(recipes, self._keys))
        )
        self._closed = False
        # Where the shards were at the last direct search, {worker: shard
        # indices}: the first guess of the next one, which checks it with the
        # scheduler while its answers are pending.
        self._where: dict[str, list[int]] | None = None
        try:
            wait_all(self._futures, timeout)
            # The placement above was only for the first build: a shard lost
            # with its worker is rebuilt on any worker, including one that
            # joins later.
            _distributed.lift_restrictions(client, self._keys)
        except BaseException:
            self.close()
            raise

    @classmethod
    def from_npy(
        cls,
        client: Client,
        path: str | os.PathLike[str],
        ids_path: str | os.PathLike[str] | None = None,
        *,
        shards: SupportsIndex | None = None,
        n_threads: SupportsIndex | None = 1,
        timeout: float | None = None,
    ) -> Self:
        """Shards the rows of a two-dimensional float32 ``.npy`` file into
        ``shards`` contiguous ranges (default: one per worker).  The workers
        read the file (and the uint64 ``ids_path`` file, if given; ids default
        to the row numbers) at the same path, memory-mapped; relative paths
        are taken from the client's working folder."""
        c: Any = client
        count = None if shards is None else operator.index(shards)
        if count is not None and count < 1:
            raise ValueError(f"shards must be at least 1, not {count}")
        path = os.path.abspath(path)
        ids = None if ids_path is None else os.path.abspath(ids_path)
        n, d = c.submit(npy_header, path, ids, pure=False).result(timeout)
        workers = workers_of(client)
        count = count or max(len(workers), 1)
        bounds = [n * i // count for i in range(count + 1)]
        planned = [FileRows(path, ids, a, b, d) for a, b in zip(bounds, bounds[1:])]
        recipes = with_checksums(client, planned, workers, timeout)
        return cls(client, recipes, n_threads=n_threads, timeout=timeout)

    @classmethod
    def from_dask_array(
        cls,
        client: Client,
        array: Any,
        ids: npt.ArrayLike | None = None,
        *,
        n_threads: SupportsIndex | None = 1,
        timeout: float | None = None,
    ) -> Self:
        """One shard per row chunk of a two-dimensional dask array, each built
        on a worker from that chunk's graph (which is its recipe: it should
        read from a source the workers can reach rather than embed a large
        in-memory array).  ``ids``: one integer per row, a dask or numpy
        array; default the row numbers."""
        import dask.array as da

        if array.ndim != 2:
            raise ValueError(f"rows must be two-dimensional, not of shape {array.shape}")
        check_rows(np.empty((0, 0), dtype=array.dtype))
        if any(np.isnan(c) for c in array.chunks[0]):
            raise ValueError("the array's row chunk sizes must be known (see dask's compute_chunk_sizes)")
        if array.numblocks[1] != 1:
            array = array.rechunk({1: -1})
        n, d = array.shape
        starts = np.cumsum((0,) + array.chunks[0]).tolist()
        row_blocks = array.to_delayed(optimize_graph=True)[:, 0]
        id_blocks: Sequence[Any]
        if ids is None:
            id_blocks = [None] * len(row_blocks)
        elif isinstance(ids, da.core.Array):
            if ids.shape != (n,):
                raise ValueError(f"ids must have shape ({n},), not {ids.shape}")
            id_blocks = cast(Any, ids).rechunk((array.chunks[0],)).to_delayed(optimize_graph=True)
        else:
            id_array = check_ids(ids, n)
            assert id_array is not None
            id_blocks = [id_array[a:b] for a, b in zip(starts, starts[1:])]
        planned = [
            GraphRows(r, i, a, b, d) for r, i, a, b in zip(row_blocks, id_blocks, starts, starts[1:])
        ]
        recipes = with_checksums(client, planned, workers_of(client), timeout)
        return cls(client, recipes, n_threads=n_threads, timeout=timeout)

    @classmethod
    def from_store_files(
        cls,
        client: Client,
        paths: Sequence[str | os.PathLike[str]],
        *,
        n_threads: SupportsIndex | None = 1,
        timeout: float | None = None,
    ) -> Self:
        """One shard per file saved by ``tessaray_bulk.save``, rows in file
        order, opened in place on a worker (at the same absolute path), so
        that workers on one host share the page cache's copy of a file."""
        return cls(client, store_file_recipes(client, paths, timeout), n_threads=n_threads, timeout=timeout)

    # -- queries -------------------------------------------------------------

    def search(
        self, vector: Any, top_k: SupportsIndex, *, allow: Any = None, timeout: float | None = None
    ) -> list[tuple[float, int]]:
        """The ``top_k`` best ``(score, id)`` pairs for one query, best first."""
        return self.search_batch([vector], top_k, allow=allow, timeout=timeout)[0]

    def search_batch(
        self, vectors: Any, top_k: SupportsIndex, *, allow: Any = None, timeout: float | None = None
    ) -> list[list[tuple[float, int]]]:
        """One answer per query (a sequence of vectors or a 2-D array).  Each
        worker holding shards gets the whole batch once and searches each of
        its shards with one native batch call.

        ``allow`` keeps the search to some rows, as in
        ``tessaray_bulk.search_batch``: None (every row), a one-dimensional
        boolean buffer of ``len(self)`` (a row mask, of which each shard gets
        its own slice), integer ids (a buffer or an iterable; every shard
        gets them all, and keeps the rows whose id is listed), or per-query
        id lists ``(lims, ids)`` (every shard gets them all)."""
        self._check_open()
        k = operator.index(top_k)
        if k < 0:
            raise ValueError(f"top_k must be non-negative, not {k}")
        if not isinstance(vectors, np.ndarray):
            vectors = list(vectors)
        allowed = shard_filters(allow, self._lengths, vectors, self._vector_size)
        if len(vectors) == 0:
            return []
        blocks = self._answers("search", vectors, [(k, a) for a in allowed], timeout)
        if isinstance(allowed[0], QueryLists):
            # Each shard answers each query with a list of its own length.
            return [merge(lists, k) for block in blocks for lists in zip(*block)]
        return [answer for block in blocks for answer in merge_arrays(block, k)]

    def range_search(
        self,
        queries: Any,
        threshold: SupportsFloat | SupportsIndex,
        *,
        allow: Any = None,
        max_results: SupportsIndex | None = None,
        timeout: float | None = None,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every allowed row whose score for a query is at least
        ``threshold``, as ``tessaray_bulk.range_search`` gives them for one
        store holding every row: ``(lims, scores, ids)``, numpy arrays of
        uint64, float32 and uint64, query ``q``'s rows being
        ``scores[lims[q]:lims[q + 1]]`` (and the same slice of ``ids``), best
        first, equal scores in row order.  ``allow`` as in ``search_batch``.
        When more than ``max_results`` rows qualify over all queries, raises
        ValueError (each shard stops at ``max_results`` rows of its own)."""
        self._check_open()
        t = threshold_arg(threshold)
        limit = None if max_results is None else operator.index(max_results)
        if limit is not None and limit < 0:
            raise OverflowError(f"max_results must be non-negative or None, not {limit}")
        if not isinstance(queries, np.ndarray):
            queries = list(queries)
        allowed = shard_filters(allow, self._lengths, queries, self._vector_size)
        if len(queries) == 0:
            return np.zeros(1, dtype=np.uint64), np.zeros(0, dtype=np.float32), np.zeros(0, dtype=np.uint64)
        blocks = self._answers("range_search", queries, [(t, a, limit) for a in allowed], timeout)
        lims, scores, ids = concatenate_ranges([merge_ranges(block) for block in blocks])
        if limit is not None and len(scores) > limit:
            raise ValueError(f"more than max_results={limit} rows are at or above the threshold")
        return lims, scores, ids

    def _answers(
        self, operation: str, vectors: Any, args: list[tuple[Any, ...]], timeout: float | None
    ) -> list[list[Any]]:
        """Each shard's answer to ``operation`` (one of service.OPERATIONS,
        called with the shard's own ``args``), per block of queries: the
        whole batch as one block when asked directly, several blocks when it
        falls back to tasks."""
        end = None if timeout is None else time.monotonic() + timeout
        try:
            return [_distributed.run(self._client, self._ask, operation, vectors, args, timeout=timeout)]
        except TimeoutError:
            self._where = None
            raise
        except (_Missing, OSError):
            # A worker is gone or a shard is elsewhere: the tasks wait for
            # dask to rebuild it, and raise what the rebuild raised.
            self._where = None
            left = None if end is None else max(end - time.monotonic(), 0.0)
            return by_tasks(self._client, self._futures, operation, vectors, args, self._vector_size, left)

    async def _ask(self, operation: str, vectors: Any, args: list[tuple[Any, ...]]) -> list[Any]:
        """Each shard's answer, asked directly of a worker that holds it;
        raises _Missing when a shard is not where it was asked for."""
        c = self._client
        keys = self._keys
        plan = self._where
        if plan is None:
            holders = await _distributed.who_has(c, keys)
            plan = {}
            for i, key in enumerate(keys):
                if not holders.get(key):
                    raise _Missing(key)
                plan.setdefault(min(holders[key]), []).append(i)
        queries = _distributed.serialized(vectors)

        async def ask(address: str, indices: list[int]) -> list[Any]:
            reply = await _distributed.call_worker(
                c,
                address,
                HANDLER,
                keys=[keys[i] for i in indices],
                queries=queries,
                operation=operation,
                args=_distributed.serialized([args[i] for i in indices]),
            )
            if reply.get("missing"):
                raise _Missing(address)
            answers: list[Any] = reply["result"]
            return answers

        pending = asyncio.gather(*(ask(a, ix) for a, ix in plan.items()))
        try:
            # A worker that is gone is dropped by the scheduler at once, but
            # a request to its address would wait out the connect timeout:
            # while answers are pending, check that every worker asked still
            # holds the shards it was asked for.
            while not (await asyncio.wait({pending}, timeout=_LOOK_AGAIN))[0]:
                holders = await _distributed.who_has(c, keys)
                gone = [keys[i] for a, ix in plan.items() for i in ix if a not in holders.get(keys[i], ())]
                if gone and not pending.done():
                    raise _Missing(*gone)
            replies = pending.result()
        finally:
            if not pending.done():
                pending.cancel()
                # A cancelled gather ends with CancelledError as its
                # exception, which asyncio reports unless it is retrieved.
                pending.add_done_callback(lambda f: f.cancelled() or f.exception())
        self._where = plan
        per_shard: list[Any] = [None] * len(keys)
        for indices, answers in zip(plan.values(), replies):
            for i, answer in zip(indices, answers):
                per_shard[i] = answer
        return per_shard

    # -- the rest of the surface --------------------------------------------

    @property
    def vector_size(self) -> int:
        return self._vector_size

    @property
    def futures(self) -> tuple[Future, ...]:
        """The shards' futures, in row order."""
        return self._futures

    def __len__(self) -> int:
        return sum(self._lengths)

    def __repr__(self) -> str:
        state = ", closed" if self._closed else ""
        return f"ShardedStore(vector_size={self._vector_size}, len={len(self)}, shards={len(self._lengths)}{state})"

    def close(self) -> None:
        """Releases the shards on the workers.  Idempotent."""
        if not self._closed:
            self._closed = True
            for f in self._futures:
                cast(Any, f).release()

    def __enter__(self) -> Self:
        self._check_open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> Any:
        raise TypeError("a ShardedStore holds a dask client and cannot be pickled; build it again from its source")

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed ShardedStore")

"""ShardedStore on LocalClusters, built from .npy files, dask arrays and
saved store files: the same answers as one store (row filters and threshold
searches included, asked directly and through tasks), with the shards
staying where they are, after a shard moved and after one or every worker
died; a changed source is refused.  What the package takes from
distributed beyond its documented API is still there."""
import asyncio
import concurrent.futures
import contextlib
import functools
import os
import pickle
import re
import signal
import sys
import time

import numpy as np
import pytest

if os.environ.get("TESSARAY_SKIP_CLUSTER"):
    pytest.skip(os.environ["TESSARAY_SKIP_CLUSTER"], allow_module_level=True)
distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

import tessaray_bulk  # noqa: E402
from helpers import key  # noqa: E402
from tessaray_dask import ShardedStore, SourceChangedError, _distributed, load_store, save_shards, sharded, tasks  # noqa: E402
from tessaray_dask.merge import merge_arrays  # noqa: E402
from tessaray_dask.shard import search_shard  # noqa: E402

T = 60  # seconds for any one cluster call


@contextlib.contextmanager
def deadline(seconds):
    """Fails instead of hanging when a cluster call never returns."""

    def expired(*_):
        raise TimeoutError(f"no answer from the cluster within {seconds} s")

    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


@contextlib.contextmanager
def local_client(n_workers):
    # A LocalCluster closes a worker's nanny for good when no worker of that
    # name is registered 15 s (lost-worker-timeout) after any loss of it: a
    # worker killed twice within 15 s whose second restart is still under way
    # then (a few seconds on a busy host) never comes back.  Here the nannies
    # restart every killed worker, however long that takes.
    with dask.config.set({"distributed.deploy.lost-worker-timeout": "1h"}):
        with deadline(120):
            cluster = distributed.LocalCluster(
                n_workers=n_workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                worker_dashboard_address=None,
                # The scheduler's own HTTP routes, on a free port rather than 8787.
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            )
            client = distributed.Client(cluster)
        try:
            yield client
        finally:
            with deadline(120):
                client.close()
                cluster.close()


@pytest.fixture(scope="module")
def client():
    with local_client(2) as client:
        yield client


@pytest.fixture(autouse=True)
def guard(client):
    with deadline(3 * T):
        client.wait_for_workers(2, timeout=T)  # a killed one is back
        yield


def rows_with_ties(n=1000, d=8, seed=0):
    rows = np.random.default_rng(seed).integers(-3, 4, size=(n, d)).astype(np.float32)
    rows[n // 2 - 3 : n // 2 + 3] = rows[7]  # equal rows on both sides of the shard boundary
    rows[40:45] = 0.0
    return rows


@pytest.fixture
def npy(tmp_path):
    rows = rows_with_ties()
    ids = (np.arange(len(rows), dtype=np.uint64) * 7919) % 1000
    np.save(tmp_path / "rows.npy", rows)
    np.save(tmp_path / "ids.npy", ids)
    return tmp_path / "rows.npy", tmp_path / "ids.npy", load_store(rows, ids)


def shard_files(rows_path, ids_path, shards):
    """The rows and ids saved as store files of contiguous ranges, beside the .npy files."""
    return save_shards(rows_path, ids_path, folder=rows_path.parent, shards=shards)


def queries(rows):
    return np.vstack([rows[7], rows[40], -rows[3], rows[500:505]])


def assert_same(store, local, qs, top_k=12):
    assert store.search_batch(qs, top_k, timeout=T) == [local.search(q, top_k) for q in qs]
    assert store.search(qs[0].tolist(), top_k, timeout=T) == local.search(qs[0], top_k)


# Row filters, from the store's length and ids; "one shard" keeps rows 300:305
# alone, so that every other shard answers with no column at all.
ALLOWS = {
    "none": lambda n, ids: None,
    "mask": lambda n, ids: np.random.default_rng(1).random(n) < 0.3,
    "one shard": lambda n, ids: (np.arange(n) >= 300) & (np.arange(n) < 305),
    "ids": lambda n, ids: np.append(ids[::3], 5000).astype(np.uint64),  # 5000: no such id
    "id list": lambda n, ids: ids[5:40].tolist() + [2**64 - 1],
    "no ids": lambda n, ids: [],
    # Ten ids of its own for each of the eight queries (see queries()).
    "per query": lambda n, ids: (np.arange(0, 81, 10), np.resize(ids[::-7], 80)),
}


def exact(arrays):
    return [(a.dtype, a.tobytes()) for a in map(np.asarray, arrays)]


def assert_filtered_same(store, local, qs, ids, top_k=12):
    """Filtered and threshold searches answer as tessaray_bulk does on one store, bit for bit."""
    for name, make in ALLOWS.items():
        allow = make(len(local), ids)
        got = store.search_batch(qs, top_k, allow=allow, timeout=T)
        assert list(map(key, got)) == list(map(key, tessaray_bulk.search_batch(local, qs, top_k, allow=allow))), name
        for threshold in (0.9, 0.0):
            want = tessaray_bulk.range_search(local, qs, threshold, allow=allow)
            assert exact(store.range_search(qs, threshold, allow=allow, timeout=T)) == exact(want), (name, threshold)
    mask = ALLOWS["mask"](len(local), ids)
    want = tessaray_bulk.search_batch(local, qs[:1], top_k, allow=mask)[0]
    assert key(store.search(qs[0], top_k, allow=mask, timeout=T)) == key(want)
    total = len(tessaray_bulk.range_search(local, qs, 0.0)[1])
    want = exact(tessaray_bulk.range_search(local, qs, 0.0, max_results=total))
    assert exact(store.range_search(qs, 0.0, max_results=total, timeout=T)) == want
    with pytest.raises(ValueError, match=f"more than max_results={total - 1} rows"):
        store.range_search(qs, 0.0, max_results=total - 1, timeout=T)


def large_batch(qs):
    """The queries repeated into a batch of more than 1 MiB."""
    big = np.tile(qs, (-(-(1 << 20) // qs.nbytes) + 1, 1))
    assert big.nbytes > 1 << 20
    return big


def placement(client, store):
    return {k: sorted(ws) for k, ws in client.who_has(store.futures).items()}


async def moved(*_):
    raise sharded._Missing("a shard")


def no_work(*_):
    pytest.fail("a shard was asked")


@pytest.mark.parametrize("source, shards", [("npy", 2), ("dask", 4), ("files", 3)])
def test_same_answers_as_one_store(client, npy, monkeypatch, source, shards):
    rows_path, ids_path, local = npy
    rows, ids = np.load(rows_path), np.load(ids_path)
    if source == "npy":
        store = ShardedStore.from_npy(client, rows_path, ids_path, timeout=T)
    elif source == "dask":
        store = ShardedStore.from_dask_array(client, da.from_array(rows, chunks=(300, 3)), ids, n_threads=2, timeout=T)
    else:
        store = ShardedStore.from_store_files(client, shard_files(rows_path, ids_path, shards), timeout=T)
    with store:
        assert (len(store), store.vector_size, len(store.futures)) == (1000, 8, shards)
        assert_same(store, local, queries(rows))
        # A batch of any size goes to the shards: none moves or is copied.
        before = placement(client, store)
        qs = queries(rows)
        big = large_batch(qs)
        assert store.search_batch(big, 5, timeout=T) == [local.search(q, 5) for q in qs] * (len(big) // len(qs))
        assert placement(client, store) == before
        for top_k in (0, 1, 1000, 1500):
            assert store.search(rows[7], top_k, timeout=T) == local.search(rows[7], top_k)
        assert_filtered_same(store, local, qs, ids)
        with monkeypatch.context() as m:
            # Through tasks, three blocks of queries each.
            m.setattr(ShardedStore, "_ask", moved)
            m.setattr(tasks, "_TASK_QUERY_BYTES", qs.nbytes // 3)
            assert_filtered_same(store, local, qs, ids)
        with monkeypatch.context() as m:
            # A mask of the wrong length is refused before any shard is asked.
            m.setattr(ShardedStore, "_answers", no_work)
            bad = np.ones(len(rows) - 1, dtype=bool)
            with pytest.raises(ValueError) as refused:
                tessaray_bulk.search_batch(local, qs, 3, allow=bad)
            for search in (store.search_batch, store.range_search):
                for batch in (qs, []):
                    with pytest.raises(ValueError, match=re.escape(str(refused.value))):
                        search(batch, 3, allow=bad, timeout=T)
            # So are per-query lists that do not fit the queries, with the same message.
            lists = (np.arange(3), [1, 2])
            with pytest.raises(ValueError) as refused:
                tessaray_bulk.search_batch(local, qs, 3, allow=lists)
            for search in (store.search_batch, store.range_search):
                with pytest.raises(ValueError, match=re.escape(str(refused.value))):
                    search(qs, 3, allow=lists, timeout=T)
        with pytest.raises(TypeError, match="cannot be pickled"):
            pickle.dumps(store)
    with pytest.raises(ValueError, match="closed"):
        store.search(rows[0], 1)
    with pytest.raises(ValueError, match="shards must be at least 1"):
        ShardedStore.from_npy(client, rows_path, shards=0)


@pytest.mark.parametrize("source", ["npy", "files"])
def test_shard_moves_as_its_recipe(client, npy, source):
    rows_path, ids_path, local = npy
    if source == "npy":
        store = ShardedStore.from_npy(client, rows_path, ids_path, timeout=T)
    else:
        store = ShardedStore.from_store_files(client, shard_files(rows_path, ids_path, 2), timeout=T)
    with store:
        shard = store.futures[0]
        (home,) = client.who_has([shard])[shard.key]
        other = next(w for w in client.scheduler_info()["workers"] if w != home)
        # A task pinned to the other worker makes it fetch the shard, which
        # travels as its recipe and is rebuilt there.
        rows, ids = np.load(rows_path), np.load(ids_path)
        qs = queries(rows)
        # The size of the copy as it arrives, not built yet.
        size, unbuilt = client.submit(size_unbuilt, shard, workers=[other], allow_other_workers=False).result(T)
        moved = client.submit(search_shard, shard, qs, 12, workers=[other], allow_other_workers=False)
        first_half = load_store(rows[:500], ids[:500])
        assert merge_arrays([moved.result(T)], 12) == [first_half.search(q, 12) for q in qs]
        assert sorted(client.who_has([shard])[shard.key]) == sorted([home, other])
        # dask sees the memory the shard's store holds, on both workers, not
        # a small object's size; a copy not built yet reports what it will
        # hold.  A store opened in place holds none: its rows are the page
        # cache's.
        held = tessaray_bulk.memory_size(first_half) if source == "npy" else 0
        seen = client.nbytes([shard.key], summary=False)[shard.key]
        assert unbuilt, "the size was taken after the copy was built"
        assert held <= min(seen, size) <= max(seen, size) < held + 1024, (held, seen, size)
        assert_same(store, local, qs)


def size_unbuilt(shard):
    return sys.getsizeof(shard), shard._store is None


async def die():
    os._exit(1)  # (client.run waits for nothing only on coroutine functions)


def wait_until(done, what):
    end = time.monotonic() + T
    while not done():
        assert time.monotonic() < end, what
        time.sleep(0.1)


def back(client, store, n_workers):
    """Whether the nannies restarted every worker and the scheduler holds every shard again."""
    holders = client.who_has(store.futures)
    return len(client.scheduler_info()["workers"]) == n_workers and all(holders[f.key] for f in store.futures)


def delayed_npy(path, bounds):
    """A dask array over a .npy file read by a delayed reader, one block per range."""
    rows = dask.delayed(np.load)(str(path), mmap_mode="r")
    d = np.load(path, mmap_mode="r").shape[1]
    return da.concatenate(
        [da.from_delayed(rows[a:b], shape=(b - a, d), dtype=np.float32) for a, b in zip(bounds, bounds[1:])]
    )


@pytest.mark.parametrize(
    "source, event, changed, when",
    [
        ("npy", "one dies", False, "meanwhile"),
        ("npy", "one dies", False, "once back"),
        ("npy", "one dies", True, "meanwhile"),
        ("dask", "one dies", True, "meanwhile"),
        ("npy", "all die", False, "meanwhile"),
        ("npy", "all die", False, "once back"),
        ("npy", "only one dies", False, "meanwhile"),  # a cluster of one worker
        ("npy", "only one dies", False, "once back"),
        ("npy", "copied", True, "meanwhile"),
        ("files", "one dies", False, "meanwhile"),
        ("files", "one dies", True, "meanwhile"),
    ],
)
def test_lost_shard_rebuilt_or_refused(client, npy, monkeypatch, source, event, changed, when):
    """Shard 1 (rows 500:1000) of a store in use is lost or copied, the file
    may change meanwhile: the next large batch, issued at once or once the
    workers are back and the shards rebuilt, answers exactly or raises
    promptly."""
    rows_path, ids_path, local = npy
    # Batches that fall back to tasks are split into several tasks per shard.
    monkeypatch.setattr(tasks, "_TASK_QUERY_BYTES", 1 << 18)
    with contextlib.ExitStack() as stack:
        n_workers = 2
        if event == "only one dies":
            client = stack.enter_context(local_client(1))
            n_workers = 1
        if source == "npy":
            store = ShardedStore.from_npy(client, rows_path, ids_path, shards=2, timeout=T)
        elif source == "files":
            store = ShardedStore.from_store_files(client, shard_files(rows_path, ids_path, 2), timeout=T)
        else:
            local = load_store(rows_path)
            store = ShardedStore.from_dask_array(client, delayed_npy(rows_path, [0, 500, 1000]), timeout=T)
        stack.enter_context(store)
        shard = store.futures[1]
        (home,) = client.who_has([shard])[shard.key]
        rows = np.load(rows_path)
        qs = queries(rows)
        assert_same(store, local, qs)
        if changed:
            rows[600, 0] += 1.0
            np.save(rows_path, rows)
            if source == "files":
                shard_files(rows_path, ids_path, 2)  # replaces each file by a rename
        if event == "copied":
            # A copy travels as its recipe and is built where it is used.
            other = next(w for w in client.scheduler_info()["workers"] if w != home)
            copy = client.submit(search_shard, shard, qs, 3, workers=[other], allow_other_workers=False)
            with deadline(30), pytest.raises(SourceChangedError, match=r"rows 500:1000 of .*changed since"):
                copy.result(30)
            return
        lost = [home] if event != "all die" else list(client.scheduler_info()["workers"])
        client.run(die, workers=lost, wait=False)
        for worker in lost:
            wait_until(lambda w=worker: w not in client.scheduler_info()["workers"], f"{worker} is still there")
        big = large_batch(qs)
        if changed:
            where = {"npy": r"\.npy", "files": r"shard-1\.npz", "dask": "a dask array"}[source]
            with deadline(30), pytest.raises(SourceChangedError, match=rf"rows 500:1000 of .*{where} changed since"):
                store.search_batch(big, 3, timeout=30)
        else:
            # The search waits for the rebuild on the workers that come back;
            # once they are back, it answers at once, not from where the
            # shards were before.
            timeout = T
            if when == "once back":
                wait_until(lambda: back(client, store, n_workers), "the workers or the shards are not back")
                timeout = 10
            want = [local.search(q, 3) for q in qs] * (len(big) // len(qs))
            assert store.search_batch(big, 3, timeout=timeout) == want
            assert_same(store, local, qs)
            assert home not in client.who_has([shard])[shard.key]


# -- what tessaray_dask._distributed relies on -------------------------------


async def echo(**fields):
    return {"status": "OK", "result": _distributed.serialized(fields)}


def handler_answers(client):
    """A handler added on the workers answers a request sent to each, with
    fields and reply that travel serialized, and is gone once removed."""
    client.run(lambda dask_worker: _distributed.add_handler(dask_worker, "tessaray_echo", echo))
    try:
        for address in client.scheduler_info()["workers"]:
            fields = {"rows": _distributed.serialized(np.eye(3, dtype=np.float32)), "top_k": 2}
            call = functools.partial(_distributed.call_worker, client, address, "tessaray_echo", **fields)
            reply = _distributed.run(client, call, timeout=T)
            assert reply["result"]["top_k"] == 2 and np.array_equal(reply["result"]["rows"], np.eye(3)), reply
    finally:
        client.run(lambda dask_worker: _distributed.remove_handler(dask_worker, "tessaray_echo"))
    assert not any(client.run(lambda dask_worker: "tessaray_echo" in dask_worker.handlers).values())


def data_holds_tasks(client):
    future = client.submit(np.arange, 5, pure=False)
    future.result(T)
    (where,) = client.who_has([future])[future.key]
    got = client.run(
        lambda dask_worker, key=future.key: list(_distributed.worker_data(dask_worker)[key]), workers=[where]
    )
    assert got == {where: [0, 1, 2, 3, 4]}


def task_threads(client):
    kinds = client.run(
        lambda dask_worker: isinstance(_distributed.task_executor(dask_worker), concurrent.futures.Executor)
    )
    assert all(kinds.values()), kinds


def scheduler_knows_holders(client):
    future = client.submit(np.arange, 5, pure=False)
    future.result(T)
    want = {future.key: set(client.who_has([future])[future.key])}
    assert _distributed.run(client, _distributed.who_has, client, [future.key], timeout=T) == want


def sync_times_out(client):
    assert _distributed.run(client, asyncio.sleep, 0, "done", timeout=T) == "done"
    with pytest.raises(TimeoutError):
        _distributed.run(client, asyncio.sleep, 10, timeout=0.05)


def restrictions_lift(client):
    worker = min(client.scheduler_info()["workers"])
    future = client.submit(np.arange, 5, pure=False, workers=[worker], allow_other_workers=True)
    future.result(T)

    def restrictions():
        return client.run_on_scheduler(
            lambda dask_scheduler, key=future.key: dask_scheduler.tasks[key].worker_restrictions
        )

    assert restrictions() == {worker}
    _distributed.lift_restrictions(client, [future.key])
    assert restrictions() is None


PROBES = {
    "Worker.data": data_holds_tasks,
    "Worker.executors": task_threads,
    "Worker.handlers": handler_answers,
    "Client.rpc": handler_answers,
    "Client.scheduler": scheduler_knows_holders,
    "Client.sync": sync_times_out,
    "Scheduler.who_has": scheduler_knows_holders,
    "Scheduler.set_restrictions": restrictions_lift,
    "protocol.to_serialize": handler_answers,
}


@pytest.mark.parametrize("use", _distributed.USES)
def test_private_distributed_api_is_there(client, use):
    """Each use of distributed beyond its documented API, on a real cluster;
    a release that changed one fails here by its name."""
    assert use in PROBES, f"{use} is used by tessaray_dask._distributed but has no probe here"
    try:
        PROBES[use](client)
    except Exception as e:
        pytest.fail(f"distributed {distributed.__version__} changed {use}, which tessaray_dask relies on: {e!r}")

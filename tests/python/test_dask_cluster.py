"""ShardedStore on a two-worker LocalCluster: the same answers as one store,
after a shard moved and after a worker died; a changed source is refused."""
import contextlib
import os
import pickle
import signal
import sys
import time

import numpy as np
import pytest

if os.environ.get("TESSARAY_SKIP_CLUSTER"):
    pytest.skip(os.environ["TESSARAY_SKIP_CLUSTER"], allow_module_level=True)
distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
da = pytest.importorskip("dask.array")

from tessaray_dask import ShardedStore, SourceChangedError, load_store  # noqa: E402
from tessaray_dask.merge import merge_arrays  # noqa: E402
from tessaray_dask.sharded import _search, store_bytes  # noqa: E402

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


@pytest.fixture(scope="module")
def client():
    with deadline(120):
        cluster = distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
        )
        client = distributed.Client(cluster)
    yield client
    with deadline(120):
        client.close()
        cluster.close()


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


def queries(rows):
    return np.vstack([rows[7], rows[40], -rows[3], rows[500:505]])


def assert_same(store, local, qs, top_k=12):
    assert store.search_batch(qs, top_k, timeout=T) == [local.search(q, top_k) for q in qs]
    assert store.search(qs[0].tolist(), top_k, timeout=T) == local.search(qs[0], top_k)


@pytest.mark.parametrize("source", ["npy", "dask"])
def test_same_answers_as_one_store(client, npy, source):
    rows_path, ids_path, local = npy
    rows, ids = np.load(rows_path), np.load(ids_path)
    if source == "npy":
        store = ShardedStore.from_npy(client, rows_path, ids_path, timeout=T)
    else:
        store = ShardedStore.from_dask_array(client, da.from_array(rows, chunks=(300, 3)), ids, n_threads=2, timeout=T)
    with store:
        assert (len(store), store.vector_size, len(store.futures)) == (1000, 8, 2 if source == "npy" else 4)
        assert_same(store, local, queries(rows))
        for top_k in (0, 1, 1000, 1500):
            assert store.search(rows[7], top_k, timeout=T) == local.search(rows[7], top_k)
        with pytest.raises(TypeError, match="cannot be pickled"):
            pickle.dumps(store)
    with pytest.raises(ValueError, match="closed"):
        store.search(rows[0], 1)
    with pytest.raises(ValueError, match="shards must be at least 1"):
        ShardedStore.from_npy(client, rows_path, shards=0)


def test_shard_moves_as_its_recipe(client, npy):
    rows_path, ids_path, local = npy
    with ShardedStore.from_npy(client, rows_path, ids_path, timeout=T) as store:
        shard = store.futures[0]
        (home,) = client.who_has([shard])[shard.key]
        other = next(w for w in client.scheduler_info()["workers"] if w != home)
        # A task pinned to the other worker makes it fetch the shard, which
        # travels as its recipe and is rebuilt there.
        rows, ids = np.load(rows_path), np.load(ids_path)
        qs = queries(rows)
        moved = client.submit(_search, shard, qs, 12, workers=[other], allow_other_workers=False)
        moved_size = client.submit(sys.getsizeof, shard, workers=[other], allow_other_workers=False)
        first_half = load_store(rows[:500], ids[:500])
        assert merge_arrays([moved.result(T)], 12) == [first_half.search(q, 12) for q in qs]
        assert sorted(client.who_has([shard])[shard.key]) == sorted([home, other])
        # dask sees the shard's real size on both workers, not a small object's.
        seen = client.run_on_scheduler(lambda dask_scheduler, key=shard.key: dask_scheduler.tasks[key].nbytes)
        assert min(seen, moved_size.result(T)) >= store_bytes(500, 8)
        assert_same(store, local, qs)


async def die():
    os._exit(1)  # (client.run waits for nothing only on coroutine functions)


def wait_until_gone(client, worker):
    end = time.monotonic() + T
    while worker in client.scheduler_info()["workers"]:
        assert time.monotonic() < end, f"{worker} is still there"
        time.sleep(0.1)


@pytest.mark.parametrize("changed", [False, True])
def test_lost_shard_rebuilt_or_refused(client, npy, changed):
    rows_path, ids_path, local = npy
    with ShardedStore.from_npy(client, rows_path, ids_path, timeout=T) as store:
        shard = store.futures[1]
        (home,) = client.who_has([shard])[shard.key]
        if changed:
            rows = np.load(rows_path)
            rows[600, 0] += 1.0
            np.save(rows_path, rows)
        client.run(die, workers=[home], wait=False)
        wait_until_gone(client, home)
        if changed:
            with pytest.raises(SourceChangedError, match=r"rows 500:1000 of .*rows\.npy changed since"):
                store.search(rows[0], 3, timeout=T)
        else:
            assert_same(store, local, queries(np.load(rows_path)))
            assert home not in client.who_has([shard])[shard.key]

"""Sharded search through dask against a local store, on one machine.

Two shards of 500,000 x 128 float32 rows (one .npy file of 1,000,000 rows) on
a LocalCluster of two worker processes, against one local store of all rows
and one of a shard's 500,000 rows.  Prints the median time of a single query
(through dask and locally) and the throughput of a batch.

    PYTHONPATH=build/python python3.14 bench/dask_bench.py [--rows 1000000] [--batch 256]
"""
import argparse
import os
import statistics
import tempfile
import time

import numpy as np
from distributed import Client, LocalCluster

from tessaray_dask import ShardedStore, load_store


def medians_ms(methods, queries):
    """Median time of each method, interleaved query by query so that a
    neighbour's load on the machine hits every method alike."""
    times = {name: [] for name in methods}
    for q in queries:
        for name, fn in methods.items():
            t = time.perf_counter()
            fn(q)
            times[name].append(time.perf_counter() - t)
    return [(name, statistics.median(ts) * 1e3) for name, ts in times.items()]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=40)
    ap.add_argument("--batch", type=int, default=256)
    ap.add_argument("--top-k", type=int, default=10)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    k = args.top_k
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.npy")
        np.save(path, rng.standard_normal((args.rows, args.dim), dtype=np.float32))
        # The same on 2 x 1,000 rows, where the search itself costs next to nothing.
        small_path = os.path.join(tmp, "small.npy")
        np.save(small_path, np.load(path, mmap_mode="r")[:2000])
        small = load_store(small_path)
        queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
        lists = [q.tolist() for q in queries]
        batch = rng.standard_normal((args.batch, args.dim), dtype=np.float32)

        t = time.perf_counter()
        local = load_store(path, progress=False)
        print(f"load_store {args.rows:,} x {args.dim} from .npy: {time.perf_counter() - t:.2f} s")
        half = load_store(np.load(path, mmap_mode="r")[: args.rows // 2], progress=False)

        with (
            LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                worker_dashboard_address=None,
            ) as cluster,
            Client(cluster) as client,
        ):
            t = time.perf_counter()
            store = ShardedStore.from_npy(client, path, shards=2)
            print(f"ShardedStore.from_npy, 2 shards: {time.perf_counter() - t:.2f} s")
            with store, ShardedStore.from_npy(client, small_path, shards=2) as small_store:
                assert store.search_batch(queries, k) == [local.search(q, k) for q in queries]
                for q in lists[:3]:  # warm both sides
                    store.search(q, k)
                    local.search(q, k)
                rows = medians_ms(
                    {
                        "local search, all rows": lambda q: local.search(q, k),
                        "local search, one shard's rows": lambda q: half.search(q, k),
                        "ShardedStore.search": lambda q: store.search(q, k),
                        "local search, 2,000 rows": lambda q: small.search(q, k),
                        "ShardedStore.search, 2 x 1,000": lambda q: small_store.search(q, k),
                    },
                    lists,
                )
                t = time.perf_counter()
                store.search_batch(batch, k)
                dask_batch = time.perf_counter() - t
                t = time.perf_counter()
                for q in batch:
                    local.search(q, k)
                local_batch = time.perf_counter() - t

    print(f"\n{args.rows:,} x {args.dim}, top_k={k}, queries as lists of floats, medians of {len(lists)}:")
    for name, ms in rows:
        print(f"  {name:34s} {ms:8.2f} ms")
    print(f"  overhead over a shard's search     {rows[2][1] - rows[1][1]:8.2f} ms")
    print(f"  overhead over the local search     {rows[2][1] - rows[0][1]:8.2f} ms")
    print(f"  round trip on 2 x 1,000 rows       {rows[4][1] - rows[3][1]:8.2f} ms")
    print(f"batch of {args.batch}:")
    print(f"  ShardedStore.search_batch  {dask_batch:6.2f} s  {args.batch / dask_batch:8.1f} queries/s")
    print(f"  local search, one by one   {local_batch:6.2f} s  {args.batch / local_batch:8.1f} queries/s")


if __name__ == "__main__":
    main()

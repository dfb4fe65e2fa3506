"""Sharded search through dask against a local store, on one machine.

Two shards of 500,000 x 128 float32 rows (one .npy file of 1,000,000 rows) on
a LocalCluster of two worker processes with one thread each, against one
local store of all the rows.  Prints a markdown table, where the time of a
cluster search goes, and whether the goals are met:

- one query through the cluster takes at most 0.8 x one local search;
- a batch through the cluster runs at least 1.6 x the queries per second of
  one local tessaray_bulk.search_batch with one thread.

One command from the project root (builds the module, provisions the
interpreter with dask.distributed, runs):

    PYTHONPATH=build/python "$(bash scripts/build.sh)" bench/dask_bench.py [--rows 1000000] [--batch 256]
"""
import argparse
import concurrent.futures
import os
import pickle
import statistics
import tempfile
import time

import numpy as np
from distributed import Client, LocalCluster

import tessaray_bulk
from common import cpu_name
from tessaray_dask import ShardedStore, load_store
from tessaray_dask.merge import merge_arrays

SINGLE_GOAL = 0.8  # cluster time / local time, at most
BATCH_GOAL = 1.6  # cluster throughput / local throughput, at least


def medians_ms(methods, inputs):
    """Median time of each method, interleaved input by input so that a
    neighbour's load on the machine hits every method alike."""
    times = {name: [] for name in methods}
    for x in inputs:
        for name, fn in methods.items():
            t = time.perf_counter()
            fn(x)
            times[name].append(time.perf_counter() - t)
    return {name: statistics.median(ts) * 1e3 for name, ts in times.items()}


def load():
    return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=40)
    ap.add_argument("--batch", type=int, default=256)
    ap.add_argument("--repeats", type=int, default=5, help="batch runs per method (median)")
    ap.add_argument("--top-k", type=int, default=10)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    k = args.top_k
    print(f"CPU: {cpu_name()}; load average before: {load()} on {os.cpu_count()} processors")
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
        other_half = load_store(np.load(path, mmap_mode="r")[args.rows // 2 :], progress=False)
        # The most two processors can give: both shards' searches at once in
        # two threads of this process (the module releases the GIL), no dask.
        pool = concurrent.futures.ThreadPoolExecutor(2)

        def both_local(search):
            list(pool.map(search, (half, other_half)))

        with (
            LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                worker_dashboard_address=None,
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
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
                    small_store._search_by_tasks([q], k, None)
                single = medians_ms(
                    {
                        "local search, all rows": lambda q: local.search(q, k),
                        "local search, one shard's rows": lambda q: half.search(q, k),
                        "ShardedStore.search": lambda q: store.search(q, k),
                        "local search, 2,000 rows": lambda q: small.search(q, k),
                        "both shards' search at once, 2 local threads": lambda q: both_local(
                            lambda s: s.search(q, k)
                        ),
                        "ShardedStore.search, 2 x 1,000 rows": lambda q: small_store.search(q, k),
                        "same, through dask tasks": lambda q: small_store._search_by_tasks([q], k, None),
                    },
                    lists,
                )
                batches = medians_ms(
                    {
                        "local search_batch, 1 thread": lambda b: tessaray_bulk.search_batch(
                            local, b, k, 1, arrays=True
                        ),
                        "local search_batch, one shard's rows": lambda b: tessaray_bulk.search_batch(
                            half, b, k, 1, arrays=True
                        ),
                        "both shards' search_batch at once, 2 local threads": lambda b: both_local(
                            lambda s: tessaray_bulk.search_batch(s, b, k, 1, arrays=True)
                        ),
                        "ShardedStore.search_batch": lambda b: store.search_batch(b, k),
                    },
                    [batch] * args.repeats,
                )
                shard_answers = [tessaray_bulk.search_batch(half, batch, k, 1, arrays=True)] * 2
                shard_answers = [(np.asarray(s), np.asarray(i)) for s, i in shard_answers]
                serial = medians_ms(
                    {
                        "pickle round trip of the batch and 2 answers": lambda _: pickle.loads(
                            pickle.dumps((batch, shard_answers), protocol=5)
                        ),
                        "merge of 2 answers": lambda _: merge_arrays(shard_answers, k),
                    },
                    range(20),
                )
        pool.shutdown()
    print(f"load average after: {load()}")

    n = args.batch
    print(f"\n{args.rows:,} x {args.dim}, top_k={k}, 2 workers x 1 thread; single queries as lists of floats, "
          f"medians of {len(lists)}; batches of {n}, medians of {args.repeats}\n")
    print("| what | ms | queries/s |")
    print("| --- | ---: | ---: |")
    for name, ms in single.items():
        print(f"| {name} | {ms:.2f} | |")
    for name, ms in batches.items():
        print(f"| {name} ({n} queries) | {ms:.1f} | {n / ms * 1e3:.0f} |")
    for name, ms in serial.items():
        print(f"| {name} | {ms:.2f} | |")

    single_ratio = single["ShardedStore.search"] / single["local search, all rows"]
    batch_ratio = batches["local search_batch, 1 thread"] / batches["ShardedStore.search_batch"]
    trip = single["ShardedStore.search, 2 x 1,000 rows"] - single["local search, 2,000 rows"]
    print("\nWhere a cluster search's time goes:")
    print(f"- single query: a shard's own search {single["local search, one shard's rows"]:.2f} ms, both shards at "
          f"once in two local threads {single["both shards' search at once, 2 local threads"]:.2f} ms, round trip client -> workers -> client on tiny shards {trip:.2f} ms "
          f"(through dask tasks instead: {single['same, through dask tasks'] - single['local search, 2,000 rows']:.2f} ms)")
    print(f"- batch: a shard's search_batch {batches["local search_batch, one shard's rows"]:.1f} ms, both at once "
          f"in two local threads {batches["both shards' search_batch at once, 2 local threads"]:.1f} ms, cluster "
          f"{batches['ShardedStore.search_batch']:.1f} ms; serialising the batch and the answers "
          f"{serial['pickle round trip of the batch and 2 answers']:.2f} ms, merging {serial['merge of 2 answers']:.2f} ms")
    print("\nGoals:")
    for what, ratio, ok in [
        (f"single search through the cluster <= {SINGLE_GOAL} x local", single_ratio, single_ratio <= SINGLE_GOAL),
        (f"batch throughput >= {BATCH_GOAL} x local search_batch, 1 thread", batch_ratio, batch_ratio >= BATCH_GOAL),
    ]:
        print(f"- {what}: {ratio:.2f} x, {'met' if ok else 'MISSED'}")


if __name__ == "__main__":
    main()

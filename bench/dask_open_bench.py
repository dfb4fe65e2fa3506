"""The memory two dask workers on one host hold for one store file, opened in place against loaded.

One store file of 1,000,000 x 128 float32 rows (about 512 MB), saved by
tessaray_bulk.save.  On a fresh LocalCluster of two single-threaded worker
processes each time, both workers take the whole file and search it once:

- in place: ShardedStore.from_store_files(client, [path, path]), one shard
  per worker, each tessaray_bulk.open of the same file (verified);
- loaded: a task per worker holding tessaray_bulk.load(path).

Prints a markdown table of what the workers hold, summed over the two, as
the growth from the idle workers: Pss (a shared page counts half in each of
two processes that map it, so the sum counts it once), split into anonymous
and file-backed pages, and Rss (which counts a shared page in every process).
The goal: in place, the Pss sum grows by at most 1.2 x the file; loaded it
grows by about twice the file.

    PYTHONPATH=build/python "$(bash scripts/build.sh)" bench/dask_open_bench.py [--rows 1000000]
"""
import argparse
import os
import tempfile
import time

import numpy as np
from distributed import Client, LocalCluster

import tessaray_bulk
from common import cpu_name
from tessaray_dask import ShardedStore, load_store

GOAL = 1.2  # Pss growth of both workers / file size, at most, in place
FIELDS = ("Pss", "Pss_Anon", "Pss_File", "Rss")


def memory(pid):
    """The fields of /proc/<pid>/smaps_rollup in FIELDS, in bytes."""
    found = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in FIELDS:
                found[name] = int(rest.split()[0]) * 1024
    return found


def held(pids):
    """Each field summed over the processes."""
    per = [memory(p) for p in pids]
    return {name: sum(m.get(name, 0) for m in per) for name in FIELDS}


def search_once(store, query):
    return store.search(query, 10)


def run(mode, path, query):
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        pids = list(client.run(os.getpid).values())
        client.run(lambda: __import__("tessaray_bulk"))
        before = held(pids)
        t = time.perf_counter()
        if mode == "in place":
            store = ShardedStore.from_store_files(client, [path, path], timeout=600)
            store.search(query, 10, timeout=600)
            release = store.close
        else:
            stores = [
                client.submit(tessaray_bulk.load, path, workers=[w], pure=False)
                for w in sorted(client.scheduler_info()["workers"])
            ]
            client.gather([client.submit(search_once, s, query, pure=False) for s in stores])
            release = lambda: [s.release() for s in stores]  # noqa: E731
        seconds = time.perf_counter() - t
        after = held(pids)
        release()
    return {name: after[name] - before[name] for name in FIELDS}, seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    args = ap.parse_args()
    print(f"CPU: {cpu_name()}; {os.cpu_count()} processors")
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "store.npz")
        rows = rng.standard_normal((args.rows, args.dim), dtype=np.float32)
        tessaray_bulk.save(load_store(rows, progress=False), path)
        del rows
        size = os.path.getsize(path)
        query = rng.standard_normal(args.dim, dtype=np.float32)
        print(f"store file: {args.rows:,} x {args.dim}, {size / 2**20:.0f} MiB\n")
        print("| two workers, one file each | Pss | Pss anon | Pss file | Rss | Pss / file | open and first search |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        ratios = {}
        for mode in ("in place", "loaded"):
            grew, seconds = run(mode, path, query)
            ratios[mode] = grew["Pss"] / size
            cells = " | ".join(f"{grew[name] / 2**20:,.0f} MiB" for name in FIELDS)
            print(f"| {mode} | {cells} | {ratios[mode]:.2f} x | {seconds:.2f} s |")
    met = "met" if ratios["in place"] <= GOAL else "NOT met"
    print(f"\ngoal: Pss growth in place at most {GOAL} x the file: {ratios['in place']:.2f} x, {met}")


if __name__ == "__main__":
    main()

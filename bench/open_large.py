"""A store file larger than memory: an opened store's scans under a memory
cgroup's limit against dd's sequential read of the file and numpy's chunked
scan of the same rows through numpy.load(mmap_mode="r").

The benchmark (open_bench.py) makes the files and a cgroup v1 memory group,
and starts this script with --child inside the group; the child times every
method from a cold page cache and prints its figures as JSON.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

from common import K, GoalTable, fmt_secs, log
from open_cached import paired_rounds, ratio_spread
from open_files import dd, drop_pages, make_files

CGROUP_ROOT = "/sys/fs/cgroup/memory"
GOAL_SEARCH_OVER_DD = 0.8  # the least share of dd's bytes per second
NUMPY_CHUNK_ROWS = 16_384


# ---------------------------------------------------------------------------
# The group


def _write(group: str, name: str, value: str) -> None:
    with open(os.path.join(group, name), "w") as f:
        f.write(value)


def _read(group: str, name: str) -> str:
    with open(os.path.join(group, name)) as f:
        return f.read()


def _oom_kills(group: str) -> int:
    for line in _read(group, "memory.oom_control").splitlines():
        if line.startswith("oom_kill "):
            return int(line.split()[1])
    return 0


def bench_large(tmp: str, args, tessaray, bulk, started: float) -> dict:
    """Makes the files, runs the child in a group of its own and removes
    the group; the child's figures with the group's counters."""
    store_path, rows_path = os.path.join(tmp, "large.npz"), os.path.join(tmp, "large_rows.npy")
    log(f"larger than memory: files of {args.large_rows:,} x {args.dim}", started)
    make_files(store_path, args.large_rows, args.dim, tessaray, bulk, rows_path)
    for path in (store_path, rows_path):
        drop_pages(path)
    limit = args.limit_mib << 20
    group = os.path.join(CGROUP_ROOT, f"tessaray-open-bench-{os.getpid()}")
    os.mkdir(group)
    try:
        _write(group, "memory.limit_in_bytes", str(limit))
        log(f"larger than memory: {args.large_rounds} rounds under {args.limit_mib} MiB", started)
        child = [sys.executable, os.path.abspath(__file__), "--child", "--group", group, "--store", store_path,
                 "--rows", rows_path, "--rounds", str(args.large_rounds), "--queries", str(args.queries)]
        # The shell puts itself in the group, then becomes the child.
        done = subprocess.run(["sh", "-c", 'echo $$ > "$0"/cgroup.procs && exec "$@"', group] + child,
                              capture_output=True, text=True)
        sys.stderr.write(done.stderr)
        figures = json.loads(done.stdout) if done.returncode == 0 else {"failed": done.returncode}
        figures.update({"limit": limit, "max_usage": int(_read(group, "memory.max_usage_in_bytes")),
                        "failcnt": int(_read(group, "memory.failcnt")), "oom_kills": _oom_kills(group),
                        "store_bytes": os.path.getsize(store_path), "rows_bytes": os.path.getsize(rows_path),
                        "n": args.large_rows, "dim": args.dim})
    finally:
        _remove(group)
        for path in (store_path, rows_path):
            os.remove(path)
    return figures


def _remove(group: str) -> None:
    """Removes the group once its processes have gone (its charges go to
    the parent group)."""
    for _ in range(50):
        try:
            os.rmdir(group)
            return
        except OSError:
            time.sleep(0.1)
    os.rmdir(group)


# ---------------------------------------------------------------------------
# The child, inside the group


def numpy_scan(rows: np.ndarray, queries: np.ndarray, k: int) -> np.ndarray:
    """Cosine top-k ids of every query over `rows` (a numpy.load mapping),
    a chunk of rows at a time: norms, matmul and argpartition per chunk,
    merged into the best k so far."""
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    best_scores = np.full((len(q), k), -np.inf, dtype=np.float32)
    best_ids = np.zeros((len(q), k), dtype=np.int64)
    for first in range(0, len(rows), NUMPY_CHUNK_ROWS):
        chunk = rows[first:first + NUMPY_CHUNK_ROWS]
        norms = np.sqrt(np.einsum("ij,ij->i", chunk, chunk))
        norms[norms == 0] = 1
        scores = (q @ chunk.T) / norms
        top = np.argpartition(-scores, min(k, scores.shape[1] - 1), axis=1)[:, :k]
        scores = np.concatenate([best_scores, np.take_along_axis(scores, top, axis=1)], axis=1)
        ids = np.concatenate([best_ids, top + first], axis=1)
        keep = np.argpartition(-scores, k - 1, axis=1)[:, :k]
        best_scores, best_ids = np.take_along_axis(scores, keep, axis=1), np.take_along_axis(ids, keep, axis=1)
    order = np.argsort(-best_scores, axis=1, kind="stable")
    return np.take_along_axis(best_ids, order, axis=1)


def child(argv: list[str]) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", action="store_true")
    for name in ("--group", "--store", "--rows"):
        parser.add_argument(name, required=True)
    parser.add_argument("--rounds", type=int, required=True)
    parser.add_argument("--queries", type=int, required=True)
    args = parser.parse_args(argv)
    import tessaray_bulk as bulk

    rng = np.random.default_rng(11)
    dim = np.load(args.rows, mmap_mode="r").shape[1]
    one = rng.standard_normal((1, dim), dtype=np.float32)
    batch = rng.standard_normal((args.queries, dim), dtype=np.float32)
    peaks: dict[str, list[int]] = {}

    def with_store(call):
        def run():
            store = bulk.open(args.store, verify=False)
            t0 = time.perf_counter_ns()
            call(store)
            t = (time.perf_counter_ns() - t0) * 1e-9
            del store
            return t
        return run

    def with_rows(queries):
        def run():
            rows = np.load(args.rows, mmap_mode="r")
            t0 = time.perf_counter_ns()
            numpy_scan(rows, queries, K)
            t = (time.perf_counter_ns() - t0) * 1e-9
            del rows
            return t
        return run

    methods = {
        "dd bs=8M": lambda: dd(args.store),
        "search": with_store(lambda s: s.search(one[0], K)),
        "search_batch": with_store(lambda s: bulk.search_batch(s, batch, K)),
        "numpy, 1 query": with_rows(one),
        f"numpy, {args.queries} queries": with_rows(batch),
    }

    def measured(name, fn):
        def run():
            for path in (args.store, args.rows):
                drop_pages(path)
            _write(args.group, "memory.max_usage_in_bytes", "0")
            t = fn()
            peaks.setdefault(name, []).append(int(_read(args.group, "memory.max_usage_in_bytes")))
            return t
        return run

    samples = paired_rounds({name: measured(name, fn) for name, fn in methods.items()}, args.rounds)
    # The answers agree: the opened store's ids (the rows' numbers) and numpy's.
    store = bulk.open(args.store, verify=False)
    ours = [i for _, i in store.search(one[0], K)]
    del store
    theirs = numpy_scan(np.load(args.rows, mmap_mode="r"), one, K)[0].tolist()
    json.dump({"samples": samples, "peaks": peaks, "shared_ids": len(set(ours) & set(theirs)),
               "queries": args.queries, "cpus": len(os.sched_getaffinity(0))}, sys.stdout)
    return 0


# ---------------------------------------------------------------------------
# Report


def large_table(g: dict) -> list[str]:
    sm = g["samples"]
    size = {name: g["rows_bytes"] if name.startswith("numpy") else g["store_bytes"] for name in sm}
    dd_rate = g["store_bytes"] / statistics.median(sm["dd bs=8M"])
    lines = [f"| method (cold page cache, under {g['limit'] >> 20} MiB) | median | MB/s of its file | × dd's MB/s "
             "| × one `search`'s time | peak of the group |", "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for name, times in sm.items():
        m = statistics.median(times)
        rate = size[name] / m
        lines.append(f"| {name} | {fmt_secs(m)} | {rate / 1e6:,.0f} | {rate / dd_rate:.3f} | "
                     f"{m / statistics.median(sm['search']):.2f} | {max(g['peaks'][name]) / 2**20:.0f} MiB |")
    return lines


def add_goals(goals: GoalTable, g: dict) -> None:
    sm = g["samples"]
    r, lo, hi = ratio_spread(sm, "dd bs=8M", "search")  # search's bytes per second over dd's
    goals.add(f"larger than memory: `search` at least {GOAL_SEARCH_OVER_DD:g} × dd's bytes per second",
              f"{r:.3f} × dd [{lo:.2f}-{hi:.2f}]", GOAL_SEARCH_OVER_DD / r)
    rb, lob, hib = ratio_spread(sm, "dd bs=8M", "search_batch")
    goals.add(f"larger than memory: `search_batch` (Q = {g['queries']}) reads the file once, bytes per second",
              f"{rb:.3f} × dd [{lob:.2f}-{hib:.2f}]", None, "stated")
    goals.add("larger than memory: the group's peak within its limit",
              f"{g['max_usage'] / 2**20:.0f} of {g['limit'] >> 20} MiB", g["max_usage"] / g["limit"])
    goals.add("larger than memory: no OOM kill", f"{g['oom_kills']} kills", None,
              "met" if g["oom_kills"] == 0 else "**missed**")


def notes(g: dict) -> list[str]:
    return [f"larger than memory: store file {g['store_bytes'] / 2**20:,.0f} MiB ({g['n']:,} x {g['dim']}), "
            f"{g['store_bytes'] / g['limit']:.2f} × the group's limit; rows .npy {g['rows_bytes'] / 2**20:,.0f} "
            f"MiB; {len(g['samples']['search'])} rounds, every method after the files' pages were dropped",
            f"larger than memory: the group hit its limit {g['failcnt']:,} times (the page cache reclaimed "
            f"within it), {g['oom_kills']} OOM kills; search_batch and numpy on {g['cpus']} processors, search "
            f"on one; numpy's top {K} shares {g['shared_ids']} of {K} ids with `search`'s"]


if __name__ == "__main__":
    sys.exit(child(sys.argv[1:]))

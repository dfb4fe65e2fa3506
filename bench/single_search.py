"""Single-query search times against the peers and the machine's read limit.

The same random data per store size, timed in one process in interleaved
rounds (every method once per round):

  - tessaray ``search`` and ``parallel_search`` with 2 workers;
  - numpy: float32 matrix-vector product with precomputed inverse norms,
    then argpartition and a sort of the k best, on one BLAS thread and 2;
  - faiss ``IndexFlatIP`` on normalised vectors, one OpenMP thread and 2;
  - hnswlib ``BFIndex`` with space 'cosine';
  - the read limit: the ``read_limit`` helper, serving from a buffer of the
    store's size on 2 MiB pages, reads it once per round with each of its
    read loops on one core and on 2 cores; the limit is the loop with the
    lowest median.

Every call gets the query as a Python list of floats and returns the k best
(score, id) pairs, so the query's conversion is part of every call.
"""

from __future__ import annotations

import gc
import json
import statistics
import subprocess
import time

import numpy as np

from common import K, GoalTable, fmt_bytes, fmt_size, fmt_time, interleaved_rounds, timed
from single_call import measure_call

SWEEP_ROWS = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000, 3_000_000]
DEFAULT_SIZES = [(n, 128) for n in SWEEP_ROWS] + [(200_000, 768)]
# Stores at least this large are "in memory" for the search goals.
GOAL_MIN_ROWS = 100_000

# Goals (upper limits of each ratio).
GOAL_SEARCH_READ = 1.05
GOAL_SEARCH_FAISS = 0.75
GOAL_PARALLEL_READ = 1.10


# ---------------------------------------------------------------------------
# Peers.  Each returns `call(query_list)`, the whole query.


def build_tessaray(tessaray, data: np.ndarray):
    n, dim = data.shape
    pairs = [(row, i) for i, row in enumerate(data)]
    t0 = time.perf_counter()
    store = tessaray.Vectorstore(dim, pairs)
    return store, time.perf_counter() - t0


def numpy_peer(data: np.ndarray):
    inv_norms = (np.float32(1.0) / np.linalg.norm(data, axis=1)).astype(np.float32)

    def call(query):
        q = np.asarray(query, dtype=np.float32)
        scores = (data @ q) * inv_norms
        scores /= np.linalg.norm(q)
        if K < len(scores):
            best = np.argpartition(-scores, K)[:K]
        else:
            best = np.arange(len(scores))
        best = best[np.argsort(-scores[best], kind="stable")]
        return list(zip(scores[best].tolist(), best.tolist()))

    return call


def faiss_peer(faiss, data: np.ndarray):
    normalised = data / np.linalg.norm(data, axis=1, keepdims=True)
    index = faiss.IndexFlatIP(data.shape[1])
    index.add(np.ascontiguousarray(normalised, dtype=np.float32))
    del normalised

    def call(query):
        q = np.asarray(query, dtype=np.float32).reshape(1, -1)
        scores, ids = index.search(q, K)
        scores = scores[0] / np.linalg.norm(q)
        return list(zip(scores.tolist(), ids[0].tolist()))

    return call, index


def hnswlib_peer(hnswlib, data: np.ndarray):
    n, dim = data.shape
    index = hnswlib.BFIndex(space="cosine", dim=dim)
    index.init_index(max_elements=n)
    index.add_items(data, np.arange(n))

    def call(query):
        ids, distances = index.knn_query(np.asarray(query, dtype=np.float32), k=K)
        return list(zip((1.0 - distances[0]).tolist(), ids[0].tolist()))

    return call, index


class ReadLimit:
    """The read_limit helper serving reads of one buffer of `nbytes`.

    Each `run(threads, warm)` reads the buffer on `threads` threads and keeps
    each read loop's time; the limit for a thread count is the lowest median
    among the loops.  Warm, or when the buffer is larger than twice the
    last-level cache, a run reads once with every loop.  Otherwise a run reads
    with one loop, the next one each time: a second loop right after the
    first would find the buffer in the cache, where the searches, timed after
    the other methods' data went through the cache, do not find theirs."""

    def __init__(self, helper: str, nbytes: int):
        self.proc = subprocess.Popen([helper, "--serve", str(nbytes)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)
        self.info = json.loads(self.proc.stdout.readline())
        self.loops = self.info["loops"]
        self.one_loop_per_run = self.info["llc_bytes"] == 0 or nbytes <= 2 * self.info["llc_bytes"]
        self.samples: dict[int, dict[str, list[float]]] = {}
        self.runs: dict[int, int] = {}

    def run(self, threads: int, warm: bool) -> float:
        per_loop = self.samples.setdefault(threads, {name: [] for name in self.loops})
        if warm or not self.one_loop_per_run:
            self.proc.stdin.write(f"{threads} {'warm' if warm else 'cold'}\n")
            names = self.loops
        else:
            i = self.runs[threads] = self.runs.get(threads, -1) + 1
            self.proc.stdin.write(f"{threads} cold {i % len(self.loops)}\n")
            names = [self.loops[i % len(self.loops)]]
        times = json.loads(self.proc.stdout.readline())
        for name, t in zip(names, times):
            per_loop[name].append(t)
        return min(times)

    def limit(self, threads: int) -> tuple[float, str, dict[str, float]]:
        medians = {name: statistics.median(s) for name, s in self.samples[threads].items() if s}
        best = min(medians, key=medians.get)
        return medians[best], best, medians

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


# ---------------------------------------------------------------------------
# One store size


def bench_size(n: int, dim: int, args, peers, tessaray) -> dict:
    rng = np.random.default_rng(n * 1_000 + dim)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    query = rng.standard_normal(dim, dtype=np.float32).tolist()
    w = args.workers
    nbytes = n * dim * 4
    rounds = (args.rounds_small if nbytes <= args.small_bytes else
              args.rounds_large if nbytes <= args.huge_bytes else args.rounds_huge)
    # Each timed call follows an untimed call of the same method, so data that
    # fits in the caches is there (otherwise the other methods' copies of the
    # data evict it between rounds and the times are those of cold calls).
    warm = nbytes <= args.warm_bytes

    def call_timed(fn, *call_args, setup=None):
        # The small answer is freed inside the timed window, as a caller's
        # statement that discards it would.
        return timed(fn, *call_args, setup=setup, warm=warm, free_in_window=True)

    store, build_seconds = build_tessaray(tessaray, data)
    reader = ReadLimit(args.read_limit, nbytes)
    one_thread = {
        "read limit, 1 core": lambda: reader.run(1, warm),
        "tessaray search": call_timed(store.search, query, K),
    }
    threads = {
        f"read limit, {w} cores": lambda: reader.run(w, warm),
        f"tessaray parallel_search ({w} workers)": call_timed(store.parallel_search, query, K, w),
    }
    calls = {}
    keep = []
    if "numpy" in peers:
        limits = peers["numpy"]
        calls["numpy"] = call = numpy_peer(data)
        one_thread["numpy 1 thread"] = call_timed(call, query, setup=lambda: limits(1))
        threads[f"numpy {w} threads"] = call_timed(call, query, setup=lambda: limits(w))
    if "faiss" in peers:
        faiss = peers["faiss"]
        call, index = faiss_peer(faiss, data)
        calls["faiss"] = call
        keep.append(index)
        one_thread["faiss 1 thread"] = call_timed(call, query, setup=lambda: faiss.omp_set_num_threads(1))
        threads[f"faiss {w} threads"] = call_timed(call, query, setup=lambda: faiss.omp_set_num_threads(w))
    if "hnswlib" in peers:
        calls["hnswlib"], index = hnswlib_peer(peers["hnswlib"], data)
        keep.append(index)
        one_thread["hnswlib BFIndex"] = call_timed(calls["hnswlib"], query)
    # In this order no method follows another that read the same data, so a
    # store that fits in the last-level cache is in the same state for all.
    methods = one_thread | threads

    # The answers must agree: tessaray with itself bit for bit, peers by ids.
    expected = store.search(query, K)
    assert store.parallel_search(query, K, w) == expected, "parallel_search differs from search"
    ids = {i for _, i in expected}
    agreement = {name: len(ids & {i for _, i in call(query)}) for name, call in calls.items()}

    gc.collect()
    medians, _ = interleaved_rounds(methods, rounds)
    read = {}
    for t in (1, w):
        seconds, loop, loops = reader.limit(t)
        medians[f"read limit, {t} core" + ("s" if t > 1 else "")] = seconds
        read[t] = {"seconds": seconds, "loop": loop, "loops": loops}
    reader.close()

    result = {
        "n": n, "dim": dim, "bytes": nbytes, "rounds": rounds, "warm": warm, "medians": medians,
        "read": read, "read_mapped": reader.info["mapped"], "read_huge_bytes": reader.info["huge_bytes"],
        "agreement": agreement, "build_seconds": build_seconds,
    }
    if (n, dim) == (1_000, 128) and not args.no_call:
        result["call"] = measure_call(store, query, args)
    del store, methods, keep, data, calls
    gc.collect()
    return result


# ---------------------------------------------------------------------------
# Report


def times_table(results: list, w: int) -> list[str]:
    lines = ["| size | method | median | × read 1 core | × read 2 cores | × faiss 1 thread |",
             "| --- | --- | ---: | ---: | ---: | ---: |"]
    for r in results:
        m = r["medians"]
        size = fmt_size(r["n"], r["dim"]) + (" (warm)" if r["warm"] else "")
        read1, readw = m["read limit, 1 core"], m[f"read limit, {w} cores"]
        faiss1 = m.get("faiss 1 thread")
        for name, t in m.items():
            if name.startswith("read limit"):
                continue
            ratio = f"{t / faiss1:.2f}" if faiss1 else ""
            lines.append(f"| {size} | {name} | {fmt_time(t)} | {t / read1:.2f} | {t / readw:.2f} | {ratio} |")
        lines.append(f"| {size} | read limit, 1 core | {fmt_time(read1)} | 1.00 | {read1 / readw:.2f} | |")
        lines.append(f"| {size} | read limit, {w} cores | {fmt_time(readw)} | {readw / read1:.2f} | 1.00 | |")
    return lines


def read_table(results: list, w: int) -> list[str]:
    lines = ["| size | mapped | on huge pages | best loop, 1 core | best loop, 2 cores | 1 core GB/s |",
             "| --- | ---: | ---: | --- | --- | ---: |"]
    for r in results:
        huge = r["read_huge_bytes"]
        share = f"{fmt_bytes(huge)} ({huge / r['read_mapped']:.0%})" if huge >= 0 else "unknown"
        lines.append(f"| {fmt_size(r['n'], r['dim'])} | {fmt_bytes(r['read_mapped'])} | {share} | "
                     f"{r['read'][1]['loop']} | {r['read'][w]['loop']} | "
                     f"{r['bytes'] / r['read'][1]['seconds'] / 1e9:.1f} |")
    return lines


def add_goals(goals: GoalTable, results: list, w: int) -> None:
    """The search goals of every store of at least GOAL_MIN_ROWS rows."""
    for r in results:
        if r["n"] < GOAL_MIN_ROWS:
            continue
        m = r["medians"]
        size = fmt_size(r["n"], r["dim"])
        s, p = m["tessaray search"], m[f"tessaray parallel_search ({w} workers)"]
        read1, readw = m["read limit, 1 core"], m[f"read limit, {w} cores"]
        x = s / read1
        goals.add(f"`search` {size} ≤ {GOAL_SEARCH_READ} × one-core read limit",
                  f"{fmt_time(s)} = {x:.3f} × {fmt_time(read1)}", x / GOAL_SEARCH_READ)
        faiss1 = m.get("faiss 1 thread")
        if faiss1:
            x = s / faiss1
            goals.add(f"`search` {size} ≤ {GOAL_SEARCH_FAISS} × faiss IndexFlatIP 1 thread",
                      f"{fmt_time(s)} = {x:.3f} × {fmt_time(faiss1)}", x / GOAL_SEARCH_FAISS)
        else:
            goals.add(f"`search` {size} ≤ {GOAL_SEARCH_FAISS} × faiss IndexFlatIP 1 thread", "faiss missing", None)
        x = p / readw
        goals.add(f"`parallel_search` ({w} workers) {size} ≤ {GOAL_PARALLEL_READ} × {w}-core read limit",
                  f"{fmt_time(p)} = {x:.3f} × {fmt_time(readw)}", x / GOAL_PARALLEL_READ)

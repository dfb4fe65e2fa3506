"""Side-by-side benchmark of tessaray against its peers and the machine's read limit.

One run measures every goal of the store's performance, each as a ratio:

  1. Search times over a sweep of store sizes.  The same random data per
     size, timed in one process in interleaved rounds (every method once per
     round, so drift in the machine's speed hits all of them alike):
       - tessaray ``search`` and ``parallel_search`` with 2 workers;
       - numpy: float32 matrix-vector product with precomputed inverse norms,
         then argpartition and a sort of the k best, on one BLAS thread and 2;
       - faiss ``IndexFlatIP`` on normalised vectors, one OpenMP thread and 2;
       - hnswlib ``BFIndex`` with space 'cosine';
       - the read limit: the ``read_limit`` helper, serving from a buffer of
         the store's size on 2 MiB pages, reads it once per round with each of
         its read loops on one core and on 2 cores; the limit is the loop
         with the lowest median.
     Every call gets the query as a Python list of floats and returns the k
     best (score, id) pairs, so the query's conversion is part of every call.
  2. The whole-call cost on a store that fits in cache: ``search`` with a
     list query on 1,000 x 128, timed in batches of calls, against the
     scoring kernel's time on the same store (the ``kernel_bench`` program,
     outside the module), alternating the two.
  3. Resident memory of stores (each case in a fresh interpreter, the growth
     of its resident size over the filling of the stores).
  4. Loading: ``Vectorstore(d, pairs)`` from numpy rows and from
     ``numpy.memmap`` rows of the same values.
  5. A picture of time per query against store size (log-log) at d = 128.

It prints markdown tables (times, read limits, memory, goals) that can be
pasted into docs/benchmarks.md.  Run it through bench/run.sh, which provisions
the peers and builds first.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

K = 10
SWEEP_ROWS = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000, 3_000_000]
DEFAULT_SIZES = [(n, 128) for n in SWEEP_ROWS] + [(200_000, 768)]
# Stores at least this large are "in memory" for the search goals.
GOAL_MIN_ROWS = 100_000

# Goals (upper limits of each ratio).
GOAL_SEARCH_READ = 1.05
GOAL_SEARCH_FAISS = 0.75
GOAL_PARALLEL_READ = 1.10
GOAL_CALL_OVER_KERNEL_US = 1.0
GOAL_MEMORY = 1.0  # resident / (1.05 x raw + 16 B per entry + 64 KiB per store)
GOAL_LOAD_US_PER_ROW = 0.45
GOAL_MEMMAP_OVER_NDARRAY = 1.0

MEMORY_CASES = [  # (label, stores, entries per store, dimension)
    ("one entry of 2**20 floats", 1, 1, 2**20),
    ("200 stores of one 2,000-float entry", 200, 1, 2_000),
    ("N = 1, d = 4,096", 1, 1, 4_096),
    ("N = 63, d = 4,096", 1, 63, 4_096),
    ("N = 64, d = 4,096", 1, 64, 4_096),
    ("N = 65, d = 4,096", 1, 65, 4_096),
    ("1,000,000 x 128", 1, 1_000_000, 128),
    ("N = 1,000, d = 0", 1, 1_000, 0),
]


def cpu_name() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return "unknown"


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def fmt_size(n: int, dim: int) -> str:
    return f"{n:,} x {dim}"


def fmt_bytes(b: float) -> str:
    if b >= 2**20:
        return f"{b / 2**20:.1f} MiB"
    return f"{b / 2**10:.1f} KiB"


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
# Timing


def timed(setup, fn, *args):
    """A method for `time_methods`: `setup()` outside the timed window, then
    (after an untimed call when warm) one timed call of `fn(*args)`."""
    clock = time.perf_counter_ns

    def run(warm: bool) -> float:
        setup()
        if warm:
            fn(*args)
        t0 = clock()
        fn(*args)
        return (clock() - t0) * 1e-9

    return run


def time_methods(methods: dict, rounds: int, warm: bool) -> dict[str, float]:
    """Median seconds per method; every round runs every method once.

    With `warm`, each timed call follows an untimed call of the same method,
    so data that fits in the caches is there (otherwise the other methods'
    copies of the data evict it between rounds and the times are those of
    cold calls)."""
    samples: dict[str, list[float]] = {name: [] for name in methods}
    for run in methods.values():  # warm-up
        run(warm)
    for _ in range(rounds):
        for name, run in methods.items():
            samples[name].append(run(warm))
    return {name: statistics.median(s) for name, s in samples.items()}


def blas_kernel() -> str:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "unknown (no threadpoolctl)"
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            return f"{info.get('internal_api')} {info.get('version')} {info.get('architecture')}"
    return "none found"


def bench_size(n: int, dim: int, args, peers, tessaray) -> dict:
    rng = np.random.default_rng(n * 1_000 + dim)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    query = rng.standard_normal(dim, dtype=np.float32).tolist()
    w = args.workers
    nbytes = n * dim * 4
    rounds = (args.rounds_small if nbytes <= args.small_bytes else
              args.rounds_large if nbytes <= args.huge_bytes else args.rounds_huge)
    warm = nbytes <= args.warm_bytes

    store, build_seconds = build_tessaray(tessaray, data)
    nothing = lambda: None  # noqa: E731
    reader = ReadLimit(args.read_limit, nbytes)
    one_thread = {
        "read limit, 1 core": lambda warm: reader.run(1, warm),
        "tessaray search": timed(nothing, store.search, query, K),
    }
    threads = {
        f"read limit, {w} cores": lambda warm: reader.run(w, warm),
        f"tessaray parallel_search ({w} workers)": timed(nothing, store.parallel_search, query, K, w),
    }
    calls = {}
    keep = []
    if "numpy" in peers:
        limits = peers["numpy"]
        calls["numpy"] = call = numpy_peer(data)
        one_thread["numpy 1 thread"] = timed(lambda: limits(1), call, query)
        threads[f"numpy {w} threads"] = timed(lambda: limits(w), call, query)
    if "faiss" in peers:
        faiss = peers["faiss"]
        call, index = faiss_peer(faiss, data)
        calls["faiss"] = call
        keep.append(index)
        one_thread["faiss 1 thread"] = timed(lambda: faiss.omp_set_num_threads(1), call, query)
        threads[f"faiss {w} threads"] = timed(lambda: faiss.omp_set_num_threads(w), call, query)
    if "hnswlib" in peers:
        calls["hnswlib"], index = hnswlib_peer(peers["hnswlib"], data)
        keep.append(index)
        one_thread["hnswlib BFIndex"] = timed(nothing, calls["hnswlib"], query)
    # In this order no method follows another that read the same data, so a
    # store that fits in the last-level cache is in the same state for all.
    methods = one_thread | threads

    # The answers must agree: tessaray with itself bit for bit, peers by ids.
    expected = store.search(query, K)
    assert store.parallel_search(query, K, w) == expected, "parallel_search differs from search"
    ids = {i for _, i in expected}
    agreement = {name: len(ids & {i for _, i in call(query)}) for name, call in calls.items()}

    gc.collect()
    medians = time_methods(methods, rounds, warm)
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
# The whole call against the kernel on a store that fits in cache


def kernel_bench_times(program: str, shape: str) -> dict[str, float]:
    """Median seconds of score_blocks (every kernel level) and of the core's
    whole search on `shape`, from kernel_bench's JSON output."""
    out = subprocess.run(
        [program, f"--benchmark_filter=^(score_blocks/[^/]+|search/top10)/{shape}/",
         "--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true",
         "--benchmark_min_time=0.05", "--benchmark_format=json"],
        capture_output=True, text=True, check=True).stdout
    times = {}
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            name = b["name"].split("/")
            times["/".join(name[:2])] = b["real_time"] * scale[b["time_unit"]]
    return times


def measure_call(store, query, args) -> dict:
    """Alternates kernel_bench runs with batches of whole `search` calls."""
    search = store.search
    clock = time.perf_counter_ns
    per_call: list[float] = []
    kernel: dict[str, list[float]] = {}
    error = None
    for _ in range(args.call_alternations):
        if args.kernel_bench and os.path.exists(args.kernel_bench) and error is None:
            try:
                for name, t in kernel_bench_times(args.kernel_bench, "1000x128").items():
                    kernel.setdefault(name, []).append(t)
            except (OSError, subprocess.CalledProcessError, ValueError, KeyError) as e:
                error = f"kernel_bench failed: {e}"
        for _ in range(args.call_batches):
            t0 = clock()
            for _ in range(args.call_batch):
                search(query, K)
            per_call.append((clock() - t0) * 1e-9 / args.call_batch)
    result = {"call": statistics.median(per_call)}
    levels = [name for name in kernel if name.startswith("score_blocks/")]
    if levels:
        # The level the module runs: the one TESSARAY_SIMD forces, else the
        # best the CPU supports (kernel_bench lists the levels best first).
        forced = f"score_blocks/{os.environ.get('TESSARAY_SIMD', '')}"
        level = forced if forced in kernel else levels[0]
        result["kernel_level"] = level.split("/")[1]
        result["kernel"] = statistics.median(kernel[level])
    if "search/top10" in kernel:
        result["core_search"] = statistics.median(kernel["search/top10"])
    if "kernel" not in result:
        result["kernel_missing"] = error or (
            "kernel_bench not built (CMake builds it when Google Benchmark, libbenchmark-dev, is installed)")
    return result


# ---------------------------------------------------------------------------
# Resident memory, each case in a fresh interpreter

MEMORY_SCRIPT = r"""
import json, os, sys, time
import numpy as np
import tessaray

stores_n, n, d = (int(a) for a in sys.argv[1:4])
page = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

def huge():
    try:
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith("AnonHugePages:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0

# The rows (numpy float32 row views of a pool of at most 1,000 distinct rows)
# exist before the first measurement; so does everything the module sets up
# on its first use.
pool = np.random.default_rng(7).standard_normal((max(1, min(n, 1000)), d), dtype=np.float32)
rows = list(pool)
warm = tessaray.Vectorstore(4)
warm.insert(np.ones(4, dtype=np.float32), 0)
warm.search([1.0, 0.0, 0.0, 0.0], 1)
del warm
before, huge_before = rss(), huge()
t0 = time.perf_counter_ns()
stores = [tessaray.Vectorstore(d) for _ in range(stores_n)]
for store in stores:
    insert = store.insert
    for i in range(n):
        insert(rows[i % len(rows)], i)
elapsed = time.perf_counter_ns() - t0
print(json.dumps(dict(rss_bytes=rss() - before, huge_bytes=huge() - huge_before,
                      insert_us=elapsed / max(1, stores_n * n) / 1e3)))
"""


def measure_memory(stores: int, n: int, dim: int) -> dict:
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(stores), str(n), str(dim)],
                         capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    raw = stores * n * dim * 4
    result.update(stores=stores, entries=n, dim=dim, raw_bytes=raw,
                  bound=1.05 * raw + 16 * n * stores + 64 * 1024 * stores)
    return result


# ---------------------------------------------------------------------------
# Loading from numpy rows and numpy.memmap rows


def measure_loading(tessaray, n: int, dim: int, rounds: int) -> dict:
    data = np.random.default_rng(11).standard_normal((n, dim), dtype=np.float32)
    query = data[n // 2].tolist()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.f32")
        data.tofile(path)
        mapped = np.memmap(path, dtype=np.float32, mode="r", shape=(n, dim))
        forms = {
            "ndarray rows": [(data[i], i) for i in range(n)],
            "numpy.memmap rows": [(mapped[i], i) for i in range(n)],
        }
        samples: dict[str, list[float]] = {name: [] for name in forms}
        answers = {}
        for r in range(rounds + 1):  # the first round is a warm-up
            for name, pairs in forms.items():
                gc.collect()
                t0 = time.perf_counter()
                store = tessaray.Vectorstore(dim, pairs)
                t = time.perf_counter() - t0
                if r > 0:
                    samples[name].append(t)
                else:
                    answers[name] = store.search(query, K)
                del store
        del forms, mapped
    assert answers["numpy.memmap rows"] == answers["ndarray rows"], "memmap rows load different values"
    return {"n": n, "dim": dim, "rounds": rounds,
            "us_per_row": {name: statistics.median(s) / n * 1e6 for name, s in samples.items()}}


# ---------------------------------------------------------------------------
# Report


def verdict(ratio: float | None) -> str:
    if ratio is None:
        return "not measured"
    return "met" if ratio <= 1.0 else "**missed**"


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


def memory_table(memory: list) -> list[str]:
    lines = ["| case | raw floats | resident | of it on huge pages | bound | resident / bound |",
             "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for m in memory:
        lines.append(f"| {m['label']} | {fmt_bytes(m['raw_bytes'])} | {fmt_bytes(m['rss_bytes'])} | "
                     f"{fmt_bytes(max(0, m['huge_bytes']))} | {fmt_bytes(m['bound'])} | "
                     f"{m['rss_bytes'] / m['bound']:.3f} |")
    return lines


def goals_table(results: list, call: dict | None, memory: list, loading: dict | None, w: int) -> list[str]:
    lines = ["| goal | measured | ratio to the goal's limit | verdict |", "| --- | --- | ---: | --- |"]

    def add(goal, measured, ratio):
        r = f"{ratio:.3f}" if ratio is not None else "-"
        lines.append(f"| {goal} | {measured} | {r} | {verdict(ratio)} |")

    for r in results:
        if r["n"] < GOAL_MIN_ROWS:
            continue
        m = r["medians"]
        size = fmt_size(r["n"], r["dim"])
        s, p = m["tessaray search"], m[f"tessaray parallel_search ({w} workers)"]
        read1, readw = m["read limit, 1 core"], m[f"read limit, {w} cores"]
        x = s / read1
        add(f"`search` {size} ≤ {GOAL_SEARCH_READ} × one-core read limit",
            f"{fmt_time(s)} = {x:.3f} × {fmt_time(read1)}", x / GOAL_SEARCH_READ)
        faiss1 = m.get("faiss 1 thread")
        if faiss1:
            x = s / faiss1
            add(f"`search` {size} ≤ {GOAL_SEARCH_FAISS} × faiss IndexFlatIP 1 thread",
                f"{fmt_time(s)} = {x:.3f} × {fmt_time(faiss1)}", x / GOAL_SEARCH_FAISS)
        else:
            add(f"`search` {size} ≤ {GOAL_SEARCH_FAISS} × faiss IndexFlatIP 1 thread", "faiss missing", None)
        x = p / readw
        add(f"`parallel_search` ({w} workers) {size} ≤ {GOAL_PARALLEL_READ} × {w}-core read limit",
            f"{fmt_time(p)} = {x:.3f} × {fmt_time(readw)}", x / GOAL_PARALLEL_READ)
    if call:
        goal = f"1,000 x 128 `search` (list query) ≤ kernel + {GOAL_CALL_OVER_KERNEL_US} µs"
        if "kernel" in call:
            c, k = call["call"] * 1e6, call["kernel"] * 1e6
            add(goal, f"call {c:.2f} µs, kernel ({call['kernel_level']}) {k:.2f} µs: {c - k:+.2f} µs",
                c / (k + GOAL_CALL_OVER_KERNEL_US))
        else:
            add(goal, f"call {call['call'] * 1e6:.2f} µs; {call['kernel_missing']}", None)
    for m in memory:
        add(f"memory, {m['label']} ≤ 1.05 × raw + 16 B/entry + 64 KiB/store",
            f"{fmt_bytes(m['rss_bytes'])} of {fmt_bytes(m['bound'])}", m["rss_bytes"] / m["bound"] / GOAL_MEMORY)
    if loading:
        us = loading["us_per_row"]
        nd, mm = us["ndarray rows"], us["numpy.memmap rows"]
        add(f"`Vectorstore({loading['dim']}, pairs)` from numpy rows ≤ {GOAL_LOAD_US_PER_ROW} µs per row",
            f"{nd:.3f} µs per row ({loading['n']:,} rows)", nd / GOAL_LOAD_US_PER_ROW)
        add("… from `numpy.memmap` rows no slower than from ndarray rows",
            f"{mm:.3f} µs per row = {mm / nd:.3f} × ndarray rows", mm / nd / GOAL_MEMMAP_OVER_NDARRAY)
    return lines


def plot(results: list, path: str, w: int, title: str) -> str | None:
    sweep = sorted((r for r in results if r["dim"] == 128), key=lambda r: r["n"])
    if len(sweep) < 2:
        return "fewer than two sizes at d = 128"
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        return f"matplotlib missing ({e})"
    series = [  # (method, label, colour, line style, marker)
        ("tessaray search", "tessaray search", "tab:blue", "-", "o"),
        (f"tessaray parallel_search ({w} workers)", f"tessaray parallel_search ({w} workers)", "tab:blue", "--", "s"),
        ("numpy 1 thread", "numpy, 1 thread", "tab:orange", "-", "o"),
        (f"numpy {w} threads", f"numpy, {w} threads", "tab:orange", "--", "s"),
        ("faiss 1 thread", "faiss IndexFlatIP, 1 thread", "tab:green", "-", "o"),
        (f"faiss {w} threads", f"faiss IndexFlatIP, {w} threads", "tab:green", "--", "s"),
        ("read limit, 1 core", "read limit, 1 core", "black", "-", None),
        (f"read limit, {w} cores", f"read limit, {w} cores", "black", "--", None),
    ]
    rows = [r["n"] for r in sweep]
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.4), layout="constrained")
    for method, label, colour, style, marker in series:
        if not all(method in r["medians"] for r in sweep):
            continue
        t = [r["medians"][method] for r in sweep]
        left.plot(rows, [x * 1e3 for x in t], color=colour, linestyle=style, marker=marker, markersize=4, label=label)
        right.plot(rows, [x / r["medians"]["read limit, 1 core"] for x, r in zip(t, sweep)], color=colour,
                   linestyle=style, marker=marker, markersize=4, label=label)
    left.set_xscale("log")
    left.set_yscale("log")
    left.set_xlabel("rows in the store (d = 128)")
    left.set_ylabel("time per query (ms)")
    left.set_title("time per query, k = 10, query as a list")
    left.grid(True, which="major", alpha=0.4)
    left.grid(True, which="minor", alpha=0.12)
    left.legend(fontsize=8)
    right.set_xscale("log")
    right.set_yscale("log")
    from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter

    right.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    right.yaxis.set_major_formatter(ScalarFormatter())
    right.yaxis.set_minor_formatter(NullFormatter())
    right.set_xlabel("rows in the store (d = 128)")
    right.set_ylabel("time / one-core read limit")
    right.set_title("the same, relative to reading the store's bytes once on one core")
    right.axhline(1.0, color="grey", linewidth=0.8)
    right.grid(True, which="major", alpha=0.4)
    right.grid(True, which="minor", alpha=0.12)
    small = [r["n"] for r in sweep if r["warm"]]
    if small:
        for ax in (left, right):
            ax.axvspan(rows[0] / 1.2, max(small) * 1.2, color="grey", alpha=0.08, linewidth=0)
        for ax in (left, right):
            ax.text(rows[0] / 1.15, ax.get_ylim()[0] * 1.05, " fits in cache (timed warm)", fontsize=8,
                    va="bottom", color="dimgrey")
    fig.suptitle(title, fontsize=10)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--read-limit", required=True, help="the read_limit helper program")
    parser.add_argument("--kernel-bench", help="the kernel_bench program (for the whole-call goal)")
    parser.add_argument("--sizes", default=",".join(f"{n}x{d}" for n, d in DEFAULT_SIZES),
                        help="comma-separated NxDIM store sizes to time searches on (default: %(default)s)")
    parser.add_argument("--workers", type=int, default=2, help="workers of parallel_search and threads of the peers")
    parser.add_argument("--rounds-small", type=int, default=101)
    parser.add_argument("--rounds-large", type=int, default=15)
    parser.add_argument("--small-bytes", type=int, default=80_000_000,
                        help="sizes up to this many bytes get --rounds-small")
    parser.add_argument("--rounds-huge", type=int, default=7)
    parser.add_argument("--huge-bytes", type=int, default=1 << 30,
                        help="sizes above this many bytes get --rounds-huge, the others --rounds-large")
    parser.add_argument("--warm-bytes", type=int, default=16 << 20,
                        help="time sizes up to this many bytes with warm caches")
    parser.add_argument("--no-call", action="store_true", help="skip the whole-call goal on 1,000 x 128")
    parser.add_argument("--call-alternations", type=int, default=3)
    parser.add_argument("--call-batches", type=int, default=21)
    parser.add_argument("--call-batch", type=int, default=500, help="calls per timed batch")
    parser.add_argument("--no-memory", action="store_true", help="skip the resident-memory cases")
    parser.add_argument("--load-rows", type=int, default=100_000, help="rows for the loading goal (0 skips it)")
    parser.add_argument("--load-rounds", type=int, default=9)
    parser.add_argument("--plot", default="docs/scaling.png", help="where to draw the picture ('' skips it)")
    parser.add_argument("--markdown", help="also write the tables here")
    parser.add_argument("--json", help="also write the raw results here")
    args = parser.parse_args()
    w = args.workers
    started = time.perf_counter()

    import tessaray

    peers: dict = {}
    try:
        from threadpoolctl import threadpool_limits

        controller = threadpool_limits(limits=None)  # noqa: F841  (loads the BLAS info)

        def limits(t, _cache={}):
            if _cache.get("t") != t:
                _cache["t"] = t
                _cache["ctx"] = threadpool_limits(limits=t, user_api="blas")

        peers["numpy"] = limits
    except ImportError:
        print("threadpoolctl missing: numpy runs with its default thread count only", file=sys.stderr)
        peers["numpy"] = lambda t: None
    for name in ("faiss", "hnswlib"):
        try:
            peers[name] = __import__(name)
        except ImportError:
            print(f"{name} missing: left out", file=sys.stderr)

    header = [
        f"CPU: {cpu_name()}, {len(os.sched_getaffinity(0))} usable processors; "
        f"transparent huge pages: {read_text('/sys/kernel/mm/transparent_hugepage/enabled')}",
        f"Python {sys.version.split()[0]}, numpy {np.__version__}, BLAS: {blas_kernel()}"
        + (f", faiss {peers['faiss'].__version__}" if "faiss" in peers else ""),
        "  " + " ".join(f"{var}={os.environ.get(var, '(unset)')}" for var in (
            "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_WAIT_POLICY", "OPENBLAS_THREAD_TIMEOUT", "TESSARAY_SIMD")),
        f"k = {K}; medians over interleaved rounds; times are whole Python calls with the query as a list",
    ]
    print("\n".join(header), flush=True)

    results: list = []
    for size in filter(None, args.sizes.split(",")):
        n, dim = (int(x) for x in size.lower().split("x"))
        print(f"... search {n:,} x {dim} ({time.perf_counter() - started:.0f} s)", file=sys.stderr, flush=True)
        results.append(bench_size(n, dim, args, peers, tessaray))
    call = next((r["call"] for r in results if "call" in r), None)

    memory = []
    if not args.no_memory:
        for label, stores, n, dim in MEMORY_CASES:
            print(f"... memory, {label} ({time.perf_counter() - started:.0f} s)", file=sys.stderr, flush=True)
            memory.append(dict(measure_memory(stores, n, dim), label=label))

    loading = None
    if args.load_rows > 0:
        print(f"... loading {args.load_rows:,} x 128 ({time.perf_counter() - started:.0f} s)", file=sys.stderr,
              flush=True)
        loading = measure_loading(tessaray, args.load_rows, 128, args.load_rounds)

    plot_note = None
    if args.plot and results:
        plot_note = plot(results, args.plot, w, f"{cpu_name()}, {len(os.sched_getaffinity(0))} cores; "
                                                f"tessaray vs numpy and faiss (one run of bench/run.sh)")

    out = ["", "### Goals", ""] + goals_table(results, call, memory, loading, w)
    if results:
        out += ["", "### Search times", ""] + times_table(results, w)
        out += ["", "### Read limit (2 MiB-aligned mapping advised with MADV_HUGEPAGE)", ""] + read_table(results, w)
    if memory:
        out += ["", "### Resident memory (growth while filling the stores by `insert`, fresh interpreter)", ""]
        out += memory_table(memory)
    notes = []
    if call:
        line = f"1,000 x 128 whole `search` call (batches of {args.call_batch}): {call['call'] * 1e6:.2f} µs"
        if "kernel" in call:
            line += f"; score_blocks/{call['kernel_level']} {call['kernel'] * 1e6:.2f} µs"
        if "core_search" in call:
            line += f"; the core's whole search (scoring and top-10 selection) {call['core_search'] * 1e6:.2f} µs"
        notes.append(line)
    if loading:
        notes.append("loading: " + ", ".join(f"{k} {v:.3f} µs per row" for k, v in loading["us_per_row"].items()))
    for m in memory:
        if m["label"].startswith("1,000,000"):
            notes.append(f"insert of a numpy row (1,000,000 x 128): {m['insert_us']:.3f} µs per call")
    for r in results:
        bad = {k: v for k, v in r["agreement"].items() if v != min(K, r["n"])}
        if bad:
            notes.append(f"{fmt_size(r['n'], r['dim'])}: peers sharing fewer than {K} of tessaray's ids: {bad}")
    if plot_note:
        notes.append(f"no picture: {plot_note}")
    elif args.plot and results:
        notes.append(f"picture: {args.plot}")
    notes.append(f"whole run: {time.perf_counter() - started:.0f} s")
    out += [""] + [f"- {n}" for n in notes]
    text = "\n".join(out)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("\n".join(header) + "\n" + text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": results, "call": call, "memory": memory, "loading": loading}, f, indent=1)
    return 0


def read_text(path: str) -> str:
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return "unknown"


if __name__ == "__main__":
    sys.exit(main())

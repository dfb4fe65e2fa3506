"""Many queries at once, bulk loading and store files: tessaray_bulk side by side with its peers.

One run measures, each as a ratio of times taken in the same process:

  1. The compute limit: ``compute_limit --json --level L`` for every SIMD
     level the CPU has (AVX-512, AVX2), run before the searches, after each
     store size and at the end; the median of the runs' (best-of) rates.
  2. ``search_batch`` over stores of random normal float32 rows (stored as
     they are, not normalised; tessaray scores cosine), k = 10, for Q queries
     (random normal float32, a C-contiguous (Q, d) array), in interleaved
     rounds (every method once per round, medians), against
       - itself on 2 threads, and with ``arrays=False`` (lists) for small Q;
       - faiss ``IndexFlatIP.search`` of the same batch over L2-normalised
         copies of the rows, the queries normalised inside the timed call,
         one thread and 2 (OpenMP and BLAS threads both limited);
       - numpy: normalised queries @ normalised rows.T, then argpartition and
         a sort of the k best, one BLAS thread, in chunks of queries whose
         score matrix stays under --numpy-chunk-bytes; at most
         --numpy-queries queries are timed and the time scaled per query;
       - ``store.search`` called once per query, at most --loop-queries of
         them timed and the time scaled per query.
     With the compute limit: GFLOP/s of search_batch (Q * N * d * 2 flops
     per batch) and the time the probe's unfused rate allows for them.  The
     goal case (the first d = 128 store, Q = 256: search_batch and faiss, one
     thread and 2) runs again once per SIMD level of the CPU, each in a child
     interpreter with TESSARAY_SIMD set to it, back to back, so that the
     levels compare side by side and each level's goals are judged against
     its own probe.
  3. ``insert_many`` of 1,000,000 x 128 float32 rows against copying the same
     bytes into fresh memory, against ``Vectorstore(d, pairs)`` of the same
     rows (the pairs built before the timed call, and built in it from the
     rows and an id list), and from other dtypes and layouts; ``export``
     against a copy; ``save``; ``load`` against ``numpy.load`` + insert_many.
     Every timed call that allocates follows the writing and freeing of as
     much memory as it takes (see ``touch_memory``); every timed load follows
     a read of the whole file (see ``read_file``).
  4. The extra resident memory of search_batch at Q = 4,096 (arrays=True),
     in a fresh interpreter: growth of the high-water mark (VmHWM, reset by
     writing 5 to /proc/self/clear_refs) over the call, and the peak that a
     thread sampling VmRSS every millisecond sees.

It prints markdown tables and the goals, each with its measured ratio and
whether it is met.  Run it through bench/run_batch.sh, which provisions the
peers and builds first; ``--quick`` shrinks every size for a check that the
script works.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import blas_kernel, fmt_time, read_text  # noqa: E402

K = 10
DEFAULT_SIZES = "1000000x128,200000x768"
DEFAULT_QUERIES = "1,16,256,4096"
DEFAULT_ROUNDS = "1:21,16:9,256:5,4096:3"
GOAL_Q = 256  # the batch size of the speed goals
GOAL_DIM = 128

# Goals (upper limits of each ratio).
GOAL_BATCH_OVER_FAISS = 1.0  # where the probe's unfused rate is >= 0.9 of its fused rate
GOAL_PROBE_RATIO_FOR_FAISS = 0.9
GOAL_BATCH_OVER_UNFUSED = 1.3
GOAL_TWO_OVER_ONE = 0.55
GOAL_Q1_OVER_SEARCH = 1.05
GOAL_INSERT_OVER_COPY = 2.0
GOAL_INSERT_OVER_PAIRS = 1 / 15
GOAL_DTYPE_OVER_F32 = 3.0
GOAL_EXPORT_OVER_COPY = 2.0
GOAL_LOAD_OVER_NUMPY = 2.0
GOAL_MEMORY_FIXED = 64 * 2**20
GOAL_MEMORY_PER_RESULT = 16

clock = time.perf_counter


def fmt_bytes(b: float) -> str:
    if abs(b) >= 2**20:
        return f"{b / 2**20:.1f} MiB"
    return f"{b / 2**10:.1f} KiB"


def fmt_secs(s: float) -> str:
    return f"{s:.2f} s" if s >= 1 else fmt_time(s)


def log(msg: str, started: float) -> None:
    print(f"... {msg} ({clock() - started:.0f} s)", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The machine


def cpu_model() -> str:
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        return "unknown"
    name = fields.get("model name", "unknown")
    return f"{name} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')}, " \
           f"stepping {fields.get('stepping', '?')})"


def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def kernel_levels() -> list[str]:
    """The levels tessaray's kernels run here, best first (as its dispatch picks them)."""
    flags = cpu_flags()
    levels = []
    if "avx512f" in flags:
        levels.append("avx512")
    if "avx2" in flags:
        levels.append("avx2")
    return levels + ["baseline"]


def kernel_level() -> str:
    """The level the module runs: the one TESSARAY_SIMD forces, else the best."""
    levels = kernel_levels()
    forced = os.environ.get("TESSARAY_SIMD")
    return forced if forced in levels else levels[0]


class Probe:
    """Runs of the compute-limit program, per level."""

    def __init__(self, program: str | None):
        self.program = program if program and os.path.exists(program) else None
        flags = cpu_flags()
        self.levels = [lvl for lvl, ok in (("avx512", "avx512f" in flags),
                                           ("avx2", "avx2" in flags and "fma" in flags)) if ok]
        self.runs: dict[str, list[dict]] = {lvl: [] for lvl in self.levels}

    def run(self) -> None:
        if not self.program:
            return
        for level in self.levels:
            out = subprocess.run([self.program, "--level", level, "--json"], capture_output=True, text=True,
                                 check=True).stdout
            self.runs[level].append(json.loads(out))

    def machine(self) -> dict | None:
        """The machine's best unfused and best fused rates over its levels
        (the shape a query-tiled kernel uses), and their ratio."""
        rates = {lvl: r for lvl in self.levels if (r := self.rate(lvl))}
        if not rates:
            return None
        best = max(rates, key=lambda lvl: rates[lvl]["unfused"])
        fused = max(r["fused"] for r in rates.values())
        return {"level": best, "unfused": rates[best]["unfused"], "fused": fused,
                "ratio": rates[best]["unfused"] / fused}

    def rate(self, level: str) -> dict | None:
        runs = self.runs.get(level) or []
        if not runs:
            return None
        unfused = statistics.median(r["unfused_gflops"] for r in runs)
        fused = statistics.median(r["fused_gflops"] for r in runs)
        return {"unfused": unfused, "fused": fused, "ratio": unfused / fused, "runs": len(runs),
                "unfused_range": (min(r["unfused_gflops"] for r in runs), max(r["unfused_gflops"] for r in runs)),
                "fused_range": (min(r["fused_gflops"] for r in runs), max(r["fused_gflops"] for r in runs)),
                "ratio_range": (min(r["ratio"] for r in runs), max(r["ratio"] for r in runs)),
                "shape": runs[0]["shape"]}


# ---------------------------------------------------------------------------
# Threads of the peers


class Threads:
    """Sets the BLAS and OpenMP thread counts (threadpoolctl) and faiss's."""

    def __init__(self, faiss):
        self.faiss = faiss
        self.state = None
        try:
            from threadpoolctl import threadpool_limits

            self.limits = threadpool_limits
        except ImportError:
            print("threadpoolctl missing: numpy and faiss run with their default thread counts", file=sys.stderr)
            self.limits = None

    def set(self, n: int) -> None:
        if self.state == n:
            return
        self.state = n
        if self.limits:
            self._ctx = self.limits(limits=n)
        if self.faiss is not None:
            self.faiss.omp_set_num_threads(n)


# ---------------------------------------------------------------------------
# Rounds


def run_rounds(methods: dict, max_rounds: int, case_seconds: float, warmup_below: float) -> tuple[dict, int]:
    """Median seconds per method over interleaved rounds (each method once per
    round).  A first round faster than `warmup_below` is a warm-up and not
    counted; no new round starts once the case has taken `case_seconds`."""
    samples: dict[str, list[float]] = {name: [] for name in methods}
    started = clock()
    counted = 0
    first = True
    while True:
        t0 = clock()
        times = {name: run() for name, run in methods.items()}
        took = clock() - t0
        if first and took < warmup_below:
            first = False
            continue
        first = False
        for name, t in times.items():
            samples[name].append(t)
        counted += 1
        if counted >= max_rounds or clock() - started >= case_seconds:
            break
    return {name: statistics.median(s) for name, s in samples.items()}, counted


def touch_memory(nbytes: int) -> None:
    """Writes `nbytes` of fresh memory and frees it.  In a virtual machine
    that hands free memory back to its host (a balloon's free-page
    reporting), memory left free for a few seconds costs a host fault per
    page on its next first touch (here about 2 ms per MiB, 20 times a
    copy); memory freed just now does not.  Called before each timed call
    that allocates, it gives every method the same backed memory."""
    block = np.ones(max(1, nbytes // 4), dtype=np.float32)
    del block


def read_file(path: str) -> None:
    """Reads the whole file, so that its pages are in the page cache and
    recently used: this machine's kernel (DAMON, pageout of pages unused for
    a minute) drops file pages left alone, and a load would then read the
    disk."""
    buf = bytearray(16 << 20)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


def timed(fn, setup=None, teardown=None):
    def run() -> float:
        if setup:
            setup()
        t0 = clock()
        result = fn()
        t = clock() - t0
        if teardown:
            teardown(result)
        del result
        return t

    return run


# ---------------------------------------------------------------------------
# 2. search_batch


def numpy_topk(rows_n: np.ndarray, queries: np.ndarray, chunk: int):
    n = rows_n.shape[0]
    keep = min(K, n)
    out_s = np.empty((len(queries), keep), dtype=np.float32)
    out_i = np.empty((len(queries), keep), dtype=np.int64)
    for s in range(0, len(queries), chunk):
        q = queries[s:s + chunk]
        q = q / np.linalg.norm(q, axis=1, keepdims=True)
        scores = q @ rows_n.T
        cand = np.argpartition(scores, n - keep, axis=1)[:, n - keep:] if keep < n else \
            np.broadcast_to(np.arange(n), scores.shape).copy()
        top = np.take_along_axis(scores, cand, axis=1)
        order = np.argsort(-top, axis=1, kind="stable")
        out_s[s:s + chunk] = np.take_along_axis(top, order, axis=1)
        out_i[s:s + chunk] = np.take_along_axis(cand, order, axis=1)
    return out_s, out_i


def bench_search_size(n: int, dim: int, args, tessaray, bulk, faiss, threads: Threads, started: float) -> dict:
    w = args.threads
    rng = np.random.default_rng(n * 1_000 + dim)
    log(f"search {n:,} x {dim}: data", started)
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    q_max = max(args.queries)
    queries = rng.standard_normal((q_max, dim), dtype=np.float32)
    store = tessaray.Vectorstore(dim)
    bulk.insert_many(store, rows)
    rows_n = rows / np.linalg.norm(rows, axis=1, keepdims=True)
    del rows
    gc.collect()
    index = None
    if faiss is not None:
        index = faiss.IndexFlatIP(dim)
        index.add(rows_n)
    chunk = max(1, min(256, args.numpy_chunk_bytes // (n * 4)))
    selected = set(args.methods.split(",")) if args.methods else None

    def want(key: str) -> bool:
        return selected is None or key in selected

    # The answers: search_batch equals search bit for bit, with either output
    # and any thread count; the peers share ids with it.
    check = queries[:min(q_max, 64)]
    lists = bulk.search_batch(store, check, K, 1)
    one_by_one = [store.search(q, K) for q in check[:8]]
    notes = []
    if lists[:8] != one_by_one:
        notes.append("search_batch differs from store.search")
    s1, i1 = (np.asarray(a) for a in bulk.search_batch(store, check, K, 1, arrays=True))
    s2, i2 = (np.asarray(a) for a in bulk.search_batch(store, check, K, w, arrays=True))
    if not (np.array_equal(s1, s2) and np.array_equal(i1, i2)):
        notes.append(f"search_batch on {w} threads differs from 1 thread")
    if [[(float(s), int(i)) for s, i in zip(rs, ri)] for rs, ri in zip(s1, i1)] != lists:
        notes.append("search_batch arrays differ from its lists")
    agreement = {}
    if index is not None:
        qn = check / np.linalg.norm(check, axis=1, keepdims=True)
        _, fi = index.search(qn, K)
        agreement["faiss"] = float(np.mean([len(set(a) & set(b.tolist())) for a, b in zip(i1.tolist(), fi)]))
    _, ni = numpy_topk(rows_n, check, chunk)
    agreement["numpy"] = float(np.mean([len(set(a) & set(b.tolist())) for a, b in zip(i1.tolist(), ni)]))
    del lists, s1, s2, i1, i2

    cases = []
    for q_count in args.queries:
        batch = np.ascontiguousarray(queries[:q_count])
        loop_q = min(q_count, args.loop_queries)
        numpy_q = min(q_count, args.numpy_queries)
        loop_batch = batch[:loop_q]
        numpy_batch = np.ascontiguousarray(batch[:numpy_q])
        methods, per = {}, {}

        def add(key, label, run, count):
            if want(key):
                methods[label] = run
                per[label] = count

        search_batch, search = bulk.search_batch, store.search
        add("batch1", "search_batch, 1 thread",
            timed(lambda: search_batch(store, batch, K, 1, arrays=True)), q_count)
        add("batch2", f"search_batch, {w} threads",
            timed(lambda: search_batch(store, batch, K, w, arrays=True)), q_count)
        if q_count <= args.lists_max_queries:
            add("lists1", "search_batch, 1 thread, lists", timed(lambda: search_batch(store, batch, K, 1)), q_count)
        add("loop", "store.search per query", timed(lambda: [search(q, K) for q in loop_batch],
                                                    lambda: threads.set(1)), loop_q)
        if index is not None:
            def faiss_call():
                qn = batch / np.linalg.norm(batch, axis=1, keepdims=True)
                return index.search(qn, K)

            add("faiss1", "faiss IndexFlatIP, 1 thread", timed(faiss_call, lambda: threads.set(1)), q_count)
            add("faiss2", f"faiss IndexFlatIP, {w} threads", timed(faiss_call, lambda: threads.set(w)), q_count)
        add("numpy", "numpy, 1 BLAS thread", timed(lambda: numpy_topk(rows_n, numpy_batch, chunk),
                                                  lambda: threads.set(1)), numpy_q)
        rounds = args.rounds.get(q_count, args.rounds.get(max(args.rounds), 3))
        log(f"search {n:,} x {dim}, Q = {q_count:,} (up to {rounds} rounds)", started)
        gc.collect()
        medians, counted = run_rounds(methods, rounds, args.case_seconds, args.warmup_below)
        cases.append({"q": q_count, "rounds": counted, "whole": medians,
                      "timed_queries": per,
                      "per_query": {name: t / per[name] for name, t in medians.items()}})
    del store, index, rows_n, queries
    gc.collect()
    return {"n": n, "dim": dim, "cases": cases, "numpy_chunk": chunk, "agreement": agreement, "notes": notes}


def child_goal_case(args, level: str, n: int, dim: int, started: float) -> dict | None:
    """The goal's case (Q = 256, one and two threads, search_batch and faiss)
    in a child interpreter with TESSARAY_SIMD=level."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "child.json")
        cmd = [sys.executable, os.path.abspath(__file__), "--sections", "search", "--sizes", f"{n}x{dim}",
               "--queries", str(GOAL_Q), "--methods", "batch1,batch2,faiss1,faiss2", "--simd-levels", "",
               "--rounds", f"{GOAL_Q}:{args.rounds.get(GOAL_Q, 5)}", "--case-seconds", str(args.case_seconds),
               "--threads", str(args.threads), "--json", out, "--quiet"]
        log(f"search {n:,} x {dim}, Q = {GOAL_Q} again with TESSARAY_SIMD={level} (child)", started)
        proc = subprocess.run(cmd, env=dict(os.environ, TESSARAY_SIMD=level), capture_output=True, text=True)
        if proc.returncode != 0:
            print(proc.stderr, file=sys.stderr)
            return None
        with open(out) as f:
            data = json.load(f)
    result = data["search"][0]
    result["level"] = level
    return result


# ---------------------------------------------------------------------------
# 3. Bulk loading, export, files


def bench_bulk(args, tessaray, bulk, started: float) -> dict:
    n, dim = args.insert_rows, 128
    rng = np.random.default_rng(4242)
    log(f"bulk {n:,} x {dim}: data", started)
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    wide = np.empty((n, 2 * dim), dtype=np.float32)
    wide[:, ::2] = rows
    forms = {
        "float64": rows.astype(np.float64),
        "float16": rows.astype(np.float16),
        "int8": np.clip(np.round(rows * 32), -128, 127).astype(np.int8),
        "'>f4' (big-endian)": rows.astype(">f4"),
        "strided view (every other column of n x 256 float32)": wide[:, ::2],
    }
    pairs_n = min(n, args.pairs_rows)
    pairs = [(rows[i], i) for i in range(pairs_n)]
    Vectorstore, insert_many = tessaray.Vectorstore, bulk.insert_many

    def insert(src, with_ids=False):
        def fn():
            store = Vectorstore(dim)
            if with_ids:
                insert_many(store, src, ids)
            else:
                insert_many(store, src)
            return store
        return fn

    def copy():
        out = np.empty_like(rows)
        np.copyto(out, rows)
        return out

    store_bytes = n * dim * 4 + n * 8

    def touch():
        touch_memory(store_bytes + store_bytes // 8)

    def touch_twice():
        touch_memory(2 * store_bytes + store_bytes // 4)

    methods = {
        "copy into fresh memory (np.empty + np.copyto)": timed(copy, touch),
        "insert_many, float32": timed(insert(rows), touch),
        "insert_many, float32, ids uint64 array": timed(insert(rows, True), touch),
    }
    for name, src in forms.items():
        methods[f"insert_many, {name}"] = timed(insert(src), touch)
    methods[f"Vectorstore({dim}, pairs), {pairs_n:,} rows"] = timed(lambda: Vectorstore(dim, pairs), touch)
    id_list = list(range(pairs_n))
    some_rows = rows[:pairs_n]
    methods[f"Vectorstore({dim}, list(zip(rows, ids))), pairs built in the call, {pairs_n:,} rows"] = timed(
        lambda: Vectorstore(dim, list(zip(some_rows, id_list))), touch)

    # The stores must hold the float32 rows' values (int8 and float16 hold their own).
    check = rng.standard_normal((4, dim), dtype=np.float32)
    ref = tessaray.Vectorstore(dim)
    insert_many(ref, rows)
    notes = []
    expected = [ref.search(q, K) for q in check]
    for name, src in forms.items():  # each form holds its values as float32 (on the first rows)
        s = Vectorstore(dim)
        insert_many(s, src[:10_000])
        if not np.array_equal(np.asarray(bulk.export(s)[0]), np.asarray(src[:10_000], dtype=np.float32)):
            notes.append(f"insert_many from {name} holds other values than numpy's conversion to float32")
        del s

    log(f"bulk {n:,} x {dim}: insert_many rounds", started)
    gc.collect()
    insert_medians, insert_rounds = run_rounds(methods, args.bulk_rounds, args.case_seconds, 0.0)
    del pairs, forms, wide
    gc.collect()

    # export against a copy of the same bytes (vectors and ids)
    def copy_both():
        return rows.copy(), ids.copy()

    v, i = bulk.export(ref)
    if not (np.array_equal(np.asarray(v), rows) and np.array_equal(np.asarray(i), ids)):
        notes.append("export differs from the rows inserted")
    del v, i
    log(f"bulk {n:,} x {dim}: export rounds", started)
    export_medians, export_rounds = run_rounds({
        "copy of the vectors and ids (ndarray.copy)": timed(copy_both, touch),
        "export": timed(lambda: bulk.export(ref), touch),
    }, args.bulk_rounds, args.case_seconds, 0.0)

    # save and load, in a folder beside the build (the same disk as the project)
    folder = args.tmp_dir or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        path = os.path.join(tmp, "store.npz")
        log(f"bulk {n:,} x {dim}: save and load rounds", started)
        save_medians, save_rounds = run_rounds({"save": timed(lambda: bulk.save(ref, path))},
                                               args.save_rounds, args.case_seconds, 0.0)
        file_bytes = os.path.getsize(path)

        def numpy_load():
            with np.load(path) as z:
                return z["vectors"], z["ids"]

        def numpy_load_insert():
            vectors, vids = numpy_load()
            store = Vectorstore(dim)
            insert_many(store, vectors, vids)
            return store

        loaded = bulk.load(path)
        if [loaded.search(q, K) for q in check] != expected or len(loaded) != n:
            notes.append("the loaded store answers differently from the saved one")
        via_numpy = numpy_load()
        if not (np.array_equal(via_numpy[0], rows) and np.array_equal(via_numpy[1], ids)):
            notes.append("numpy.load reads other arrays than the store's")
        del loaded, via_numpy
        # Both read the file from the page cache: it is read through right
        # before each timed call (and the first round is a warm-up).
        def warm():
            read_file(path)
            touch_twice()

        load_medians, load_rounds = run_rounds({
            "numpy.load + insert_many": timed(numpy_load_insert, warm),
            "tessaray_bulk.load": timed(lambda: bulk.load(path), warm),
            "numpy.load alone": timed(numpy_load, warm),
        }, args.bulk_rounds, args.case_seconds, 1e9)
    del ref, rows, ids
    gc.collect()
    return {"n": n, "dim": dim, "pairs_rows": pairs_n, "insert": insert_medians, "insert_rounds": insert_rounds,
            "export": export_medians, "export_rounds": export_rounds, "save": save_medians,
            "save_rounds": save_rounds, "load": load_medians, "load_rounds": load_rounds,
            "file_bytes": file_bytes, "folder": folder, "notes": notes}


# ---------------------------------------------------------------------------
# 4. Extra memory of search_batch, in a fresh interpreter

MEMORY_SCRIPT = r"""
import gc, json, sys, threading, time
import numpy as np
import tessaray, tessaray_bulk

n, dim, q, k, threads = (int(a) for a in sys.argv[1:6])

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

rng = np.random.default_rng(99)
store = tessaray.Vectorstore(dim)
tessaray_bulk.insert_many(store, rng.standard_normal((n, dim), dtype=np.float32))
queries = rng.standard_normal((q, dim), dtype=np.float32)
gc.collect()
calls = []
for call in range(2):
    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    hwm_reset = status("VmHWM")
    peak = [before]
    done = threading.Event()
    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], status("VmRSS"))
            time.sleep(0.001)
    sampler = threading.Thread(target=sample)
    sampler.start()
    t0 = time.perf_counter()
    result = tessaray_bulk.search_batch(store, queries, k, threads, arrays=True)
    seconds = time.perf_counter() - t0
    done.set()
    sampler.join()
    hwm = status("VmHWM")
    after = status("VmRSS")
    calls.append(dict(before=before, hwm_reset=hwm_reset, hwm=hwm, sampled=peak[0], after=after, seconds=seconds,
                      result_bytes=sum(memoryview(a).nbytes for a in result)))
    del result
    gc.collect()
print(json.dumps(calls))
"""


def bench_memory(args, started: float) -> dict:
    n, dim, q = args.memory_rows, 128, args.memory_queries
    log(f"memory of search_batch, {n:,} x {dim}, Q = {q:,}, {args.threads} threads (child)", started)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(n), str(dim), str(q), str(K), str(args.threads)],
                         capture_output=True, text=True, check=True)
    calls = json.loads(out.stdout)
    for c in calls:
        c["growth_hwm"] = c["hwm"] - c["before"]
        c["growth_sampled"] = c["sampled"] - c["before"]
        c["reset_ok"] = c["hwm_reset"] <= c["before"] + 2**20
    keep = min(K, n)
    return {"n": n, "dim": dim, "q": q, "threads": args.threads, "calls": calls,
            "bound": GOAL_MEMORY_FIXED + GOAL_MEMORY_PER_RESULT * q * keep}


# ---------------------------------------------------------------------------
# Report


def verdict(ratio: float | None) -> str:
    if ratio is None:
        return "not measured"
    return "met" if ratio <= 1.0 else "**missed**"


def probe_table(probe: Probe, level: str) -> list[str]:
    lines = ["| level | runs | unfused GFLOP/s (median; range) | fused GFLOP/s (median; range) | "
             "unfused / fused (range) | kernel runs at |",
             "| --- | ---: | ---: | ---: | ---: | --- |"]
    for lvl in probe.levels:
        r = probe.rate(lvl)
        if not r:
            continue
        lines.append(f"| {lvl} ({r['shape']}) | {r['runs']} | {r['unfused']:.1f} ({r['unfused_range'][0]:.1f}-"
                     f"{r['unfused_range'][1]:.1f}) | {r['fused']:.1f} ({r['fused_range'][0]:.1f}-"
                     f"{r['fused_range'][1]:.1f}) | {r['ratio']:.3f} ({r['ratio_range'][0]:.3f}-"
                     f"{r['ratio_range'][1]:.3f}) | {'yes' if lvl == level else ''} |")
    return lines


def search_tables(results: list, probe_rate: dict | None, level: str, w: int) -> list[str]:
    out = []
    for r in results:
        n, dim = r["n"], r["dim"]
        out += ["", f"#### {n:,} x {dim}", "",
                "| Q | method | per query | whole batch (scaled) | × search_batch 1 thread | "
                "× faiss, same threads | GFLOP/s | rounds |",
                "| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
        for c in r["cases"]:
            q, pq = c["q"], c["per_query"]
            ours = pq.get("search_batch, 1 thread")
            for name, t in pq.items():
                ref = pq.get(f"faiss IndexFlatIP, {w} threads" if f"{w} threads" in name else
                             "faiss IndexFlatIP, 1 thread")
                x_ours = f"{t / ours:.2f}" if ours else ""
                x_faiss = f"{t / ref:.2f}" if ref else ""
                gflops = n * dim * 2 / t / 1e9
                scaled = t * q
                mark = "" if c["timed_queries"][name] == q else f" ({c['timed_queries'][name]:,} timed)"
                out.append(f"| {q:,} | {name} | {fmt_time(t)} | {fmt_secs(scaled)}{mark} | {x_ours} | {x_faiss} | "
                           f"{gflops:.1f} | {c['rounds']} |")
    if probe_rate:
        u = probe_rate["unfused"]
        out += ["", f"#### search_batch against the compute limit ({level} probe, unfused {u:.1f} GFLOP/s per core)",
                "",
                "| size | Q | threads | batch time | GFLOP/s | time the unfused rate allows | ratio |",
                "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
        for r in results:
            for c in r["cases"]:
                flops = c["q"] * r["n"] * r["dim"] * 2
                for t, name in ((1, "search_batch, 1 thread"), (w, f"search_batch, {w} threads")):
                    if name not in c["whole"]:
                        continue
                    secs = c["whole"][name]
                    allowed = flops / (u * 1e9 * t)
                    out.append(f"| {r['n']:,} x {r['dim']} | {c['q']:,} | {t} | {fmt_secs(secs)} | "
                               f"{flops / secs / 1e9:.1f} | {fmt_secs(allowed)} | {secs / allowed:.2f} |")
    return out


def bulk_tables(b: dict) -> list[str]:
    n = b["n"]
    ins = b["insert"]
    f32 = ins["insert_many, float32"]
    copy = ins["copy into fresh memory (np.empty + np.copyto)"]
    lines = [f"| {n:,} x {b['dim']} | median | µs per row | × copy | × insert_many float32 |",
             "| --- | ---: | ---: | ---: | ---: |"]
    for name, t in ins.items():
        scale = n / b["pairs_rows"] if name.startswith("Vectorstore(") else 1.0
        label = name + (f" (scaled to {n:,})" if scale != 1.0 else "")
        t = t * scale
        lines.append(f"| {label} | {fmt_secs(t)} | {t / n * 1e6:.3f} | {t / copy:.2f} | {t / f32:.2f} |")
    ex = b["export"]
    ecopy = ex["copy of the vectors and ids (ndarray.copy)"]
    for name, t in ex.items():
        lines.append(f"| {name} | {fmt_secs(t)} | {t / n * 1e6:.3f} | {t / ecopy:.2f} | |")
    for name, t in b["save"].items():
        lines.append(f"| {name} ({fmt_bytes(b['file_bytes'])} file, into the page cache) | {fmt_secs(t)} | "
                     f"{t / n * 1e6:.3f} | | |")
    ld = b["load"]
    base = ld["numpy.load + insert_many"]
    for name, t in ld.items():
        lines.append(f"| {name} (file in the page cache) | {fmt_secs(t)} | {t / n * 1e6:.3f} | | "
                     f"{t / base:.2f} × numpy.load + insert_many |")
    return lines


def memory_table(m: dict) -> list[str]:
    lines = ["| call | before (VmRSS) | VmHWM growth | sampled VmRSS peak growth | after - before | "
             "result buffers | call time | bound | growth / bound |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for i, c in enumerate(m["calls"]):
        growth = max(c["growth_hwm"], c["growth_sampled"])
        lines.append(f"| {'first' if i == 0 else 'second'} | {fmt_bytes(c['before'])} | {fmt_bytes(c['growth_hwm'])}"
                     f"{'' if c['reset_ok'] else ' (reset failed)'} | {fmt_bytes(c['growth_sampled'])} | "
                     f"{fmt_bytes(c['after'] - c['before'])} | {fmt_bytes(c['result_bytes'])} | "
                     f"{fmt_secs(c['seconds'])} | {fmt_bytes(m['bound'])} | {growth / m['bound']:.3f} |")
    return lines


def goals(search: list, children: list, probe: Probe, level: str, bulk: dict | None, memory: dict | None,
          w: int) -> list[str]:
    lines = ["| goal | measured | ratio to the goal's limit | verdict |", "| --- | --- | ---: | --- |"]

    def add(goal, measured, ratio, note=""):
        r = f"{ratio:.3f}" if ratio is not None else "-"
        lines.append(f"| {goal} | {measured} | {r} | {verdict(ratio) if not note else note} |")

    def add_a(label: str, n: int, dim: int, one, f1, rate: dict, whose: str) -> None:
        """Goal (a) against faiss (where `whose` unfused rate is at least the
        goal's share of the fused one) and against the time that rate allows."""
        if f1:
            x = one / f1
            applies = rate["ratio"] >= GOAL_PROBE_RATIO_FOR_FAISS
            add(f"(a) {label}: search_batch 1 thread ≤ {GOAL_BATCH_OVER_FAISS} × faiss 1 thread where {whose} "
                f"unfused/fused ≥ {GOAL_PROBE_RATIO_FOR_FAISS}",
                f"{fmt_secs(one)} = {x:.3f} × {fmt_secs(f1)} ({whose} unfused/fused {rate['ratio']:.3f})",
                x / GOAL_BATCH_OVER_FAISS,
                "" if applies else f"does not apply ({rate['ratio']:.3f} < {GOAL_PROBE_RATIO_FOR_FAISS}); "
                                   f"{'would be met' if x <= GOAL_BATCH_OVER_FAISS else 'would be missed'}")
        allowed = GOAL_Q * n * dim * 2 / (rate["unfused"] * 1e9)
        x = one / allowed
        add(f"(a) {label}: search_batch 1 thread ≤ {GOAL_BATCH_OVER_UNFUSED} × the time {whose} unfused rate allows",
            f"{fmt_secs(one)} = {x:.3f} × {fmt_secs(allowed)} ({rate['unfused']:.1f} GFLOP/s)",
            x / GOAL_BATCH_OVER_UNFUSED)

    rate = probe.rate(level)
    best = probe.machine()
    for r in search:
        size = f"{r['n']:,} x {r['dim']}"
        cases = {c["q"]: c for c in r["cases"]}
        c = cases.get(GOAL_Q)
        if r["dim"] == GOAL_DIM and c:
            m = c["whole"]
            one = m.get("search_batch, 1 thread")
            two = m.get(f"search_batch, {w} threads")
            f1 = m.get("faiss IndexFlatIP, 1 thread")
            label = f"{size}, Q = {GOAL_Q}"
            if one and rate is None:
                add(f"(a) {label}: search_batch 1 thread against the compute limit", f"no probe for level {level}", None)
            if one and rate:
                add_a(label, r["n"], r["dim"], one, f1, rate, f"the {level} probe's")
            if one and best:
                # The goal names the machine's best rates, whichever level reaches them.
                add_a(label, r["n"], r["dim"], one, f1, best, f"the machine's best ({best['level']})")
            if one and two:
                x = two / one
                add(f"(b) {size}, Q = {GOAL_Q}: search_batch {w} threads ≤ {GOAL_TWO_OVER_ONE} × 1 thread",
                    f"{fmt_secs(two)} = {x:.3f} × {fmt_secs(one)}", x / GOAL_TWO_OVER_ONE)
        c1 = cases.get(1)
        if c1:
            m = c1["whole"]
            s = m.get("store.search per query")
            for name in ("search_batch, 1 thread, lists", "search_batch, 1 thread"):
                if name in m and s:
                    x = m[name] / s
                    form = "lists" if "lists" in name else "arrays=True"
                    add(f"(c) {size}, Q = 1: search_batch 1 thread ({form}) ≤ {GOAL_Q1_OVER_SEARCH} × store.search",
                        f"{fmt_time(m[name])} = {x:.3f} × {fmt_time(s)}", x / GOAL_Q1_OVER_SEARCH)
    for child in children:
        m = child["cases"][0]["whole"]
        crate = probe.rate(child["level"])
        size = f"{child['n']:,} x {child['dim']}"
        one, f1 = m.get("search_batch, 1 thread"), m.get("faiss IndexFlatIP, 1 thread")
        two = m.get(f"search_batch, {w} threads")
        forced = f"TESSARAY_SIMD={child['level']} (child)"
        if one and crate:
            add_a(f"{forced}, {size}, Q = {GOAL_Q}", child["n"], child["dim"], one, f1, crate,
                  f"the {child['level']} probe's")
        if one and two:
            x = two / one
            add(f"(b) {forced}, {size}, Q = {GOAL_Q}: {w} threads ≤ {GOAL_TWO_OVER_ONE} × 1 thread",
                f"{fmt_secs(two)} = {x:.3f} × {fmt_secs(one)}", x / GOAL_TWO_OVER_ONE)
    if bulk:
        n = bulk["n"]
        ins = bulk["insert"]
        f32 = ins["insert_many, float32"]
        copy = ins["copy into fresh memory (np.empty + np.copyto)"]
        x = f32 / copy
        add(f"insert_many {n:,} x {bulk['dim']} float32 ≤ {GOAL_INSERT_OVER_COPY} × copying the bytes into fresh "
            f"memory", f"{fmt_secs(f32)} = {x:.3f} × {fmt_secs(copy)}", x / GOAL_INSERT_OVER_COPY)
        scaled = "" if bulk["pairs_rows"] == n else ", scaled"
        for pairs_name in (k for k in ins if k.startswith("Vectorstore(")):
            pairs = ins[pairs_name] * n / bulk["pairs_rows"]
            x = f32 / pairs
            how = "pairs built in the call" if "built in the call" in pairs_name else "pairs built before"
            add(f"insert_many ≥ {1 / GOAL_INSERT_OVER_PAIRS:.0f} × faster than Vectorstore({bulk['dim']}, pairs) "
                f"({bulk['pairs_rows']:,} rows, {how}{scaled})",
                f"{fmt_secs(f32)} vs {fmt_secs(pairs)}: {pairs / f32:.1f} × faster", x / GOAL_INSERT_OVER_PAIRS)
        for name, t in ins.items():
            if name.startswith("insert_many, ") and name not in ("insert_many, float32",
                                                                 "insert_many, float32, ids uint64 array"):
                x = t / f32
                add(f"{name} ≤ {GOAL_DTYPE_OVER_F32} × insert_many float32", f"{fmt_secs(t)} = {x:.3f} × float32",
                    x / GOAL_DTYPE_OVER_F32)
        ex = bulk["export"]
        e, c = ex["export"], ex["copy of the vectors and ids (ndarray.copy)"]
        x = e / c
        add(f"export {n:,} x {bulk['dim']} ≤ {GOAL_EXPORT_OVER_COPY} × a copy",
            f"{fmt_secs(e)} = {x:.3f} × {fmt_secs(c)}", x / GOAL_EXPORT_OVER_COPY)
        ld = bulk["load"]
        lo, base = ld["tessaray_bulk.load"], ld["numpy.load + insert_many"]
        x = lo / base
        add(f"load of a saved {n:,} x {bulk['dim']} store ≤ {GOAL_LOAD_OVER_NUMPY} × (numpy.load + insert_many), "
            f"both warm", f"{fmt_secs(lo)} = {x:.3f} × {fmt_secs(base)}", x / GOAL_LOAD_OVER_NUMPY)
    if memory:
        growth = max(max(c["growth_hwm"], c["growth_sampled"]) for c in memory["calls"])
        add(f"search_batch extra memory, {memory['n']:,} x {memory['dim']}, Q = {memory['q']:,}, arrays=True, "
            f"{memory['threads']} threads ≤ 64 MiB + 16 B per result",
            f"{fmt_bytes(growth)} of {fmt_bytes(memory['bound'])}", growth / memory["bound"])
    return lines


# ---------------------------------------------------------------------------


def parse_rounds(text: str) -> dict[int, int]:
    out = {}
    for item in filter(None, text.split(",")):
        q, r = item.split(":")
        out[int(q)] = int(r)
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--compute-limit", help="the compute_limit program (without it, no probe)")
    parser.add_argument("--sections", default="probe,search,bulk,memory",
                        help="comma-separated sections to run (default: %(default)s)")
    parser.add_argument("--sizes", default=DEFAULT_SIZES, help="NxDIM stores for search_batch (default: %(default)s)")
    parser.add_argument("--queries", default=DEFAULT_QUERIES, help="batch sizes Q (default: %(default)s)")
    parser.add_argument("--rounds", default=DEFAULT_ROUNDS,
                        help="Q:ROUNDS, the most interleaved rounds per batch size (default: %(default)s)")
    parser.add_argument("--case-seconds", type=float, default=60.0,
                        help="start no new round once a case has taken this long (default: %(default)s)")
    parser.add_argument("--warmup-below", type=float, default=2.0,
                        help="a first round faster than this many seconds is a warm-up (default: %(default)s)")
    parser.add_argument("--threads", type=int, default=2, help="the multi-threaded runs' thread count")
    parser.add_argument("--loop-queries", type=int, default=16, help="queries timed of store.search per query")
    parser.add_argument("--numpy-queries", type=int, default=256, help="queries timed of numpy per batch")
    parser.add_argument("--numpy-chunk-bytes", type=int, default=128 << 20,
                        help="numpy's score matrix per chunk of queries, at most (default: %(default)s)")
    parser.add_argument("--lists-max-queries", type=int, default=16,
                        help="also time search_batch with lists up to this Q (default: %(default)s)")
    parser.add_argument("--methods", help=argparse.SUPPRESS)
    parser.add_argument("--simd-levels", default=None,
                        help="comma-separated levels to run the Q = 256 goal case again at, each in a child "
                             "interpreter with TESSARAY_SIMD set, back to back (default: every SIMD level of "
                             "this CPU when it has more than one; '' skips it)")
    parser.add_argument("--insert-rows", type=int, default=1_000_000)
    parser.add_argument("--pairs-rows", type=int, default=1_000_000,
                        help="rows for Vectorstore(d, pairs), scaled to --insert-rows")
    parser.add_argument("--bulk-rounds", type=int, default=5)
    parser.add_argument("--save-rounds", type=int, default=3)
    parser.add_argument("--tmp-dir", help="where to save the store file (default: the project's build folder)")
    parser.add_argument("--memory-rows", type=int, default=1_000_000)
    parser.add_argument("--memory-queries", type=int, default=4096)
    parser.add_argument("--quick", action="store_true",
                        help="small sizes, to check the script: 100000x128,20000x768, Q up to 256, "
                             "100,000 rows to insert, 100,000 x 128 for the memory")
    parser.add_argument("--markdown", help="also write the tables here")
    parser.add_argument("--json", help="also write the raw results here")
    parser.add_argument("--quiet", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.queries = "100000x128,20000x768", "1,16,256"
        args.insert_rows, args.pairs_rows, args.memory_rows = 100_000, 20_000, 100_000
        args.bulk_rounds, args.save_rounds = 3, 2
    args.queries = [int(q) for q in args.queries.split(",") if q]
    args.rounds = parse_rounds(args.rounds)
    sections = set(args.sections.split(","))
    w = args.threads
    started = clock()

    import tessaray
    import tessaray_bulk as bulk

    try:
        import faiss
    except ImportError:
        print("faiss missing: left out", file=sys.stderr)
        faiss = None
    threads = Threads(faiss)
    level = kernel_level()
    probe = Probe(args.compute_limit if "probe" in sections else None)
    if args.simd_levels is None:
        simd = [lvl for lvl in kernel_levels() if lvl != "baseline"]
        args.simd_levels = ",".join(simd) if len(simd) > 1 else ""

    load_start = read_text("/proc/loadavg")
    header = [
        f"CPU: {cpu_model()}, {len(os.sched_getaffinity(0))} usable processors; "
        f"transparent huge pages: {read_text('/sys/kernel/mm/transparent_hugepage/enabled')}",
        f"Python {sys.version.split()[0]}, numpy {np.__version__}, BLAS: {blas_kernel()}"
        + (f", faiss {faiss.__version__}" if faiss else ""),
        f"tessaray kernels: {level} (TESSARAY_SIMD={os.environ.get('TESSARAY_SIMD', '(unset)')}; "
        f"this CPU runs {', '.join(kernel_levels())})",
        "  " + " ".join(f"{var}={os.environ.get(var, '(unset)')}" for var in (
            "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_WAIT_POLICY", "OPENBLAS_THREAD_TIMEOUT")),
        f"k = {K}; medians over interleaved rounds; load average at the start: {load_start}",
    ]
    if not args.quiet:
        print("\n".join(header), flush=True)

    probe.run()
    search = []
    children = []
    if "search" in sections:
        for size in filter(None, args.sizes.split(",")):
            n, dim = (int(x) for x in size.lower().split("x"))
            search.append(bench_search_size(n, dim, args, tessaray, bulk, faiss, threads, started))
            probe.run()
        goal_size = next(((r["n"], r["dim"]) for r in search if r["dim"] == GOAL_DIM
                          and any(c["q"] == GOAL_Q for c in r["cases"])), None)
        for lvl in filter(None, args.simd_levels.split(",")):
            if goal_size and lvl in kernel_levels():
                child = child_goal_case(args, lvl, *goal_size, started)
                if child:
                    children.append(child)
    bulk_result = bench_bulk(args, tessaray, bulk, started) if "bulk" in sections else None
    memory = bench_memory(args, started) if "memory" in sections else None
    probe.run()
    load_end = read_text("/proc/loadavg")

    rate = probe.rate(level)
    out = ["", "### Goals", ""] + goals(search, children, probe, level, bulk_result, memory, w)
    if probe.program:
        out += ["", f"### Compute limit (compute_limit --json --level L, {len(probe.runs[probe.levels[0]])} runs "
                    "spread over the whole run)", ""] + probe_table(probe, level)
    if search:
        out += ["", "### Many queries: search_batch, k = 10"] + search_tables(search, rate, level, w)
        if children:
            n, dim = children[0]["n"], children[0]["dim"]
            flops = GOAL_Q * n * dim * 2
            out += ["", f"#### {n:,} x {dim}, Q = {GOAL_Q} per kernel level (TESSARAY_SIMD, one child interpreter "
                        "per level, back to back)", "",
                    f"| level | probe unfused / fused | search_batch 1 thread | {w} threads | faiss 1 thread | "
                    f"faiss {w} threads | 1 thread × faiss 1 thread | 1 thread GFLOP/s | 1 thread × time the "
                    f"level's unfused rate allows | {w} threads × 1 thread | rounds |",
                    "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
            for child in children:
                c = child["cases"][0]
                m = c["whole"]
                crate = probe.rate(child["level"])
                one, two = m["search_batch, 1 thread"], m[f"search_batch, {w} threads"]
                f1, f2 = m.get("faiss IndexFlatIP, 1 thread"), m.get(f"faiss IndexFlatIP, {w} threads")
                out.append(
                    f"| {child['level']} | {crate['ratio']:.3f} | {fmt_secs(one)} | {fmt_secs(two)} | "
                    f"{fmt_secs(f1) if f1 else '-'} | {fmt_secs(f2) if f2 else '-'} | "
                    f"{one / f1 if f1 else float('nan'):.3f} | {flops / one / 1e9:.1f} | "
                    f"{one / (flops / (crate['unfused'] * 1e9)):.3f} | {two / one:.3f} | {c['rounds']} |"
                    if crate else f"| {child['level']} | - | {fmt_secs(one)} | {fmt_secs(two)} | | | | | | | |")
    if bulk_result:
        out += ["", f"### Bulk loading, export and files ({bulk_result['insert_rounds']} rounds, medians)", ""]
        out += bulk_tables(bulk_result)
    if memory:
        out += ["", f"### Extra memory of search_batch ({memory['n']:,} x {memory['dim']}, Q = {memory['q']:,}, "
                    f"k = {K}, arrays=True, {memory['threads']} threads, fresh interpreter)", ""]
        out += memory_table(memory)
    notes = []
    for r in search:
        size = f"{r['n']:,} x {r['dim']}"
        agree = ", ".join(f"{k} {v:.2f}" for k, v in r["agreement"].items())
        notes.append(f"{size}: ids shared with search_batch's top {K} (mean over the first queries): {agree}; "
                     f"numpy chunks of {r['numpy_chunk']} queries")
        notes += [f"{size}: {msg}" for msg in r["notes"]]
    if bulk_result:
        notes += bulk_result["notes"]
        notes.append(f"store file saved in {os.path.relpath(bulk_result['folder'])}")
    notes.append(f"load average at the end: {load_end}")
    notes.append(f"whole run: {clock() - started:.0f} s")
    out += [""] + [f"- {n}" for n in notes]
    text = "\n".join(out)
    if not args.quiet:
        print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("\n".join(header) + "\n" + text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"search": search, "children": children, "bulk": bulk_result, "memory": memory,
                       "probe": probe.runs, "level": level}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

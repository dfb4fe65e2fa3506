"""Side-by-side benchmark of tessaray's exact top-k search against its peers.

Builds the same random data once per size and times, in one process and in
interleaved rounds (every method once per round, so drift in the machine's
speed hits all of them alike):

  - tessaray ``search`` and ``parallel_search`` (default worker count);
  - numpy: float32 matrix-vector product with precomputed inverse norms, then
    argpartition and a sort of the k best, on one BLAS thread and on all;
  - faiss ``IndexFlatIP`` on normalised vectors, one OpenMP thread and all;
  - hnswlib ``BFIndex`` with space 'cosine';
  - the memory-read limit: a plain streaming read of the bytes the search
    reads, on one core and on all cores (the ``read_limit`` helper).

Every call gets the query as a Python list of floats and returns the k best
(score, id) pairs, so conversion of the query is part of every timed call.

Then it measures ``insert`` of a list of floats (microseconds per call) and
the memory a filled store holds, in a fresh interpreter.

Run it through bench/run.sh, which provisions the peers and builds first.
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

K = 10
DEFAULT_SIZES = [(1_000, 128), (100_000, 128), (1_000_000, 128), (200_000, 768)]


def cpu_name() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return "unknown"


def workers() -> int:
    return len(os.sched_getaffinity(0))


# ---------------------------------------------------------------------------
# Peers.  Each builder returns a dict name -> (setup, call): `setup` runs
# outside the timed window before each timed call (thread-count settings),
# `call(query_list)` is what is timed.


def build_tessaray(tessaray, data: np.ndarray):
    n, dim = data.shape
    store = tessaray.Vectorstore(dim)
    insert = store.insert
    chunk = 20_000
    for start in range(0, n, chunk):
        rows = data[start:start + chunk].tolist()
        for offset, row in enumerate(rows):
            insert(row, start + offset)
    return store


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


# ---------------------------------------------------------------------------


def read_limit(helper: str, nbytes: int, threads: int, reps: int) -> tuple[float, str]:
    out = subprocess.run([helper, str(nbytes), str(threads), str(reps)], capture_output=True, text=True, check=True)
    seconds, kernel, _ = out.stdout.split()
    return float(seconds), kernel


def time_methods(methods: dict, query, rounds: int, warm: bool) -> dict[str, float]:
    """Median seconds per method; every round calls every method once.

    With `warm`, each timed call follows an untimed call of the same method,
    so data that fits in the caches is there (otherwise the other methods'
    copies of the data evict it between rounds and the times are those of
    cold calls)."""
    samples: dict[str, list[float]] = {name: [] for name in methods}
    for name, (setup, call) in methods.items():  # warm-up
        setup()
        call(query)
    for _ in range(rounds):
        for name, (setup, call) in methods.items():
            setup()
            if warm:
                call(query)
            t0 = time.perf_counter_ns()
            call(query)
            samples[name].append((time.perf_counter_ns() - t0) * 1e-9)
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


def bench_size(n: int, dim: int, args, peers, tessaray, results: list) -> None:
    rng = np.random.default_rng(n * 1_000 + dim)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    query = rng.standard_normal(dim, dtype=np.float32).tolist()
    all_threads = workers()
    rounds = args.rounds_small if n * dim <= 20_000_000 else args.rounds_large

    store = build_tessaray(tessaray, data)
    nothing = lambda: None  # noqa: E731
    methods = {
        "tessaray search": (nothing, lambda q: store.search(q, K)),
        "tessaray parallel_search": (nothing, lambda q: store.parallel_search(q, K)),
    }
    keep = []
    if "numpy" in peers:
        limits = peers["numpy"]
        call = numpy_peer(data)
        methods["numpy 1 thread"] = (lambda: limits(1), call)
        methods[f"numpy {all_threads} threads"] = (lambda: limits(all_threads), call)
    if "faiss" in peers:
        faiss = peers["faiss"]
        call, index = faiss_peer(faiss, data)
        keep.append(index)
        methods["faiss 1 thread"] = (lambda: faiss.omp_set_num_threads(1), call)
        methods[f"faiss {all_threads} threads"] = (lambda: faiss.omp_set_num_threads(all_threads), call)
    if "hnswlib" in peers:
        call, index = hnswlib_peer(peers["hnswlib"], data)
        keep.append(index)
        methods["hnswlib BFIndex"] = (nothing, call)

    # The answers must agree: tessaray with itself bit for bit, peers by ids.
    expected = store.search(query, K)
    assert store.parallel_search(query, K) == expected, "parallel_search differs from search"
    ids = [i for _, i in expected]
    agreement = {name: len(set(ids) & {i for _, i in call(query)}) for name, (_, call) in methods.items()}

    # Data that fits in the last-level cache is timed warm: that shows the
    # cost of a call itself, which is what small stores are about.
    warm = n * dim * 4 <= args.warm_bytes
    medians = time_methods(methods, query, rounds, warm)
    nbytes = n * dim * 4
    read1, kernel = read_limit(args.read_limit, nbytes, 1, max(rounds, 5))
    read_all, _ = read_limit(args.read_limit, nbytes, all_threads, max(rounds, 5))
    results.append({
        "n": n, "dim": dim, "rounds": rounds, "bytes": nbytes, "medians": medians,
        "warm": warm, "read_1": read1, "read_all": read_all, "read_kernel": kernel, "agreement": agreement,
    })
    del store, methods, keep, data


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def print_table(results: list) -> None:
    print()
    print("| size | method | median | × read 1 core | × read all cores | × best peer (same threads) |")
    print("| --- | --- | ---: | ---: | ---: | ---: |")
    for r in results:
        m = r["medians"]
        one = [v for k, v in m.items() if not k.startswith("tessaray") and ("1 thread" in k or "BFIndex" in k)]
        many = [v for k, v in m.items() if not k.startswith("tessaray")]
        size = f"{r['n']:,} x {r['dim']}" + (" (warm)" if r["warm"] else "")
        print(f"| {size} | read limit, 1 core | {fmt_time(r['read_1'])} | 1.00 | | |")
        print(f"| {size} | read limit, all cores | {fmt_time(r['read_all'])} | | 1.00 | |")
        for name, t in m.items():
            best = min(many) if ("threads" in name or "parallel" in name) else min(one) if one else None
            ratio = f"{t / best:.2f}" if best else ""
            print(f"| {size} | {name} | {fmt_time(t)} | {t / r['read_1']:.2f} | {t / r['read_all']:.2f} | {ratio} |")
    print()


def print_goals(results: list, extra: dict) -> None:
    def row(n, dim):
        return next((r for r in results if r["n"] == n and r["dim"] == dim), None)

    print("Goals:")

    def report(name, value, limit, unit=""):
        verdict = "met" if value <= limit else "MISSED"
        print(f"  {name}: {value:.3f}{unit} (goal <= {limit:.3f}{unit}) {verdict}")

    big = row(1_000_000, 128)
    if big:
        m = big["medians"]
        report("search 1M x 128 / one-core read limit", m["tessaray search"] / big["read_1"], 1.10)
        one = {k: v for k, v in m.items() if not k.startswith("tessaray") and ("1 thread" in k or "BFIndex" in k)}
        if one:
            best = min(one, key=one.get)
            report(f"search 1M x 128 / fastest one-thread peer ({best})", m["tessaray search"] / one[best], 1.0)
        report("parallel_search 1M x 128 / all-core read limit", m["tessaray parallel_search"] / big["read_all"], 1.20)
        np_all = [v for k, v in m.items() if k.startswith("numpy") and "threads" in k]
        if np_all:
            report("parallel_search 1M x 128 / numpy all threads", m["tessaray parallel_search"] / np_all[0], 0.8)
    small = row(1_000, 128)
    if small:
        m = small["medians"]
        peers = {k: v for k, v in m.items() if not k.startswith("tessaray")}
        if peers:
            best = min(peers, key=peers.get)
            report(f"search 1,000 x 128 call / fastest peer call ({best})", m["tessaray search"] / peers[best], 0.5)
    if extra:
        report("insert of a list of 128 floats", extra["insert_us"], 2.0, " µs")
        limit = 1.05 * extra["raw_bytes"] + 16 * extra["entries"]
        report("store memory / (1.05 x raw + 16 B per entry)", extra["rss_bytes"] / limit, 1.0)


MEMORY_SCRIPT = r"""
import json, random, time, tessaray
def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
n, dim = {n}, {dim}
rng = random.Random(5)
pool = [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(1000)]
store = tessaray.Vectorstore(dim)
insert = store.insert
before = rss()
t0 = time.perf_counter_ns()
for i in range(n):
    insert(pool[i % 1000], i)
elapsed = time.perf_counter_ns() - t0
after = rss()
# The bare loop with a call of the same shape, to show what the loop itself costs.
noop = [].__contains__
t0 = time.perf_counter_ns()
for i in range(n):
    noop(i)
loop = time.perf_counter_ns() - t0
print(json.dumps(dict(entries=n, raw_bytes=n * dim * 4, rss_bytes=after - before,
                      insert_us=elapsed / n / 1e3, loop_us=loop / n / 1e3)))
"""


def measure_memory_and_insert(n: int, dim: int) -> dict:
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT.format(n=n, dim=dim)], capture_output=True,
                         text=True, check=True, env=env)
    return json.loads(out.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--read-limit", required=True, help="the read_limit helper program")
    parser.add_argument("--sizes", default=",".join(f"{n}x{d}" for n, d in DEFAULT_SIZES),
                        help="comma-separated NxDIM sizes")
    parser.add_argument("--rounds-small", type=int, default=101)
    parser.add_argument("--rounds-large", type=int, default=15)
    parser.add_argument("--warm-bytes", type=int, default=16 << 20,
                        help="time sizes up to this many bytes with warm caches")
    parser.add_argument("--no-memory", action="store_true", help="skip the insert and memory measurement")
    parser.add_argument("--json", help="also write the results here")
    args = parser.parse_args()

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

    print(f"CPU: {cpu_name()}, {workers()} usable processors")
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, BLAS: {blas_kernel()}")
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS",
                "OMP_WAIT_POLICY", "OPENBLAS_THREAD_TIMEOUT"):
        print(f"  {var}={os.environ.get(var, '(unset)')}")
    if "faiss" in peers:
        print(f"faiss {peers['faiss'].__version__}")
    print(f"k = {K}; medians over interleaved rounds; times are whole Python calls")

    results: list = []
    for size in args.sizes.split(","):
        n, dim = (int(x) for x in size.lower().split("x"))
        print(f"... {n:,} x {dim}", file=sys.stderr, flush=True)
        bench_size(n, dim, args, peers, tessaray, results)

    extra = {}
    if not args.no_memory:
        print("... insert and memory, 1,000,000 x 128", file=sys.stderr, flush=True)
        extra = measure_memory_and_insert(1_000_000, 128)

    print(f"read limit kernel: {results[0]['read_kernel'] if results else '-'}")
    print_table(results)
    for r in results:
        bad = {k: v for k, v in r["agreement"].items() if v != K and v != min(K, r["n"])}
        if bad:
            print(f"note: {r['n']:,} x {r['dim']}: peers sharing fewer than {K} of tessaray's ids: {bad}")
    if extra:
        print(f"insert: {extra['insert_us']:.3f} µs per call (the bare loop with a no-op call: "
              f"{extra['loop_us']:.3f} µs)")
        print(f"memory: {extra['rss_bytes'] / 2**20:.1f} MiB resident for {extra['entries']:,} entries; raw floats "
              f"{extra['raw_bytes'] / 2**20:.1f} MiB; "
              f"{(extra['rss_bytes'] - extra['raw_bytes']) / extra['entries']:.1f} B per entry over raw")
    print()
    print_goals(results, extra)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": results, "extra": extra}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

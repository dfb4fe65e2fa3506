"""Side-by-side benchmark of tessaray against its peers and the machine's read limit.

One run measures every goal of the store's performance, each as a ratio:

  1. Search times over a sweep of store sizes, against numpy, faiss, hnswlib
     and the read limit, in interleaved rounds (single_search.py).
  2. The whole-call cost on a store that fits in cache: ``search`` with a
     list query on 1,000 x 128 against the scoring kernel's time
     (single_call.py).
  3. Resident memory of stores, and loading with ``Vectorstore(d, pairs)``
     from numpy rows and ``numpy.memmap`` rows (single_build.py).
  4. A picture of time per query against store size (log-log) at d = 128
     (single_plot.py).

It prints markdown tables (times, read limits, memory, goals) for
docs/benchmarks.md.  Run it through bench/run.sh, which provisions the peers
and builds first.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

import single_build
import single_call
import single_search
from common import (K, GoalTable, clock, cpu_name, environment_line, fmt_size, log, machine_lines, parse_sizes,
                    processors, write_report)
from single_plot import plot


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--read-limit", required=True, help="the read_limit helper program")
    parser.add_argument("--kernel-bench", help="the kernel_bench program (for the whole-call goal)")
    parser.add_argument("--sizes", default=",".join(f"{n}x{d}" for n, d in single_search.DEFAULT_SIZES),
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
    return parser.parse_args()


def load_peers() -> dict:
    """numpy's thread limiter (threadpoolctl, BLAS only), faiss and hnswlib,
    whichever are installed."""
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
    return peers


def main() -> int:
    args = parse_args()
    w = args.workers
    started = clock()

    import tessaray

    peers = load_peers()
    header = machine_lines(cpu_name(), np.__version__, peers.get("faiss")) + [
        environment_line(("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_WAIT_POLICY", "OPENBLAS_THREAD_TIMEOUT",
                          "TESSARAY_SIMD")),
        f"k = {K}; medians over interleaved rounds; times are whole Python calls with the query as a list",
    ]
    print("\n".join(header), flush=True)

    results: list = []
    for n, dim in parse_sizes(args.sizes):
        log(f"search {n:,} x {dim}", started)
        results.append(single_search.bench_size(n, dim, args, peers, tessaray))
    call = next((r["call"] for r in results if "call" in r), None)

    memory = []
    if not args.no_memory:
        for label, stores, n, dim in single_build.MEMORY_CASES:
            log(f"memory, {label}", started)
            memory.append(dict(single_build.measure_memory(stores, n, dim), label=label))

    loading = None
    if args.load_rows > 0:
        log(f"loading {args.load_rows:,} x 128", started)
        loading = single_build.measure_loading(tessaray, args.load_rows, 128, args.load_rounds)

    plot_note = None
    if args.plot and results:
        plot_note = plot(results, args.plot, w, f"{cpu_name()}, {processors()} cores; "
                                                f"tessaray vs numpy and faiss (one run of bench/run.sh)")

    goals = GoalTable()
    single_search.add_goals(goals, results, w)
    if call:
        single_call.add_goal(goals, call)
    single_build.add_memory_goals(goals, memory)
    if loading:
        single_build.add_loading_goals(goals, loading)
    out = ["", "### Goals", ""] + goals.lines
    if results:
        out += ["", "### Search times", ""] + single_search.times_table(results, w)
        out += ["", "### Read limit (2 MiB-aligned mapping advised with MADV_HUGEPAGE)", ""]
        out += single_search.read_table(results, w)
    if memory:
        out += ["", "### Resident memory (growth while filling the stores by `insert`, fresh interpreter)", ""]
        out += single_build.memory_table(memory)
    notes = []
    if call:
        notes.append(single_call.note(call, args.call_batch))
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
    notes.append(f"whole run: {clock() - started:.0f} s")
    out += [""] + [f"- {n}" for n in notes]
    write_report(header, "\n".join(out), args.markdown, args.json,
                 {"results": results, "call": call, "memory": memory, "loading": loading})
    return 0


if __name__ == "__main__":
    sys.exit(main())

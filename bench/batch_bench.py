"""Many queries at once, bulk loading and store files: tessaray_bulk side by side with its peers.

One run measures, each as a ratio of times taken in the same process (the
sections, chosen with --sections):

  probe   the compute limit of every SIMD level of the CPU (batch_probe.py);
  search  ``search_batch`` against faiss, numpy and ``store.search`` per
          query, and the goal cases again at every other kernel level in
          child interpreters (batch_search.py; its tables and goals: batch_report.py);
  bulk    ``insert_many``, ``export``, ``save`` and ``load`` against copies
          and numpy (batch_bulk.py);
  memory  the extra resident memory of ``search_batch`` (batch_memory.py).

It prints markdown tables and the goals, each with its measured ratio and
whether it is met.  Run it through bench/run_batch.sh, which provisions the
peers and builds first; ``--quick`` shrinks every size for a check that the
script works.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

import batch_bulk
import batch_memory
import batch_report
import batch_search
from batch_probe import Probe, probe_table
from common import (K, GoalTable, clock, cpu_model, environment_line, kernel_level, kernel_levels, machine_lines,
                    optional_faiss, parse_sizes, read_text, write_report)

DEFAULT_SIZES = "1000000x128,200000x768"
DEFAULT_QUERIES = "1,2,3,4,5,6,7,8,16,256"
DEFAULT_ROUNDS = "1:31,2:9,3:9,4:9,5:7,6:7,7:7,8:7,16:5,256:5"


def parse_rounds(text: str) -> dict[int, int]:
    out = {}
    for item in filter(None, text.split(",")):
        q, r = item.split(":")
        out[int(q)] = int(r)
    return out


def parse_args() -> argparse.Namespace:
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
    parser.add_argument("--numpy-queries", type=int, default=64, help="queries timed of numpy per batch")
    parser.add_argument("--numpy-chunk-bytes", type=int, default=128 << 20,
                        help="numpy's score matrix per chunk of queries, at most (default: %(default)s)")
    parser.add_argument("--pairs", type=int, default=100,
                        help="Q = 1 against store.search: pairs run back to back in alternating order "
                             "(default: %(default)s; 0 skips them)")
    parser.add_argument("--lists-max-queries", type=int, default=1,
                        help="also time search_batch with lists up to this Q (default: %(default)s)")
    parser.add_argument("--methods", help=argparse.SUPPRESS)
    parser.add_argument("--goal-cases", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--simd-levels", default=None,
                        help="comma-separated levels to run the goal cases again at, each in a child "
                             "interpreter with TESSARAY_SIMD set, back to back (default: every kernel level of "
                             "this CPU but the one this process runs; '' skips it)")
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
        args.sizes, args.queries = "100000x128,20000x768", "1,2,8,16,256"
        args.insert_rows, args.pairs_rows, args.memory_rows = 100_000, 20_000, 100_000
        args.bulk_rounds, args.save_rounds = 3, 2
    args.queries = [int(q) for q in args.queries.split(",") if q]
    args.rounds = parse_rounds(args.rounds)
    if args.simd_levels is None:
        args.simd_levels = ",".join(lvl for lvl in kernel_levels() if lvl != kernel_level())
    args.simd_levels = ",".join(lvl for lvl in args.simd_levels.split(",") if lvl in kernel_levels())
    return args


def run_search(args, tessaray, bulk, faiss, probe: Probe, started: float) -> tuple[list, list]:
    """Every store size (the probe runs again after each), then the goal
    cases at the other kernel levels: the results, and per level
    [{"level", "results"}], this process's level first."""
    threads = batch_search.Threads(faiss)
    search = []
    sizes = parse_sizes(args.sizes)
    for n, dim in sizes:
        search.append(batch_search.bench_search_size(n, dim, args, tessaray, bulk, faiss, threads, started))
        probe.run()
    levels = [{"level": kernel_level(), "child": False, "results": search}]
    return search, levels + batch_search.child_levels(args, sizes, started)


def main() -> int:
    args = parse_args()
    sections = set(args.sections.split(","))
    w = args.threads
    started = clock()

    import tessaray
    import tessaray_bulk as bulk

    faiss = optional_faiss()
    level = kernel_level()
    probe = Probe(args.compute_limit if "probe" in sections else None)

    load_start = read_text("/proc/loadavg")
    header = machine_lines(cpu_model(), np.__version__, faiss) + [
        f"tessaray kernels: {level} (TESSARAY_SIMD={os.environ.get('TESSARAY_SIMD', '(unset)')}; "
        f"this CPU runs {', '.join(kernel_levels())})",
        environment_line(("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_WAIT_POLICY", "OPENBLAS_THREAD_TIMEOUT")),
        f"k = {K}; medians over interleaved rounds; load average at the start: {load_start}",
    ]
    if not args.quiet:
        print("\n".join(header), flush=True)

    probe.run()
    search, levels = run_search(args, tessaray, bulk, faiss, probe, started) if "search" in sections else ([], [])
    bulk_result = batch_bulk.bench_bulk(args, tessaray, bulk, started) if "bulk" in sections else None
    memory = batch_memory.bench_memory(args, started) if "memory" in sections else None
    probe.run()
    load_end = read_text("/proc/loadavg")

    goals = GoalTable()
    batch_report.add_goals(goals, levels, probe, w)
    if bulk_result:
        batch_bulk.add_goals(goals, bulk_result)
    if memory:
        batch_memory.add_goal(goals, memory)
    out = ["", "### Goals", ""] + goals.lines
    if probe.program:
        out += ["", f"### Compute limit (compute_limit --json --level L, {len(probe.runs[probe.levels[0]])} runs "
                    "spread over the whole run)", ""] + probe_table(probe, level)
    if search:
        out += ["", "### Many queries: search_batch, k = 10"]
        out += batch_report.search_tables(search, probe.rate(level), level, w)
        out += batch_report.levels_tables(levels, probe, w)
    if bulk_result:
        out += ["", f"### Bulk loading, export and files ({bulk_result['insert_rounds']} rounds, medians)", ""]
        out += batch_bulk.bulk_tables(bulk_result)
    if memory:
        out += ["", f"### Extra memory of search_batch ({memory['n']:,} x {memory['dim']}, Q = {memory['q']:,}, "
                    f"k = {K}, arrays=True, {memory['threads']} threads, fresh interpreter)", ""]
        out += batch_memory.memory_table(memory)
    notes = []
    for r in search:
        size = f"{r['n']:,} x {r['dim']}"
        agree = ", ".join(f"{k} {v:.2f}" for k, v in r["agreement"].items())
        notes.append(f"{size}: ids shared with search_batch's top {K} (mean over the first queries): {agree}; "
                     f"numpy chunks of {r['numpy_chunk']} queries")
    for lv in levels:
        for r in lv["results"]:
            notes += [f"{lv['level']}, {r['n']:,} x {r['dim']}: {msg}" for msg in r["notes"]]
    if bulk_result:
        notes += bulk_result["notes"]
        notes.append(f"store file saved in {os.path.relpath(bulk_result['folder'])}")
    notes.append(f"load average at the end: {load_end}")
    notes.append(f"whole run: {clock() - started:.0f} s")
    out += [""] + [f"- {n}" for n in notes]
    write_report(header, "\n".join(out), args.markdown, args.json,
                 {"search": search, "levels": levels[1:], "bulk": bulk_result, "memory": memory,
                  "probe": probe.runs, "level": level}, quiet=args.quiet)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Filtered searches, threshold searches, self-joins, k-NN graphs and row
removal: tessaray_bulk against its own unfiltered batch, copies and faiss.

One run measures, each as a ratio of times taken in the same process and
everything on one thread (the sections, chosen with --sections):

  search  ``search_batch`` with ``allow`` (masks, per-query id lists) and
          ``range_search`` against the unfiltered batch and faiss's ID
          selectors and range search (filter_search.py);
  ids     the conversion of an id list given as ``allow`` (filter_search.py);
  join    ``self_join`` and ``knn_graph`` against ``search_batch`` of the
          store's own rows (filter_join.py);
  rows    ``without`` against a copy of the store's bytes (filter_rows.py).

Methods run in interleaved rounds and the fastest round counts (the median
is printed beside it); the peak resident growth of every call is recorded.
It prints markdown tables and the goals, each with its measured ratio and
whether it is met.  Run it through bench/run_filter.sh, which provisions
faiss and builds first; ``--quick`` shrinks every size for a check that the
script works.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys

import numpy as np

import filter_join
import filter_rows
import filter_search
from common import (K, GoalTable, clock, cpu_model, environment_line, kernel_level, kernel_levels, log, machine_lines,
                    optional_faiss, read_text, write_report)


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sections", default="search,ids,join,rows",
                        help="comma-separated sections to run (default: %(default)s)")
    parser.add_argument("--rows", type=int, default=1_000_000,
                        help="rows of the filtered store (default: %(default)s)")
    parser.add_argument("--dim", type=int, default=128, help="floats per row (default: %(default)s)")
    parser.add_argument("--queries", type=int, default=256,
                        help="queries of the filtered batches (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the filtered searches (default: %(default)s)")
    parser.add_argument("--id-rounds", type=int, default=15,
                        help="rounds of the id-list conversion (default: %(default)s)")
    parser.add_argument("--join-rows", type=int, default=200_000,
                        help="rows of the self-join and k-NN graph store (default: %(default)s)")
    parser.add_argument("--join-ref-queries", type=int, default=25_000,
                        help="queries the all-rows search_batch reference is timed on and scaled from; "
                             "0: every row (default: %(default)s)")
    parser.add_argument("--join-rounds", type=int, default=1,
                        help="rounds of self_join and knn_graph (default: %(default)s)")
    parser.add_argument("--without-rounds", type=int, default=5, help="rounds of without() (default: %(default)s)")
    parser.add_argument("--case-seconds", type=float, default=120.0,
                        help="start no new round once a case has taken this long (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes, to check the script: 100,000 rows, 20,000 for the join")
    parser.add_argument("--markdown", help="also write the tables here")
    parser.add_argument("--json", help="also write the raw results here")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.join_rows, args.join_ref_queries = 100_000, 20_000, 5_000
        args.rounds, args.id_rounds, args.without_rounds = 2, 5, 2
    return args


def make_store(n: int, dim: int, tessaray, bulk, started: float) -> dict:
    log(f"store {n:,} x {dim}: data", started)
    rows = np.random.default_rng(n * 1_000 + dim).standard_normal((n, dim), dtype=np.float32)
    store = tessaray.Vectorstore(dim)
    bulk.insert_many(store, rows)
    return {"store": store, "rows": rows, "n": n, "dim": dim}


def main() -> int:
    args = parse_args()
    sections = set(args.sections.split(","))
    started = clock()

    import tessaray
    import tessaray_bulk as bulk

    faiss = optional_faiss()
    level = kernel_level()
    load_start = read_text("/proc/loadavg")
    header = machine_lines(cpu_model(), np.__version__, faiss) + [
        f"tessaray kernels: {level} (TESSARAY_SIMD={os.environ.get('TESSARAY_SIMD', '(unset)')}; "
        f"this CPU runs {', '.join(kernel_levels())})",
        environment_line(("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_WAIT_POLICY", "OPENBLAS_THREAD_TIMEOUT")),
        f"k = {K}, one thread; fastest of interleaved rounds; load average at the start: {load_start}",
    ]
    print("\n".join(header), flush=True)

    search = ids = join = rows = None
    if sections & {"search", "ids", "rows"}:
        data = make_store(args.rows, args.dim, tessaray, bulk, started)
        if "search" in sections:
            search = filter_search.bench_search(data, args, tessaray, bulk, faiss, started)
        data.pop("rows")
        gc.collect()
        if "ids" in sections:
            ids = filter_search.bench_id_conversion(data, args, bulk, started)
        if "rows" in sections:
            rows = filter_rows.bench_without(data, args, bulk, started)
        del data
        gc.collect()
    if "join" in sections:
        join = filter_join.bench_join(args, tessaray, bulk, started)
    load_end = read_text("/proc/loadavg")

    goals = GoalTable()
    filter_search.add_goals(goals, search, ids)
    if join:
        filter_join.add_goals(goals, join)
    if rows:
        filter_rows.add_goal(goals, rows)
    out = ["", "### Goals", ""] + goals.lines
    notes = []
    if search:
        out += ["", f"### Filtered and threshold searches ({search['n']:,} x {search['dim']}, Q = {search['q']}, "
                    f"k = {K}, one thread)", ""] + filter_search.search_tables(search)
        peers = filter_search.peer_lines(search)
        if peers:
            out += ["", "faiss, stated without a goal:", ""] + peers
        notes.append(f"range threshold {search['threshold']:.4f} (median of the queries' "
                     f"{filter_search.RANGE_PER_QUERY}th best score): range_search found "
                     f"{search['found_per_query']:.1f} rows per query")
        notes += [f"{k}: {v:.2f} of {K} ids shared with ours (first 16 queries)" if isinstance(v, float)
                  else f"{k}: {v}" for k, v in search["agree"].items()]
        notes += search["notes"]
    if ids:
        ns, _, _, cold = filter_search.id_cost(ids)
        out += ["", f"### An id list as `allow` ({ids['count']:,} ids, {ids['n']:,} rows, no query: the conversion alone)", ""]
        out += filter_search.ids_table(ids)
        notes.append(f"id list conversion: {ns:.1f} ns per id warm, {cold:.1f} ns with the heap trimmed first "
                     "(the list's call minus the same call without allow, no query, fastest rounds)")
        notes += ids["notes"]
    if join:
        p, f = join["pick"], join["found"]
        out += ["", f"### self_join and knn_graph ({join['n']:,} x {join['dim']}, one thread)", ""]
        out += filter_join.join_table(join)
        notes.append(f"search_batch references timed on the first {join['ref_queries']:,} rows as queries and "
                     f"scaled by {join['scale']:g}")
        notes.append(f"self_join threshold {p['threshold']:.4f} (sample: {p['rows_with_partner']:.2f} of the rows "
                     f"reach it with their best other row; median best other score {p['median_best_other']:.4f}); "
                     f"it found {f.get('pairs', 0):,} pairs, {f.get('rows_in_pairs', 0):,} rows in at least one")
        notes.append(f"knn_graph answer {f.get('graph_shape')}, a row as its own neighbour {f.get('self_in_graph')} "
                     "times")
    if rows:
        out += ["", f"### without() ({rows['n']:,} x {rows['dim']})", ""] + filter_rows.without_table(rows)
        notes += rows.get("notes", [])
    notes.append(f"load average at the end: {load_end}")
    notes.append(f"whole run: {clock() - started:.0f} s")
    out += [""] + [f"- {n}" for n in notes]
    write_report(header, "\n".join(out), args.markdown, args.json,
                 {"search": search, "ids": ids, "join": join, "rows": rows, "level": level})
    return 0


if __name__ == "__main__":
    sys.exit(main())

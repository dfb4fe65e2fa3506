"""Stores opened in place from their files: ``tessaray_bulk.open`` and the
searches of an opened store, cached and larger than memory.

One run measures, each as a ratio of times taken side by side (the
sections, chosen with --sections):

  open    opening without verify, and with verify against reading the file
          in order (read() in 8 MiB pieces, dd), page cache warm and cold
          (open_cached.py);
  cached  an opened store's ``search`` and ``search_batch`` against the
          same store loaded, the file in the page cache (open_cached.py);
  large   a store file of more than 4 times a memory cgroup's limit:
          ``search`` and ``search_batch`` under the limit against dd's read
          of the file and numpy's chunked scan of the same rows
          (open_large.py; needs root and cgroup v1's memory controller).

Methods run in interleaved rounds and medians count; every ratio comes with
the range of its per-round ratios.  The files go into a temporary folder
(--tmp-dir, else the system's) and are deleted at the end.  Run it through
bench/run_open.sh, which builds first; ``--quick`` shrinks every size for a
check that the script works.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np

import open_cached
import open_large
from common import GoalTable, clock, cpu_model, kernel_level, log, machine_lines, read_text, write_report
from open_files import make_files


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(epilog=__doc__.splitlines()[0])
    parser.add_argument("--sections", default="open,cached,large",
                        help="comma-separated sections to run (default: %(default)s)")
    parser.add_argument("--rows", type=int, default=1_000_000,
                        help="rows of the store of the open and cached sections (default: %(default)s)")
    parser.add_argument("--dim", type=int, default=128, help="floats per row (default: %(default)s)")
    parser.add_argument("--open-rounds", type=int, default=21,
                        help="opens without verify, cached (a third of them cold) (default: %(default)s)")
    parser.add_argument("--verify-rounds", type=int, default=7,
                        help="rounds of verified opens and reads, cached (default: %(default)s)")
    parser.add_argument("--cold-rounds", type=int, default=3,
                        help="rounds of verified opens and reads, cold (default: %(default)s)")
    parser.add_argument("--singles", type=int, default=16,
                        help="queries given one at a time to search (default: %(default)s)")
    parser.add_argument("--queries", type=int, default=256, help="queries of every batch (default: %(default)s)")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of the cached search_batch (default: %(default)s)")
    parser.add_argument("--search-rounds", type=int, default=7,
                        help="rounds of the cached searches (default: %(default)s)")
    parser.add_argument("--large-rows", type=int, default=4_194_304,
                        help="rows of the store larger than memory (default: %(default)s)")
    parser.add_argument("--limit-mib", type=int, default=512,
                        help="the memory group's limit in MiB (default: %(default)s)")
    parser.add_argument("--large-rounds", type=int, default=3,
                        help="rounds larger than memory (default: %(default)s)")
    parser.add_argument("--tmp-dir", help="folder for the files (default: the system's temporary folder)")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes, to check the script: 200,000 rows, 1,048,576 under 128 MiB")
    parser.add_argument("--markdown", help="also write the tables here")
    parser.add_argument("--json", help="also write the raw results here")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.large_rows, args.limit_mib = 200_000, 1_048_576, 128
        args.open_rounds, args.verify_rounds, args.cold_rounds, args.search_rounds, args.large_rounds = 9, 3, 2, 3, 1
    return args


def main() -> int:
    args = parse_args()
    sections = set(args.sections.split(","))
    started = clock()

    import tessaray
    import tessaray_bulk as bulk

    load_start = read_text("/proc/loadavg")
    header = machine_lines(cpu_model(), np.__version__) + [
        f"tessaray kernels: {kernel_level()}; page cache folios of the file system as it makes them; "
        f"load average at the start: {load_start}",
    ]
    print("\n".join(header), flush=True)

    opening = cached = large = None
    with tempfile.TemporaryDirectory(prefix="open-bench-", dir=args.tmp_dir) as tmp:
        if sections & {"open", "cached"}:
            path = os.path.join(tmp, "store.npz")
            log(f"store file {args.rows:,} x {args.dim}", started)
            make_files(path, args.rows, args.dim, tessaray, bulk)
            if "open" in sections:
                opening = open_cached.bench_open(path, args, bulk, started)
            if "cached" in sections:
                cached = open_cached.bench_search(path, args, bulk, started)
            os.remove(path)
        if "large" in sections:
            large = open_large.bench_large(tmp, args, tessaray, bulk, started)
    load_end = read_text("/proc/loadavg")

    goals = GoalTable()
    open_cached.add_goals(goals, opening, cached)
    if large and "samples" in large:
        open_large.add_goals(goals, large)
    out = ["", "### Goals", ""] + goals.lines
    notes = open_cached.notes(opening, cached)
    if opening:
        out += ["", f"### Opening a store file ({args.rows:,} x {args.dim})", ""] + open_cached.open_table(opening)
    if cached:
        out += ["", f"### Searches of an opened store, page cache warm ({cached['n']:,} x {cached['dim']}, "
                    f"interleaved rounds, {len(cached['samples']['search, opened'])} rounds)", ""]
        out += open_cached.search_table(cached)
    if large and "samples" in large:
        out += ["", f"### Larger than memory ({large['n']:,} x {large['dim']} under {large['limit'] >> 20} MiB)", ""]
        out += open_large.large_table(large)
        notes += open_large.notes(large)
    elif large:
        notes.append(f"**larger than memory: the child failed ({large['failed']})**")
    notes.append(f"load average at the end: {load_end}")
    notes.append(f"whole run: {clock() - started:.0f} s")
    out += [""] + [f"- {n}" for n in notes]
    write_report(header, "\n".join(out), args.markdown, args.json,
                 {"open": opening, "cached": cached, "large": large})
    return 0


if __name__ == "__main__":
    sys.exit(main())

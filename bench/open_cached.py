"""Opening a store file, and searching a store opened from a file in the page
cache: ``tessaray_bulk.open`` against reading the file in order, and an
opened store's searches against the same store loaded into memory.

Also the paired rounds every open benchmark times its methods in.
"""

from __future__ import annotations

import os
import re
import statistics
import time

import numpy as np

from common import K, GoalTable, fmt_secs, fmt_time, log
from open_files import cached_fraction, dd, drop_pages, read_pieces

# Goals (upper limits of each ratio).
GOAL_OPEN_SECONDS = 5e-3
GOAL_VERIFY_OVER_READ = 1.2
GOAL_SEARCH_OVER_LOADED = 1.05
GOAL_BATCH_OVER_LOADED = 1.02


def paired_rounds(methods: dict, rounds: int, setup=None) -> dict[str, list[float]]:
    """Every method's seconds in every round.  A round runs every method
    once, each after `setup()` when given (outside the timed window), so
    that drift in the machine's speed hits them all alike; a method returns
    its seconds, or None to be timed here around its call."""
    samples: dict[str, list[float]] = {name: [] for name in methods}
    for _ in range(rounds):
        for name, fn in methods.items():
            if setup is not None:
                setup()
            t0 = time.perf_counter_ns()
            got = fn()
            t = (time.perf_counter_ns() - t0) * 1e-9
            samples[name].append(t if got is None else got)
            del got
    return samples


def ratio_spread(samples: dict[str, list[float]], a: str, b: str) -> tuple[float, float, float]:
    """The ratio of a's median to b's, and the lowest and highest ratio of
    a round's a to the same round's b: how noisy the rounds were."""
    per_round = [x / y for x, y in zip(samples[a], samples[b])]
    return statistics.median(samples[a]) / statistics.median(samples[b]), min(per_round), max(per_round)


def mapped_on_huge_pages(path: str) -> float | None:
    """The fraction of this process's resident mapping of `path` that the
    kernel maps with 2 MiB pages (FilePmdMapped over Rss in smaps)."""
    real = os.path.realpath(path)
    rss = pmd = 0
    inside = False
    with open("/proc/self/smaps") as f:
        for line in f:
            if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                inside = line.rstrip().endswith(real)
            elif inside and line.startswith("Rss:"):
                rss += int(line.split()[1])
            elif inside and line.startswith("FilePmdMapped:"):
                pmd += int(line.split()[1])
    return pmd / rss if rss else None


def bench_open(path: str, args, bulk, started: float) -> dict:
    """Opens without verify (cached and cold), and verified opens against
    reading the file in order, cached and cold."""
    size = os.path.getsize(path)

    def open_only():
        store = bulk.open(path, verify=False)
        del store

    log("open: without verify", started)
    read_pieces(path)
    plain = paired_rounds({"cached": open_only}, args.open_rounds)
    plain.update(paired_rounds({"cold": open_only}, max(3, args.open_rounds // 3), setup=lambda: drop_pages(path)))

    def verified():
        store = bulk.open(path, verify=True)
        del store

    methods = {"open, verify=True": verified, "read() in 8 MiB pieces": lambda: read_pieces(path) and None,
               "dd bs=8M": lambda: dd(path)}
    log("open: verified, cached", started)
    read_pieces(path)
    cached = paired_rounds(methods, args.verify_rounds)
    log("open: verified, cold", started)
    drop_pages(path)
    cold_check = cached_fraction(path)
    cold = paired_rounds(methods, args.cold_rounds, setup=lambda: drop_pages(path))
    return {"size": size, "plain": plain, "cached": cached, "cold": cold, "cold_check": cold_check}


def bench_search(path: str, args, bulk, started: float) -> dict:
    """An opened store's search and search_batch against the loaded
    store's, in alternating calls on the same queries."""
    read_pieces(path)
    loaded = bulk.load(path)
    opened = bulk.open(path, verify=False)
    rng = np.random.default_rng(7)
    singles = rng.standard_normal((args.singles, loaded.vector_size), dtype=np.float32)
    batch = rng.standard_normal((args.queries, loaded.vector_size), dtype=np.float32)
    same = ([opened.search(q, K) for q in singles] == [loaded.search(q, K) for q in singles]
            and bulk.search_batch(opened, batch[:8], K, 1) == bulk.search_batch(loaded, batch[:8], K, 1))

    def searches(store):
        return lambda: [store.search(q, K) for q in singles] and None

    def batches(store):
        return lambda: bulk.search_batch(store, batch, K, args.threads) and None

    log(f"cached searches: {args.search_rounds} rounds", started)
    samples = paired_rounds({"search, opened": searches(opened), "search, loaded": searches(loaded),
                             "search_batch, opened": batches(opened), "search_batch, loaded": batches(loaded)},
                            args.search_rounds)
    huge = mapped_on_huge_pages(path)
    # The page cache filled by the opened store's own scan from disk instead.
    del opened
    drop_pages(path)
    opened = bulk.open(path, verify=False)
    opened.search(singles[0], K)
    log(f"cached searches after a scan from disk: {args.search_rounds} rounds", started)
    scanned = paired_rounds({"search, opened": searches(opened), "search, loaded": searches(loaded)},
                            args.search_rounds)
    return {"samples": samples, "scanned": scanned, "same": same, "huge": huge,
            "huge_scanned": mapped_on_huge_pages(path), "n": len(loaded),
            "dim": loaded.vector_size, "singles": args.singles, "queries": args.queries, "threads": args.threads}


def open_table(o: dict) -> list[str]:
    mib = o["size"] / 2**20
    lines = [f"File of {mib:.1f} MiB; medians of the rounds (per-round ratios' range in brackets).", "",
             "| page cache | method | median | MiB/s | × read() in 8 MiB pieces |", "| --- | --- | ---: | ---: | ---: |"]
    for state in ("cached", "cold"):
        s = o[state]
        for name, times in s.items():
            r, lo, hi = ratio_spread(s, name, "read() in 8 MiB pieces")
            m = statistics.median(times)
            lines.append(f"| {state} | {name} | {fmt_secs(m)} | {mib / m:,.0f} | {r:.3f} [{lo:.2f}-{hi:.2f}] |")
    for state, times in o["plain"].items():
        lines.append(f"| {state} | open, verify=False | {fmt_time(statistics.median(times))} | | "
                     f"(fastest {fmt_time(min(times))}, slowest {fmt_time(max(times))}, {len(times)} opens) |")
    return lines


def search_table(s: dict) -> list[str]:
    sm = s["samples"]
    lines = ["| call | opened | loaded | opened × loaded [range of rounds] |", "| --- | ---: | ---: | ---: |"]
    for call, per in (("search", s["singles"]), ("search_batch", 1)):
        r, lo, hi = ratio_spread(sm, f"{call}, opened", f"{call}, loaded")
        what = f"`search` ({per} queries one after another)" if call == "search" else \
            f"`search_batch` (Q = {s['queries']}, {s['threads']} thread{'s' if s['threads'] != 1 else ''})"
        lines.append(f"| {what} | {fmt_secs(statistics.median(sm[f'{call}, opened']))} | "
                     f"{fmt_secs(statistics.median(sm[f'{call}, loaded']))} | {r:.3f} [{lo:.2f}-{hi:.2f}] |")
    sc = s["scanned"]
    r, lo, hi = ratio_spread(sc, "search, opened", "search, loaded")
    lines.append(f"| `search`, page cache filled by the opened store's scan from disk | "
                 f"{fmt_secs(statistics.median(sc['search, opened']))} | "
                 f"{fmt_secs(statistics.median(sc['search, loaded']))} | {r:.3f} [{lo:.2f}-{hi:.2f}] |")
    return lines


def add_goals(goals: GoalTable, o: dict | None, s: dict | None) -> None:
    if o:
        m = statistics.median(o["plain"]["cached"])
        goals.add(f"open without verify, cached: under {GOAL_OPEN_SECONDS * 1e3:g} ms", fmt_time(m),
                  m / GOAL_OPEN_SECONDS)
        m = statistics.median(o["plain"]["cold"])
        goals.add("open without verify, cold (the directory and headers read from disk)", fmt_time(m), None,
                  "stated")
        for state in ("cached", "cold"):
            r, lo, hi = ratio_spread(o[state], "open, verify=True", "read() in 8 MiB pieces")
            rd, _, _ = ratio_spread(o[state], "open, verify=True", "dd bs=8M")
            goals.add(f"open with verify, {state}: at most {GOAL_VERIFY_OVER_READ:g} × read() in 8 MiB pieces",
                      f"{r:.3f} × read() [{lo:.2f}-{hi:.2f}], {rd:.3f} × dd", r / GOAL_VERIFY_OVER_READ)
    if s:
        for call, limit in (("search", GOAL_SEARCH_OVER_LOADED), ("search_batch", GOAL_BATCH_OVER_LOADED)):
            r, lo, hi = ratio_spread(s["samples"], f"{call}, opened", f"{call}, loaded")
            goals.add(f"cached `{call}`, opened: at most {limit:g} × loaded", f"{r:.3f} × [{lo:.2f}-{hi:.2f}]",
                      r / limit)
        r, lo, hi = ratio_spread(s["scanned"], "search, opened", "search, loaded")
        goals.add(f"cached `search`, opened, the cache filled by its scan from disk: at most "
                  f"{GOAL_SEARCH_OVER_LOADED:g} × loaded", f"{r:.3f} × [{lo:.2f}-{hi:.2f}]",
                  r / GOAL_SEARCH_OVER_LOADED)


def notes(o: dict | None, s: dict | None) -> list[str]:
    out = []
    if o:
        out.append(f"cold rounds: each method after the file's pages were dropped (fsync, POSIX_FADV_DONTNEED); "
                   f"{o['cold_check']:.1%} of the file's pages were in the page cache after a drop")
    if s:
        out.append("the opened store answered as the loaded one" if s["same"]
                   else "**the opened store answered differently from the loaded one**")
        for key, how in (("huge", "the file written by save and read by read()"),
                         ("huge_scanned", "the file read by the opened store's first scan")):
            if s[key] is not None:
                out.append(f"{s[key]:.0%} of the opened store's resident mapping was on 2 MiB pages with {how} "
                           "(the loaded store's rows are on transparent huge pages)")
    return out

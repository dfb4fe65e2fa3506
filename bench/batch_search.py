"""Many queries at once: ``search_batch`` side by side with its peers.

Stores of random normal float32 rows (stored as they are, not normalised;
tessaray scores cosine), k = 10, for Q queries (random normal float32, a
C-contiguous (Q, d) array), in interleaved rounds (every method once per
round, medians), against

  - itself on 2 threads, and with ``arrays=False`` (lists) for small Q;
  - faiss ``IndexFlatIP.search`` of the same batch over L2-normalised copies
    of the rows, the queries normalised inside the timed call, one thread
    and 2 (OpenMP and BLAS threads both limited);
  - numpy: normalised queries @ normalised rows.T, then argpartition and a
    sort of the k best, one BLAS thread, in chunks of queries whose score
    matrix stays under --numpy-chunk-bytes; at most --numpy-queries queries
    are timed and the time scaled per query;
  - ``store.search`` called once per query, at most --loop-queries of them
    timed and the time scaled per query.

With the compute limit: GFLOP/s of search_batch (Q * N * d * 2 flops per
batch) and the time the probe's unfused rate allows for them.  The goal case
(the first d = 128 store, Q = 256: search_batch and faiss, one thread and 2)
runs again once per SIMD level of the CPU, each in a child interpreter with
TESSARAY_SIMD set to it, back to back, so that the levels compare side by
side and each level's goals are judged against its own probe.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

from batch_probe import Probe
from common import K, GoalTable, fmt_secs, fmt_time, interleaved_rounds, log, timed

GOAL_Q = 256  # the batch size of the speed goals
GOAL_DIM = 128

# Goals (upper limits of each ratio).
GOAL_BATCH_OVER_FAISS = 1.0  # where the probe's unfused rate is >= 0.9 of its fused rate
GOAL_PROBE_RATIO_FOR_FAISS = 0.9
GOAL_BATCH_OVER_UNFUSED = 1.3
GOAL_TWO_OVER_ONE = 0.55
GOAL_Q1_OVER_SEARCH = 1.05

MAIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "batch_bench.py")


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
                                                    setup=lambda: threads.set(1)), loop_q)
        if index is not None:
            def faiss_call():
                qn = batch / np.linalg.norm(batch, axis=1, keepdims=True)
                return index.search(qn, K)

            add("faiss1", "faiss IndexFlatIP, 1 thread", timed(faiss_call, setup=lambda: threads.set(1)), q_count)
            add("faiss2", f"faiss IndexFlatIP, {w} threads", timed(faiss_call, setup=lambda: threads.set(w)), q_count)
        add("numpy", "numpy, 1 BLAS thread", timed(lambda: numpy_topk(rows_n, numpy_batch, chunk),
                                                  setup=lambda: threads.set(1)), numpy_q)
        rounds = args.rounds.get(q_count, args.rounds.get(max(args.rounds), 3))
        log(f"search {n:,} x {dim}, Q = {q_count:,} (up to {rounds} rounds)", started)
        gc.collect()
        medians, counted = interleaved_rounds(methods, rounds, args.case_seconds, args.warmup_below)
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
        cmd = [sys.executable, MAIN, "--sections", "search", "--sizes", f"{n}x{dim}",
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
# Report


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


def levels_table(children: list, probe: Probe, w: int) -> list[str]:
    """The goal case once per kernel level, from the child interpreters."""
    n, dim = children[0]["n"], children[0]["dim"]
    flops = GOAL_Q * n * dim * 2
    out = ["", f"#### {n:,} x {dim}, Q = {GOAL_Q} per kernel level (TESSARAY_SIMD, one child interpreter "
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
    return out


def add_goals(goals: GoalTable, search: list, children: list, probe: Probe, level: str, w: int) -> None:
    """Goals (a) one thread against faiss and the compute limit, (b) two
    threads against one, (c) one query against store.search."""

    def add_a(label: str, n: int, dim: int, one, f1, rate: dict, whose: str) -> None:
        """Goal (a) against faiss (where `whose` unfused rate is at least the
        goal's share of the fused one) and against the time that rate allows."""
        if f1:
            x = one / f1
            applies = rate["ratio"] >= GOAL_PROBE_RATIO_FOR_FAISS
            goals.add(f"(a) {label}: search_batch 1 thread ≤ {GOAL_BATCH_OVER_FAISS} × faiss 1 thread where {whose} "
                      f"unfused/fused ≥ {GOAL_PROBE_RATIO_FOR_FAISS}",
                      f"{fmt_secs(one)} = {x:.3f} × {fmt_secs(f1)} ({whose} unfused/fused {rate['ratio']:.3f})",
                      x / GOAL_BATCH_OVER_FAISS,
                      "" if applies else f"does not apply ({rate['ratio']:.3f} < {GOAL_PROBE_RATIO_FOR_FAISS}); "
                                         f"{'would be met' if x <= GOAL_BATCH_OVER_FAISS else 'would be missed'}")
        allowed = GOAL_Q * n * dim * 2 / (rate["unfused"] * 1e9)
        x = one / allowed
        goals.add(f"(a) {label}: search_batch 1 thread ≤ {GOAL_BATCH_OVER_UNFUSED} × the time {whose} unfused rate "
                  f"allows", f"{fmt_secs(one)} = {x:.3f} × {fmt_secs(allowed)} ({rate['unfused']:.1f} GFLOP/s)",
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
                goals.add(f"(a) {label}: search_batch 1 thread against the compute limit",
                          f"no probe for level {level}", None)
            if one and rate:
                add_a(label, r["n"], r["dim"], one, f1, rate, f"the {level} probe's")
            if one and best:
                # The goal names the machine's best rates, whichever level reaches them.
                add_a(label, r["n"], r["dim"], one, f1, best, f"the machine's best ({best['level']})")
            if one and two:
                x = two / one
                goals.add(f"(b) {size}, Q = {GOAL_Q}: search_batch {w} threads ≤ {GOAL_TWO_OVER_ONE} × 1 thread",
                          f"{fmt_secs(two)} = {x:.3f} × {fmt_secs(one)}", x / GOAL_TWO_OVER_ONE)
        c1 = cases.get(1)
        if c1:
            m = c1["whole"]
            s = m.get("store.search per query")
            for name in ("search_batch, 1 thread, lists", "search_batch, 1 thread"):
                if name in m and s:
                    x = m[name] / s
                    form = "lists" if "lists" in name else "arrays=True"
                    goals.add(f"(c) {size}, Q = 1: search_batch 1 thread ({form}) ≤ {GOAL_Q1_OVER_SEARCH} × "
                              f"store.search", f"{fmt_time(m[name])} = {x:.3f} × {fmt_time(s)}",
                              x / GOAL_Q1_OVER_SEARCH)
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
            goals.add(f"(b) {forced}, {size}, Q = {GOAL_Q}: {w} threads ≤ {GOAL_TWO_OVER_ONE} × 1 thread",
                      f"{fmt_secs(two)} = {x:.3f} × {fmt_secs(one)}", x / GOAL_TWO_OVER_ONE)

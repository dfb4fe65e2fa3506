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

At Q = 2 to 8 only ``search_batch`` on one thread and ``store.search`` on
the same queries run (the few-queries goal); Q = 1 and from Q = 16 on run
every method.  With the compute limit: GFLOP/s of search_batch (Q * N * d * 2
flops per batch) and the time the probe's unfused rate allows for them.

The goal cases (Q = 1 to 8 against ``store.search``, Q = 256 against the
compute limit and faiss, and two threads against one at d = 128) run again at
every other kernel level of the CPU, each in a child interpreter with
TESSARAY_SIMD set to it, back to back, so that each level's goals are judged
within its own process and against its own probe.

A batch of one query runs store.search's own scan, so at Q = 1 the two
differ by less than the noise of the rounds.  There search_batch (arrays,
and lists) is also timed against store.search in --pairs pairs run back to
back in alternating order, beside store.search against itself, and the
Q = 1 goals are judged on those pairs: met unless the whole 95 % interval
of the median ratio lies above the limit.
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
from common import K, GoalTable, fmt_secs, fmt_time, interleaved_rounds, log, not_slower, paired_ratios, timed

GOAL_Q = 256  # the batch size of the compute-limit goal; the faiss goal holds from it on
GOAL_DIM = 128  # the store width of the two-threads goal
FEW_QUERIES = range(1, 9)  # the batch sizes measured against store.search

# Goals (upper limits of each ratio).
GOAL_BATCH_OVER_UNFUSED = 1.15  # (A) 1 thread, Q = 256, against the time the level's unfused rate allows
GOAL_BATCH_OVER_FAISS = 0.9  # (B) 1 thread, Q >= 256, against faiss IndexFlatIP on 1 thread
GOAL_FEW_OVER_SEARCH = 1.0  # (C) 1 thread, Q = 1 to 8, per query against store.search
GOAL_TWO_OVER_ONE = 0.55  # 2 threads against 1, Q = 256, d = 128

BATCH1, BATCH2, LISTS1 = "search_batch, 1 thread", "search_batch, {w} threads", "search_batch, 1 thread, lists"
LOOP, FAISS1, FAISS2 = "store.search per query", "faiss IndexFlatIP, 1 thread", "faiss IndexFlatIP, {w} threads"

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


def case_methods(q: int, dim: int, args) -> set[str]:
    """The methods one case times: with --goal-cases (the children) only what
    the goals need, else every method at Q = 1 and from Q = 16 on, and
    search_batch against store.search at Q = 2 to 8."""
    if args.methods:
        return set(args.methods.split(","))
    everything = {"batch1", "batch2", "lists1", "loop", "faiss1", "faiss2", "numpy"}
    if q in FEW_QUERIES:
        return {"batch1", "loop"} if args.goal_cases or q > 1 else everything
    if args.goal_cases:
        return {"batch1"} | ({"faiss1"} if q >= GOAL_Q else set()) | \
            ({"batch2"} if q == GOAL_Q and dim == GOAL_DIM else set())
    return everything


def bench_search_size(n: int, dim: int, args, tessaray, bulk, faiss, threads: Threads, started: float) -> dict:
    w = args.threads
    rng = np.random.default_rng(n * 1_000 + dim)
    log(f"search {n:,} x {dim}: data", started)
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    q_max = max(args.queries)
    queries = rng.standard_normal((max(q_max, 64), dim), dtype=np.float32)
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

    # The answers: search_batch equals search bit for bit, with either output
    # and any thread count; the peers share ids with it.
    check = queries[:64]
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
    few = [bulk.search_batch(store, check[:q], K, 1) for q in FEW_QUERIES if q in args.queries]
    if any(answer != one_by_one[:len(answer)] for answer in few):
        notes.append("search_batch of 1 to 8 queries differs from store.search")
    agreement = {}
    if index is not None and not args.goal_cases:
        qn = check / np.linalg.norm(check, axis=1, keepdims=True)
        _, fi = index.search(qn, K)
        agreement["faiss"] = float(np.mean([len(set(a) & set(b.tolist())) for a, b in zip(i1.tolist(), fi)]))
    if not args.goal_cases:
        _, ni = numpy_topk(rows_n, check, chunk)
        agreement["numpy"] = float(np.mean([len(set(a) & set(b.tolist())) for a, b in zip(i1.tolist(), ni)]))
    del lists, s1, s2, i1, i2, few

    cases = []
    for q_count in args.queries:
        batch = np.ascontiguousarray(queries[:q_count])
        loop_q = min(q_count, args.loop_queries)
        numpy_q = min(q_count, args.numpy_queries)
        loop_batch = batch[:loop_q]
        numpy_batch = np.ascontiguousarray(batch[:numpy_q])
        wanted = case_methods(q_count, dim, args)
        methods, per = {}, {}

        def add(key, label, run, count):
            if key in wanted:
                methods[label] = run
                per[label] = count

        search_batch, search = bulk.search_batch, store.search
        # store.search right after search_batch on one thread: the pair the
        # few-queries goal compares runs back to back in every round.
        add("batch1", BATCH1, timed(lambda: search_batch(store, batch, K, 1, arrays=True)), q_count)
        add("loop", LOOP, timed(lambda: [search(q, K) for q in loop_batch], setup=lambda: threads.set(1)), loop_q)
        add("batch2", BATCH2.format(w=w), timed(lambda: search_batch(store, batch, K, w, arrays=True)), q_count)
        if q_count <= args.lists_max_queries:
            add("lists1", LISTS1, timed(lambda: search_batch(store, batch, K, 1)), q_count)
        if index is not None:
            def faiss_call():
                qn = batch / np.linalg.norm(batch, axis=1, keepdims=True)
                return index.search(qn, K)

            add("faiss1", FAISS1, timed(faiss_call, setup=lambda: threads.set(1)), q_count)
            add("faiss2", FAISS2.format(w=w), timed(faiss_call, setup=lambda: threads.set(w)), q_count)
        add("numpy", "numpy, 1 BLAS thread", timed(lambda: numpy_topk(rows_n, numpy_batch, chunk),
                                                  setup=lambda: threads.set(1)), numpy_q)
        rounds = args.rounds.get(q_count, args.rounds.get(max(args.rounds), 3))
        log(f"search {n:,} x {dim}, Q = {q_count:,} (up to {rounds} rounds)", started)
        gc.collect()
        medians, counted = interleaved_rounds(methods, rounds, args.case_seconds, args.warmup_below)
        case = {"q": q_count, "rounds": counted, "whole": medians, "timed_queries": per,
                "per_query": {name: t / per[name] for name, t in medians.items()}}
        # A batch of one runs search's own scan: both read the store as fast
        # as memory delivers it, and medians of the rounds, with the batch
        # always first of the pair, tell apart only noise.  Pairs in
        # alternating order, with store.search against itself beside them,
        # show whether it is slower at all.
        if q_count == 1 and args.pairs and BATCH1 in methods and LOOP in methods:
            log(f"search {n:,} x {dim}, Q = 1: {args.pairs} pairs against store.search", started)
            case["paired"] = {name: paired_ratios(methods[name], methods[LOOP], args.pairs)
                              for name in (BATCH1, LISTS1) if name in methods}
            case["paired"]["control"] = paired_ratios(methods[LOOP], methods[LOOP], args.pairs)
        cases.append(case)
    del store, index, rows_n, queries
    gc.collect()
    return {"n": n, "dim": dim, "cases": cases, "numpy_chunk": chunk, "agreement": agreement, "notes": notes}


def goal_queries(queries: list[int]) -> list[int]:
    """The batch sizes of the goals among those measured."""
    return [q for q in queries if q in FEW_QUERIES or q >= GOAL_Q]


def child_levels(args, sizes: list[tuple[int, int]], started: float) -> list[dict]:
    """The goal cases at every level of --simd-levels, each in a child
    interpreter with TESSARAY_SIMD set to it: [{"level", "results"}]."""
    out = []
    queries = ",".join(str(q) for q in goal_queries(args.queries))
    rounds = ",".join(f"{q}:{r}" for q, r in args.rounds.items())
    for level in filter(None, args.simd_levels.split(",")):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "child.json")
            cmd = [sys.executable, MAIN, "--sections", "search", "--goal-cases", "--simd-levels", "",
                   "--sizes", ",".join(f"{n}x{dim}" for n, dim in sizes), "--queries", queries,
                   "--rounds", rounds, "--case-seconds", str(args.case_seconds),
                   "--warmup-below", str(args.warmup_below), "--threads", str(args.threads),
                   "--loop-queries", str(args.loop_queries), "--pairs", str(args.pairs), "--json", path, "--quiet"]
            log(f"goal cases again with TESSARAY_SIMD={level} (child)", started)
            proc = subprocess.run(cmd, env=dict(os.environ, TESSARAY_SIMD=level), stdout=subprocess.DEVNULL)
            if proc.returncode != 0:
                print(f"the child at {level} failed (exit status {proc.returncode})", file=sys.stderr)
                continue
            with open(path) as f:
                data = json.load(f)
        out.append({"level": level, "child": True, "results": data["search"]})
    return out


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
            ours = pq.get(BATCH1)
            for name, t in pq.items():
                ref = pq.get(FAISS2.format(w=w) if f"{w} threads" in name else FAISS1)
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
                if c["q"] in FEW_QUERIES and c["q"] > 1:
                    continue
                flops = c["q"] * r["n"] * r["dim"] * 2
                for t, name in ((1, BATCH1), (w, BATCH2.format(w=w))):
                    if name not in c["whole"]:
                        continue
                    secs = c["whole"][name]
                    allowed = flops / (u * 1e9 * t)
                    out.append(f"| {r['n']:,} x {r['dim']} | {c['q']:,} | {t} | {fmt_secs(secs)} | "
                               f"{flops / secs / 1e9:.1f} | {fmt_secs(allowed)} | {secs / allowed:.2f} |")
    return out


def _few_ratios(r: dict) -> dict[int, tuple[float, float, float]]:
    """Q -> (search_batch per query, store.search per query, their ratio) at Q = 1 to 8."""
    out = {}
    for c in r["cases"]:
        pq = c["per_query"]
        if c["q"] in FEW_QUERIES and BATCH1 in pq and LOOP in pq:
            out[c["q"]] = (pq[BATCH1], pq[LOOP], pq[BATCH1] / pq[LOOP])
    return out


def _tag(lv: dict) -> str:
    return f"{lv['level']}" + (" (child)" if lv.get("child") else "")


def levels_tables(levels: list, probe: Probe, w: int) -> list[str]:
    """The goal cases per kernel level: Q = 256 against faiss and the compute
    limit, and Q = 1 to 8 against store.search."""
    out = ["", f"#### Q = {GOAL_Q} per kernel level (the module's own level in this process, the others in one "
               "child interpreter each with TESSARAY_SIMD, back to back)", "",
           f"| level | size | probe unfused / fused | search_batch 1 thread | {w} threads | faiss 1 thread | "
           f"1 thread × faiss 1 thread | 1 thread GFLOP/s | 1 thread × time the level's unfused rate allows | "
           f"{w} threads × 1 thread | rounds |",
           "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for lv in levels:
        rate = probe.rate(lv["level"])
        for r in lv["results"]:
            c = next((c for c in r["cases"] if c["q"] == GOAL_Q), None)
            if not c or BATCH1 not in c["whole"]:
                continue
            m = c["whole"]
            flops = GOAL_Q * r["n"] * r["dim"] * 2
            one, two, f1 = m[BATCH1], m.get(BATCH2.format(w=w)), m.get(FAISS1)
            ratio = f"{rate['ratio']:.3f}" if rate and rate["ratio"] else "-"
            allowed = f"{one / (flops / (rate['unfused'] * 1e9)):.3f}" if rate else "no probe"
            out.append(f"| {_tag(lv)} | {r['n']:,} x {r['dim']} | {ratio} | {fmt_secs(one)} | "
                       f"{fmt_secs(two) if two else '-'} | {fmt_secs(f1) if f1 else '-'} | "
                       f"{f'{one / f1:.3f}' if f1 else '-'} | {flops / one / 1e9:.1f} | {allowed} | "
                       f"{f'{two / one:.3f}' if two else '-'} | {c['rounds']} |")
    out += ["", "#### Q = 1 to 8 per kernel level: search_batch 1 thread (arrays=True) per query × store.search "
                "per query (same queries, interleaved)", "",
            "| level | size | store.search | " + " | ".join(f"Q = {q}" for q in FEW_QUERIES) + " | rounds |",
            "| --- | --- | ---: | " + " | ".join("---:" for _ in FEW_QUERIES) + " | ---: |"]
    for lv in levels:
        for r in lv["results"]:
            few = _few_ratios(r)
            if not few:
                continue
            rounds = sorted({c["rounds"] for c in r["cases"] if c["q"] in few})
            out.append(f"| {_tag(lv)} | {r['n']:,} x {r['dim']} | {fmt_time(few[min(few)][1])} | "
                       + " | ".join(f"{few[q][2]:.3f}" if q in few else "-" for q in FEW_QUERIES)
                       + f" | {'-'.join(map(str, (rounds[0], rounds[-1]))) if len(rounds) > 1 else rounds[0]} |")
    return out


def add_goals(goals: GoalTable, levels: list, probe: Probe, w: int) -> None:
    """Per kernel level and store size: (A) one thread at Q = 256 against the
    time the level's unfused rate allows, (B) one thread from Q = 256 on
    against faiss on one thread (judged at the module's own level only), (C) Q = 1 to 8 per query against
    store.search, and two threads against one at d = 128."""
    best = probe.machine()
    for lv in levels:
        lvl, tag = lv["level"], _tag(lv)
        rate = probe.rate(lvl)
        for r in lv["results"]:
            size = f"{r['n']:,} x {r['dim']}"
            for c in r["cases"]:
                q, m = c["q"], c["whole"]
                one = m.get(BATCH1)
                if q < GOAL_Q or not one:
                    continue
                if q == GOAL_Q:
                    goal = (f"(A) {tag}, {size}, Q = {q}: search_batch 1 thread ≤ {GOAL_BATCH_OVER_UNFUSED} × the "
                            f"time the {lvl} probe's unfused rate allows")
                    if rate:
                        allowed = q * r["n"] * r["dim"] * 2 / (rate["unfused"] * 1e9)
                        x = one / allowed
                        goals.add(goal, f"{fmt_secs(one)} = {x:.3f} × {fmt_secs(allowed)} "
                                        f"({rate['unfused']:.1f} GFLOP/s)", x / GOAL_BATCH_OVER_UNFUSED)
                    else:
                        goals.add(goal, f"{fmt_secs(one)}; no probe for {lvl}", None, "not measured (no probe)")
                f1 = m.get(FAISS1)
                if f1:
                    x = one / f1
                    why = []
                    if rate and rate["ratio"]:
                        why.append(f"{lvl} probe unfused/fused {rate['ratio']:.3f}")
                    if rate and best:
                        why.append(f"{lvl} unfused / the machine's best fused ({best['level']}) "
                                   f"{rate['unfused'] / best['fused']:.3f}")
                    # faiss runs its BLAS at the machine's own level whatever
                    # level the module is held to, so this goal is judged at
                    # the level the module picks here (the run's own process).
                    own = not lv.get("child")
                    goals.add(f"(B) {tag}, {size}, Q = {q:,}: search_batch 1 thread ≤ {GOAL_BATCH_OVER_FAISS} × faiss "
                              f"IndexFlatIP 1 thread", f"{fmt_secs(one)} = {x:.3f} × {fmt_secs(f1)}"
                              + (f" ({'; '.join(why)})" if why else ""), x / GOAL_BATCH_OVER_FAISS,
                              "" if own else "for information: judged at the module's own level")
                two = m.get(BATCH2.format(w=w))
                if q == GOAL_Q and r["dim"] == GOAL_DIM and two:
                    x = two / one
                    goals.add(f"{tag}, {size}, Q = {q}: search_batch {w} threads ≤ {GOAL_TWO_OVER_ONE} × 1 thread",
                              f"{fmt_secs(two)} = {x:.3f} × {fmt_secs(one)}", x / GOAL_TWO_OVER_ONE)
            c1 = next((c for c in r["cases"] if c["q"] == 1), None)
            paired = c1.get("paired") if c1 else None
            few = _few_ratios(r)
            if paired:
                few.pop(1, None)
                control = paired["control"]
                for name, form in ((BATCH1, "arrays"), (LISTS1, "lists")):
                    p = paired.get(name)
                    if p is None:
                        continue
                    goals.add(f"(C) {tag}, {size}, Q = 1, {form}: search_batch 1 thread ≤ {GOAL_FEW_OVER_SEARCH} × "
                              f"store.search", f"{p['median']:.3f} × in {p['pairs']} pairs (95 % interval "
                              f"{p['low']:.3f}-{p['high']:.3f}; store.search against itself {control['median']:.3f}, "
                              f"{control['low']:.3f}-{control['high']:.3f}); medians of the rounds "
                              f"{fmt_time(c1['whole'][name])} × {fmt_time(c1['whole'][LOOP])}",
                              p["median"] / GOAL_FEW_OVER_SEARCH, not_slower(p, GOAL_FEW_OVER_SEARCH))
            if few:
                worst = max(few, key=lambda q: few[q][2])
                b, s, x = few[worst]
                missed = [q for q in few if few[q][2] > GOAL_FEW_OVER_SEARCH]
                qs = f"{min(few)} to {max(few)}" if len(few) > 1 else f"{min(few)}"
                goals.add(f"(C) {tag}, {size}, Q = {qs}: search_batch 1 thread per query ≤ {GOAL_FEW_OVER_SEARCH} × "
                          f"store.search",
                          ", ".join(f"Q = {q}: {few[q][2]:.3f}" for q in sorted(few))
                          + f"; worst Q = {worst}: {fmt_time(b)} = {x:.3f} × {fmt_time(s)}",
                          x / GOAL_FEW_OVER_SEARCH,
                          f"**missed** (Q = {', '.join(map(str, missed))})" if missed else "")
            if c1 and not paired and LISTS1 in c1["whole"] and LOOP in c1["whole"]:
                b, s = c1["whole"][LISTS1], c1["whole"][LOOP]
                goals.add(f"(C) {tag}, {size}, Q = 1, lists: search_batch 1 thread ≤ {GOAL_FEW_OVER_SEARCH} × "
                          f"store.search", f"{fmt_time(b)} = {b / s:.3f} × {fmt_time(s)}", b / s / GOAL_FEW_OVER_SEARCH)

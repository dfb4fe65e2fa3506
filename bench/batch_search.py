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

from common import K, interleaved_rounds, log, paired_ratios, timed

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

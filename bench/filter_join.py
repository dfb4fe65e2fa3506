"""The store against itself: ``self_join`` and ``knn_graph`` against
``search_batch`` of the store's own rows as queries, one thread.

A store of N random normal float32 rows.  ``search_batch`` of all N rows as
queries takes as long as both calls together, so it is timed on the first
--join-ref-queries rows as queries and scaled by N over that count (a
batch's time grows with its queries in proportion at this size: every tile
of queries reads the same panels of rows).  Each round runs the references
(k = 10 and k = 11), ``knn_graph`` with k = 10 and ``self_join``; after the
last round the references run once more, so that they bracket the long
calls.

``self_join`` runs once more on a second store of the same rows with every
10th row zero and every 100th holding a NaN (rows, and queries, whose
scores are known without sums), at the same threshold.

The self-join's threshold aims at about one pair per row (N pairs, each
row in two on average): ``search_batch`` of a random sample of rows as
queries, their own row left out, gives the scores of their best other rows;
the threshold is the score that the sample's rows reach with two other rows
on average.  The pairs the timed call found are counted and reported.
"""

from __future__ import annotations

import gc

import numpy as np

from common import K, GoalTable, fmt_bytes, fmt_secs, log
from filter_measure import Method, interleaved

GOAL_JOIN = 0.6  # x search_batch of every row as a query, k = 10
GOAL_KNN = 1.05  # x search_batch of every row as a query, k = 11
GOAL_KNOWN_JOIN = 1.1  # x self_join of the same rows without zero and NaN rows

SAMPLE = 2_000  # rows whose best other rows choose the threshold
SAMPLE_K = 9  # answers per sampled row, its own included

KNN = f"knn_graph, k = {K}"
JOIN = "self_join, about one pair per row"
KNOWN_JOIN = "self_join, the same threshold, 10 % zero rows and 1 % NaN rows"


def ref_name(k: int) -> str:
    return f"search_batch of every row as a query, k = {k} (scaled)"


def pick_threshold(store, rows: np.ndarray, bulk, rng) -> dict:
    n = len(rows)
    sample = np.sort(rng.choice(n, min(SAMPLE, n), replace=False))
    scores, ids = (np.asarray(a) for a in bulk.search_batch(store, rows[sample], min(SAMPLE_K, n), 1, arrays=True))
    others = []
    for s, i, own in zip(scores, ids, sample):
        keep = i != own
        others.append(s[keep][:SAMPLE_K - 1])
    others = np.array([o for o in others if len(o) == SAMPLE_K - 1])
    flat = np.sort(others.ravel())[::-1]
    threshold = float(flat[2 * len(others) - 1])  # two other rows per sampled row on average
    return {"threshold": threshold, "median_best_other": float(np.median(others[:, 0])),
            "rows_with_partner": float(np.mean(others[:, 0] >= threshold))}


def bench_join(args, tessaray, bulk, started: float) -> dict:
    n, dim, qs = args.join_rows, args.dim, min(args.join_ref_queries or args.join_rows, args.join_rows)
    rng = np.random.default_rng(n + 3)
    log(f"self_join / knn_graph {n:,} x {dim}: data", started)
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    store = tessaray.Vectorstore(dim)
    bulk.insert_many(store, rows)
    pick = pick_threshold(store, rows, bulk, rng)
    threshold = pick["threshold"]
    queries = np.ascontiguousarray(rows[:qs])
    rows[::10] = 0.0
    rows[5::100, 0] = np.nan
    known = tessaray.Vectorstore(dim)
    bulk.insert_many(known, rows)
    del rows
    gc.collect()
    found: dict = {}

    def count_pairs(result) -> None:
        first, second, _ = (np.asarray(a) for a in result)
        found["pairs"] = len(first)
        found["rows_in_pairs"] = len(np.union1d(first, second))

    def check_graph(result) -> None:
        scores, ids = (np.asarray(a) for a in result)
        found["graph_shape"] = scores.shape
        found["self_in_graph"] = int(np.sum(ids == np.arange(n, dtype=np.uint64)[:, None]))

    sb = bulk.search_batch
    methods = {
        ref_name(K): Method(lambda: sb(store, queries, K, 1, arrays=True)),
        ref_name(K + 1): Method(lambda: sb(store, queries, K + 1, 1, arrays=True)),
        KNN: Method(lambda: bulk.knn_graph(store, K, 1), inspect=check_graph),
        JOIN: Method(lambda: bulk.self_join(store, threshold, 1), inspect=count_pairs),
        KNOWN_JOIN: Method(lambda: bulk.self_join(known, threshold, 1)),
    }
    log(f"self_join / knn_graph {n:,} x {dim}: {args.join_rounds} round(s), references on {qs:,} queries",
        started)
    timings = interleaved(methods, args.join_rounds, again=(ref_name(K), ref_name(K + 1)))
    scale = n / qs
    for k in (K, K + 1):
        t = timings[ref_name(k)]
        t["slice"] = {"min": t["min"], "median": t["median"]}
        t["min"] *= scale
        t["median"] *= scale
        t["cpu"] *= scale
    del store, known, methods
    gc.collect()
    return {"n": n, "dim": dim, "ref_queries": qs, "scale": scale, "timings": timings, "pick": pick,
            "found": found}


def join_table(r: dict) -> list[str]:
    t = r["timings"]
    nn = r["n"] * r["n"] * 4
    c10, c11 = t[ref_name(K)]["cpu"], t[ref_name(K + 1)]["cpu"]
    out = ["| method | fastest | median | × search_batch k = 10 | × search_batch k = 11 | CPU time (least) | "
           "CPU × k = 10 | CPU × k = 11 | peak RSS growth | growth / (N × N × 4 B) | runs |",
           "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for name, v in t.items():
        g = v["growth"]
        out.append(f"| {name} | {fmt_secs(v['min'])} | {fmt_secs(v['median'])} | "
                   f"{v['min'] / t[ref_name(K)]['min']:.3f} | {v['min'] / t[ref_name(K + 1)]['min']:.3f} | "
                   f"{fmt_secs(v['cpu'])} | {v['cpu'] / c10:.3f} | {v['cpu'] / c11:.3f} | "
                   f"{fmt_bytes(g) if g >= 0 else '?'} | {g / nn:.6f} | {v['rounds']} |")
    return out


def add_goals(goals: GoalTable, r: dict) -> None:
    t = r["timings"]
    size = f"{r['n']:,} x {r['dim']}"
    ref10, ref11 = t[ref_name(K)]["min"], t[ref_name(K + 1)]["min"]
    x = t[JOIN]["min"] / ref10
    pairs = r["found"].get("pairs", 0)
    goals.add(f"{size}: self_join ({pairs:,} pairs, {pairs / r['n']:.2f} per row) ≤ {GOAL_JOIN} × search_batch of "
              f"every row, k = {K}", f"{fmt_secs(t[JOIN]['min'])} = {x:.3f} × {fmt_secs(ref10)} (CPU time "
              f"{t[JOIN]['cpu'] / t[ref_name(K)]['cpu']:.3f} ×)", x / GOAL_JOIN)
    x = t[KNOWN_JOIN]["min"] / t[JOIN]["min"]
    goals.add(f"{size}: self_join, 10 % zero rows and 1 % NaN rows ≤ {GOAL_KNOWN_JOIN} × without them",
              f"{fmt_secs(t[KNOWN_JOIN]['min'])} = {x:.3f} × {fmt_secs(t[JOIN]['min'])}", x / GOAL_KNOWN_JOIN)
    x = t[KNN]["min"] / ref11
    goals.add(f"{size}: knn_graph k = {K} ≤ {GOAL_KNN} × search_batch of every row, k = {K + 1}",
              f"{fmt_secs(t[KNN]['min'])} = {x:.3f} × {fmt_secs(ref11)} (CPU time "
              f"{t[KNN]['cpu'] / t[ref_name(K + 1)]['cpu']:.3f} ×)", x / GOAL_KNN)

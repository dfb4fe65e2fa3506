"""Filtered and threshold searches on one store: ``search_batch`` with
``allow`` and ``range_search`` against the unfiltered ``search_batch`` and
against faiss with ID selectors.

One store of N random normal float32 rows (ids 0 .. N-1, stored as they are;
tessaray scores cosine) and Q random normal queries, k = 10, one thread.  In
interleaved rounds (fastest round kept):

  - ``search_batch(store, queries, 10, 1, arrays=True)`` unfiltered, with
    ``allow`` a boolean mask of every row, of a random 10 % of the rows, of
    a contiguous 1 % (rows N/2 .. N/2 + N/100), and, where the module takes
    them, per-query id lists ``allow=(lims, ids)`` of 1,000 random ids each
    (in random order, and the same lists each sorted);
  - ``range_search`` at a threshold that gives about 100 rows per query: the
    median over the queries of their 100th best score (``search_batch`` with
    k = 100, before the rounds);
  - both again on a second store of the same rows with every 10th row zero
    and every 100th holding a NaN (rows whose roots the bound does not
    cover, whose scores are known: 0 and NaN);
  - faiss ``IndexFlatIP`` over L2-normalised copies of the rows (the queries
    normalised inside the timed call, one OpenMP and one BLAS thread):
    unfiltered, with ``SearchParameters(sel=IDSelectorBatch(...))`` of the
    same 10 % and 1 % rows, with ``IDSelectorRange`` of the 1 %, and
    ``range_search`` at the same threshold, and ``knn_inner_products_by_idx``
    over the per-query lists (as row numbers), which scores each listed row
    where it lies: the time of scoring those rows.  The selectors are built
    before the rounds (a mask or id list is converted inside our call).

The conversion of an id list is timed on its own (``id_conversion``): a call
with no queries and ``allow`` = 100,000 ids, which converts and matches the
list and scores nothing, against the same call without ``allow``; the
difference over the ids is the cost per id.  The boolean mask of the same
rows is timed beside them.
"""

from __future__ import annotations

import gc

import numpy as np

from common import K, GoalTable, fmt_bytes, fmt_secs, fmt_time, log
from filter_measure import Method, interleaved

# Goals (upper limits of each ratio).
GOAL_ALL_MASK = 1.05  # x unfiltered
GOAL_TENTH_MASK = 1.05  # x unfiltered
GOAL_CONTIGUOUS = 0.05  # x unfiltered
GOAL_NS_PER_ID = 50.0
GOAL_LISTS_OVER_SCORING = 2.0  # x faiss scoring the listed rows where they lie (knn_inner_products_by_idx)
GOAL_RANGE = 1.05  # x unfiltered search_batch, k = 10
GOAL_KNOWN_ROWS = 1.1  # x the same search on the store without zero and NaN rows

RANGE_PER_QUERY = 100  # rows per query the range search's threshold aims at
LIST_IDS = 1_000  # ids per query of the per-query lists
ID_LIST = 100_000  # ids of the converted list

UNFILTERED = "search_batch, unfiltered"
ALL_MASK = "search_batch, allow = every row (mask)"
TENTH = "search_batch, allow = random 10 % (mask)"
CONTIGUOUS = "search_batch, allow = contiguous 1 % (mask)"
LISTS = f"search_batch, allow = (lims, ids), {LIST_IDS:,} ids per query"
LISTS_SORTED = "search_batch, allow = (lims, ids), the same lists each sorted"
NO_QUERY = "no query, without allow"
IDS_WARM = "no query, allow = 100,000 ids (uint64 array), warm heap"
IDS_COLD = "no query, allow = 100,000 ids (uint64 array), heap trimmed first"
SPARSE_NO_QUERY = "random 64-bit ids: no query, without allow"
SPARSE_WARM = "random 64-bit ids: no query, allow = 100,000 of them, warm heap"
RANGE = "range_search, about 100 rows per query"
KNOWN_BATCH = "search_batch, unfiltered, 10 % zero rows and 1 % NaN rows"
KNOWN_RANGE = "range_search, the same threshold, 10 % zero rows and 1 % NaN rows"
F_UNFILTERED = "faiss IndexFlatIP, unfiltered"
F_TENTH = "faiss, IDSelectorBatch of the random 10 %"
F_CONTIGUOUS_BATCH = "faiss, IDSelectorBatch of the contiguous 1 %"
F_CONTIGUOUS_RANGE = "faiss, IDSelectorRange of the contiguous 1 %"
F_RANGE = "faiss range_search, same threshold"
F_LISTS = f"faiss knn_inner_products_by_idx, the same {LIST_IDS:,} rows per query"


def per_query_lists_supported(tessaray, bulk) -> bool:
    """Whether search_batch takes allow=(lims, ids): a probe on a tiny store."""
    store = tessaray.Vectorstore(2)
    bulk.insert_many(store, np.array([[1, 0], [0, 1], [1, 1]], dtype=np.float32))
    lims = np.array([0, 1, 2], dtype=np.uint64)
    ids = np.array([2, 1], dtype=np.uint64)
    try:
        answer = bulk.search_batch(store, np.array([[1, 0], [1, 0]], dtype=np.float32), 3, 1, allow=(lims, ids))
    except (TypeError, ValueError):
        return False
    return [[i for _, i in a] for a in answer] == [[2], [1]]


def faiss_listed(faiss, rows: np.ndarray, queries: np.ndarray, list_rows: np.ndarray, k: int):
    """faiss's top k of each query's listed rows (row numbers), scored where they lie."""
    q_count, listed = list_rows.shape
    scores = np.empty((q_count, k), dtype=np.float32)
    ids = np.empty((q_count, k), dtype=np.int64)
    faiss.knn_inner_products_by_idx(faiss.swig_ptr(queries), faiss.swig_ptr(rows), faiss.swig_ptr(list_rows),
                                    rows.shape[1], q_count, rows.shape[0], listed, k, faiss.swig_ptr(scores),
                                    faiss.swig_ptr(ids), listed)
    return scores, ids


class Threads:
    """One OpenMP and one BLAS thread for faiss and numpy (threadpoolctl)."""

    def __init__(self, faiss):
        self.ctx = None
        try:
            from threadpoolctl import threadpool_limits

            self.ctx = threadpool_limits(limits=1)
        except ImportError:
            pass
        if faiss is not None:
            faiss.omp_set_num_threads(1)


def mask_of(n: int, rows: np.ndarray) -> np.ndarray:
    mask = np.zeros(n, dtype=bool)
    mask[rows] = True
    return mask


def overlap(a: np.ndarray, b: np.ndarray) -> float:
    """Mean ids shared per query of two (Q, k) id arrays."""
    return float(np.mean([len(set(x.tolist()) & set(y.tolist())) for x, y in zip(a, b)]))


def bench_search(data: dict, args, tessaray, bulk, faiss, started: float) -> dict:
    store, n, dim, q_count = data["store"], data["n"], data["dim"], args.queries
    rng = np.random.default_rng(7)
    queries = rng.standard_normal((q_count, dim), dtype=np.float32)
    Threads(faiss)
    search_batch = bulk.search_batch
    notes = []

    every = np.ones(n, dtype=bool)
    tenth_rows = np.sort(rng.choice(n, n // 10, replace=False))
    tenth = mask_of(n, tenth_rows)
    first = n // 2
    contiguous_rows = np.arange(first, first + n // 100)
    contiguous = mask_of(n, contiguous_rows)

    log(f"filters {n:,} x {dim}, Q = {q_count}: the range threshold (k = {RANGE_PER_QUERY})", started)
    s100, _ = (np.asarray(a) for a in search_batch(store, queries, RANGE_PER_QUERY, 1, arrays=True))
    threshold = float(np.median(s100[:, min(RANGE_PER_QUERY, n) - 1]))
    del s100

    lists = per_query_lists_supported(tessaray, bulk)
    if lists:
        per_query = np.concatenate([rng.choice(n, LIST_IDS, replace=False) for _ in range(q_count)]).astype(np.uint64)
        lims = np.arange(0, q_count * LIST_IDS + 1, LIST_IDS, dtype=np.uint64)
        per_query_sorted = np.sort(per_query.reshape(q_count, LIST_IDS), axis=1).ravel()
    else:
        notes.append("search_batch takes no per-query allow lists (lims, ids) in this build: not measured")

    index = None
    if faiss is not None:
        rows_n = data["rows"] / np.linalg.norm(data["rows"], axis=1, keepdims=True)
        index = faiss.IndexFlatIP(dim)
        index.add(rows_n)
        # The per-query lists as faiss takes them: row numbers, a row per query.
        list_rows = per_query.astype(np.int64).reshape(q_count, LIST_IDS) if lists else None
        sel_tenth = faiss.SearchParameters(sel=faiss.IDSelectorBatch(tenth_rows.astype(np.int64)))
        sel_cont_batch = faiss.SearchParameters(sel=faiss.IDSelectorBatch(contiguous_rows.astype(np.int64)))
        sel_cont_range = faiss.SearchParameters(sel=faiss.IDSelectorRange(first, first + n // 100))

        def normalised():
            return queries / np.linalg.norm(queries, axis=1, keepdims=True)

    # The answers, on the first queries: only allowed rows, and the same rows as faiss's.
    check = queries[:16]
    qn = check / np.linalg.norm(check, axis=1, keepdims=True)
    agree = {}
    for label, mask, allowed_rows, params in (
            (TENTH, tenth, tenth_rows, "tenth"), (CONTIGUOUS, contiguous, contiguous_rows, "cont")):
        _, ids = (np.asarray(a) for a in search_batch(store, check, K, 1, arrays=True, allow=mask))
        if not np.isin(ids, allowed_rows).all():
            notes.append(f"{label}: an answer outside the allowed rows")
        if index is not None:
            for fl, p in ((F_TENTH, sel_tenth),) if params == "tenth" else \
                    ((F_CONTIGUOUS_BATCH, sel_cont_batch), (F_CONTIGUOUS_RANGE, sel_cont_range)):
                agree[fl] = overlap(ids, index.search(qn, K, params=p)[1])
    if lists:
        head = (lims[:len(check) + 1], per_query[:len(check) * LIST_IDS])
        _, ids = (np.asarray(a) for a in search_batch(store, check, K, 1, arrays=True, allow=head))
        if any(not np.isin(ids[i], per_query[i * LIST_IDS:(i + 1) * LIST_IDS]).all() for i in range(len(check))):
            notes.append(f"{LISTS}: an answer outside the query's list")
        if index is not None:
            agree[F_LISTS] = overlap(ids, faiss_listed(faiss, rows_n, qn, list_rows[:len(check)], K)[1])
    lims_r, _, _ = (np.asarray(a) for a in bulk.range_search(store, queries, threshold, 1))
    per_query_found = float(lims_r[-1]) / q_count
    if index is not None:
        flims, _, _ = index.range_search(normalised(), threshold)
        agree[F_RANGE] = f"{float(flims[-1]) / q_count:.1f} rows per query against our {per_query_found:.1f}"
    del lims_r

    methods = {
        UNFILTERED: Method(lambda: search_batch(store, queries, K, 1, arrays=True)),
        ALL_MASK: Method(lambda: search_batch(store, queries, K, 1, arrays=True, allow=every)),
        TENTH: Method(lambda: search_batch(store, queries, K, 1, arrays=True, allow=tenth)),
        CONTIGUOUS: Method(lambda: search_batch(store, queries, K, 1, arrays=True, allow=contiguous)),
    }
    if lists:
        methods[LISTS] = Method(lambda: search_batch(store, queries, K, 1, arrays=True, allow=(lims, per_query)))
        methods[LISTS_SORTED] = Method(lambda: search_batch(store, queries, K, 1, arrays=True,
                                                            allow=(lims, per_query_sorted)))
    methods[RANGE] = Method(lambda: bulk.range_search(store, queries, threshold, 1))
    known_rows = data["rows"].copy()
    known_rows[::10] = 0.0
    known_rows[5::100, 0] = np.nan
    known = tessaray.Vectorstore(dim)
    bulk.insert_many(known, known_rows)
    del known_rows
    methods[KNOWN_BATCH] = Method(lambda: search_batch(known, queries, K, 1, arrays=True))
    methods[KNOWN_RANGE] = Method(lambda: bulk.range_search(known, queries, threshold, 1))
    if index is not None:
        methods[F_UNFILTERED] = Method(lambda: index.search(normalised(), K))
        methods[F_TENTH] = Method(lambda: index.search(normalised(), K, params=sel_tenth))
        methods[F_CONTIGUOUS_BATCH] = Method(lambda: index.search(normalised(), K, params=sel_cont_batch))
        methods[F_CONTIGUOUS_RANGE] = Method(lambda: index.search(normalised(), K, params=sel_cont_range))
        methods[F_RANGE] = Method(lambda: index.range_search(normalised(), threshold))
        if lists:
            methods[F_LISTS] = Method(lambda: faiss_listed(faiss, rows_n, normalised(), list_rows, K))
    log(f"filters {n:,} x {dim}, Q = {q_count}: {len(methods)} methods, {args.rounds} rounds", started)
    gc.collect()
    timings = interleaved(methods, args.rounds, args.case_seconds)
    del index, methods, known
    if faiss is not None:
        del rows_n
    gc.collect()
    return {"n": n, "dim": dim, "q": q_count, "threshold": threshold, "found_per_query": per_query_found,
            "lists": lists, "timings": timings, "agree": agree, "notes": notes}


def bench_id_conversion(data: dict, args, bulk, started: float) -> dict:
    """A call with no queries and allow = an id list, against the same call
    without allow: the difference is the list's conversion alone.  The
    boolean mask of the same rows beside them, and one query with each to
    check that they answer alike."""
    store, n, dim = data["store"], data["n"], data["dim"]
    rng = np.random.default_rng(11)
    query = rng.standard_normal((1, dim), dtype=np.float32)
    count = min(ID_LIST, n)
    ids = rng.choice(n, count, replace=False).astype(np.uint64)  # ids are the row numbers, in random order
    mask = mask_of(n, ids.astype(np.int64))
    sb = bulk.search_batch
    a = sb(store, query, K, 1, allow=ids)
    b = sb(store, query, K, 1, allow=mask)
    notes = [] if a == b else ["the id list and the mask answer differently"]
    none = query[:0]
    # Warm: the heap keeps what the last call freed, as in a program that
    # converts lists again and again.  Cold: its free pages are handed back
    # first, so the call faults in every page it uses.  The cold call has
    # rounds of its own: handing the pages back between the warm calls
    # would make them fault in part of theirs (about 10 ns per id).
    cold = {IDS_COLD: Method(lambda: sb(store, none, K, 1, arrays=True, allow=ids))}
    methods = {
        NO_QUERY: Method(lambda: sb(store, none, K, 1, arrays=True), trim=False),
        IDS_WARM: Method(lambda: sb(store, none, K, 1, arrays=True, allow=ids), trim=False),
        "no query, allow = the same rows' mask (warm)": Method(lambda: sb(store, none, K, 1, arrays=True,
                                                                           allow=mask), trim=False),
    }
    # The same against ids that span no narrow range, which take the hash
    # set: a store of as many rows with random 64-bit ids (one element per
    # row, as only the ids are read), a random tenth of them listed.
    sparse_store = type(store)(1)
    stored = rng.integers(0, 2**64, n, dtype=np.uint64)
    bulk.insert_many(sparse_store, np.ones((n, 1), dtype=np.float32), stored)
    sparse_ids = rng.permutation(stored)[:count]
    sparse_none = np.zeros((0, 1), dtype=np.float32)
    methods[SPARSE_NO_QUERY] = Method(lambda: sb(sparse_store, sparse_none, K, 1, arrays=True), trim=False)
    methods[SPARSE_WARM] = Method(lambda: sb(sparse_store, sparse_none, K, 1, arrays=True, allow=sparse_ids),
                                  trim=False)
    log(f"id list of {count:,} on {n:,} rows: {args.id_rounds} rounds", started)
    timings = interleaved(methods, args.id_rounds, args.case_seconds)
    timings.update(interleaved(cold, args.id_rounds, args.case_seconds))
    return {"n": n, "count": count, "timings": timings, "notes": notes}


# ---------------------------------------------------------------------------
# Report


def times_table(timings: dict, n: int, q: int, refs: dict[str, str]) -> list[str]:
    """One line per method: fastest and median round, the ratios to the
    references named in `refs` (label -> method), the peak RSS growth and
    that growth over Q x N floats."""
    qn = q * n * 4
    head = "| method | fastest | median | " + " | ".join(f"× {label}" for label in refs) + \
           " | peak RSS growth | growth / (Q × N × 4 B) | rounds |"
    out = [head, "| --- | ---: | ---: | " + " | ".join("---:" for _ in refs) + " | ---: | ---: | ---: |"]
    for name, t in timings.items():
        xs = " | ".join(f"{t['min'] / timings[r]['min']:.3f}" if r in timings else "-" for r in refs.values())
        g = t["growth"]
        out.append(f"| {name} | {fmt_secs(t['min'])} | {fmt_secs(t['median'])} | {xs} | "
                   f"{fmt_bytes(g) if g >= 0 else '?'} | {g / qn:.4f} | {t['rounds']} |")
    return out


def search_tables(r: dict) -> list[str]:
    return times_table(r["timings"], r["n"], r["q"], {"unfiltered": UNFILTERED, "faiss unfiltered": F_UNFILTERED})


def ids_table(r: dict) -> list[str]:
    return times_table(r["timings"], r["n"], 1, {"without allow": NO_QUERY})


def id_cost(r: dict) -> tuple[float, float, float]:
    """(ns per id warm, list time warm, time without allow, ns per id cold)."""
    t = r["timings"]
    bare = t[NO_QUERY]["min"]
    per_id = lambda name: (t[name]["min"] - bare) / r["count"] * 1e9  # noqa: E731
    return per_id(IDS_WARM), t[IDS_WARM]["min"], bare, per_id(IDS_COLD)


def sparse_id_cost(r: dict) -> tuple[float, float, float] | None:
    """(ns per id, list time, time without allow) for the random 64-bit ids."""
    t = r["timings"]
    if SPARSE_WARM not in t:
        return None
    bare = t[SPARSE_NO_QUERY]["min"]
    return (t[SPARSE_WARM]["min"] - bare) / r["count"] * 1e9, t[SPARSE_WARM]["min"], bare


def add_goals(goals: GoalTable, r: dict | None, ids: dict | None) -> None:
    if r:
        t = r["timings"]
        size = f"{r['n']:,} x {r['dim']}, Q = {r['q']}"
        base = t[UNFILTERED]["min"]

        def ratio_goal(name: str, limit: float, label: str) -> None:
            x = t[name]["min"] / base
            goals.add(f"{size}: {label} ≤ {limit} × unfiltered", f"{fmt_secs(t[name]['min'])} = {x:.3f} × "
                      f"{fmt_secs(base)}", x / limit)

        ratio_goal(ALL_MASK, GOAL_ALL_MASK, "allow = every row (mask)")
        ratio_goal(TENTH, GOAL_TENTH_MASK, "allow = a random 10 % of the rows (mask)")
        ratio_goal(CONTIGUOUS, GOAL_CONTIGUOUS, "allow = a contiguous 1 % of the rows (mask)")
        # Scoring the listed rows is timed as faiss does it, gathering each
        # listed row from where it lies; the batch's rate, at which every row
        # read serves all the queries, is stated beside it.
        unfiltered_rate = base * LIST_IDS / r["n"]
        lists_goal = (f"{size}: allow = (lims, ids), {LIST_IDS:,} ids per query ≤ {GOAL_LISTS_OVER_SCORING:g} × "
                      f"scoring those rows (faiss knn_inner_products_by_idx)")
        if LISTS in t and F_LISTS in t:
            x = t[LISTS]["min"] / t[F_LISTS]["min"]
            goals.add(lists_goal, f"{fmt_secs(t[LISTS]['min'])} = {x:.2f} × {fmt_secs(t[F_LISTS]['min'])} "
                      f"({t[LISTS]['min'] / unfiltered_rate:.0f} × {fmt_time(unfiltered_rate)}, the unfiltered "
                      "batch's time for as many pairs)", x / GOAL_LISTS_OVER_SCORING)
        elif LISTS in t:
            goals.add(lists_goal, "faiss missing: not compared", None)
        else:
            goals.add(lists_goal, "this build's search_batch takes no per-query lists", None)
        x = t[RANGE]["min"] / base
        goals.add(f"{size}: range_search, {r['found_per_query']:.0f} rows per query ≤ {GOAL_RANGE} × "
                  f"search_batch k = {K}", f"{fmt_secs(t[RANGE]['min'])} = {x:.3f} × {fmt_secs(base)}",
                  x / GOAL_RANGE)
        for name, plain, label in ((KNOWN_BATCH, UNFILTERED, f"search_batch k = {K}"),
                                   (KNOWN_RANGE, RANGE, "range_search")):
            if name in t:
                x = t[name]["min"] / t[plain]["min"]
                goals.add(f"{size}: {label}, 10 % zero rows and 1 % NaN rows ≤ {GOAL_KNOWN_ROWS} × without them",
                          f"{fmt_secs(t[name]['min'])} = {x:.3f} × {fmt_secs(t[plain]['min'])}", x / GOAL_KNOWN_ROWS)
    if ids:
        ns, with_ids, bare, cold = id_cost(ids)
        goals.add(f"allow = {ids['count']:,} ids on {ids['n']:,} rows: conversion ≤ {GOAL_NS_PER_ID:g} ns per id",
                  f"{ns:.1f} ns per id ({fmt_time(with_ids)} - {fmt_time(bare)} without allow, no query, warm "
                  f"heap; {cold:.1f} ns with the heap trimmed first)", ns / GOAL_NS_PER_ID)
        sparse = sparse_id_cost(ids)
        if sparse:
            ns, with_ids, bare = sparse
            goals.add(f"allow = {ids['count']:,} random 64-bit ids on {ids['n']:,} rows of such ids: conversion "
                      f"≤ {GOAL_NS_PER_ID:g} ns per id", f"{ns:.1f} ns per id ({fmt_time(with_ids)} - "
                      f"{fmt_time(bare)} without allow, no query, warm heap)", ns / GOAL_NS_PER_ID)


def peer_lines(r: dict) -> list[str]:
    """faiss's figures, stated without a goal."""
    t = r["timings"]
    if F_UNFILTERED not in t:
        return []
    out = ["| faiss, one thread | time | × faiss unfiltered | × ours, same rows | ours |",
           "| --- | ---: | ---: | ---: | --- |"]
    fu = t[F_UNFILTERED]["min"]
    for name, ours in ((F_UNFILTERED, UNFILTERED), (F_TENTH, TENTH), (F_CONTIGUOUS_BATCH, CONTIGUOUS),
                       (F_CONTIGUOUS_RANGE, CONTIGUOUS), (F_RANGE, RANGE), (F_LISTS, LISTS)):
        if name not in t or ours not in t:
            continue
        f = t[name]["min"]
        out.append(f"| {name} | {fmt_secs(f)} | {f / fu:.3f} | {f / t[ours]['min']:.3f} | {ours} |")
    return out

"""Removing rows: ``without(store, ids)`` of a random 1 % of the ids against
a copy of the store's bytes (numpy copies of the exported float32 rows and
uint64 ids, exported before the rounds).  Both allocate as much fresh memory
as the store holds; each timed call follows the writing and freeing of that
much (batch_bulk.touch_memory), so that both find the memory backed alike.
"""

from __future__ import annotations

import numpy as np

from batch_bulk import touch_memory
from common import GoalTable, fmt_bytes, fmt_secs, log
from filter_measure import Method, interleaved

GOAL_WITHOUT_OVER_COPY = 2.0

WITHOUT = "without(store, ids), a random 1 % of the ids"
COPY = "copy of the exported rows and ids (ndarray.copy)"


def bench_without(data: dict, args, bulk, started: float) -> dict:
    store, n, dim = data["store"], data["n"], data["dim"]
    if not hasattr(bulk, "without"):
        return {"n": n, "dim": dim, "present": False}
    rng = np.random.default_rng(13)
    drop = rng.choice(n, n // 100, replace=False).astype(np.uint64)  # the ids are the row numbers
    vectors, ids = (np.asarray(a) for a in bulk.export(store))
    nbytes = vectors.nbytes + ids.nbytes
    notes = []
    smaller = bulk.without(store, drop)
    kept = np.asarray(bulk.export(smaller)[1])
    expect = np.setdiff1d(ids, drop)
    if len(smaller) != n - len(drop) or not np.array_equal(np.sort(kept), expect):
        notes.append("without() kept other rows than all but the listed ones")
    del smaller, kept, expect

    def copy():
        return vectors.copy(), ids.copy()

    touch = lambda: touch_memory(nbytes)  # noqa: E731
    methods = {WITHOUT: Method(lambda: bulk.without(store, drop), setup=touch), COPY: Method(copy, setup=touch)}
    log(f"without() of {len(drop):,} ids on {n:,} x {dim}: {args.without_rounds} rounds", started)
    timings = interleaved(methods, args.without_rounds, args.case_seconds)
    return {"n": n, "dim": dim, "present": True, "dropped": len(drop), "bytes": nbytes, "timings": timings,
            "notes": notes}


def without_table(r: dict) -> list[str]:
    if not r["present"]:
        return ["`without` is not in this build of tessaray_bulk: not measured."]
    t = r["timings"]
    out = ["| method | fastest | median | × copy | peak RSS growth | growth / store bytes | rounds |",
           "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for name, v in t.items():
        g = v["growth"]
        out.append(f"| {name} | {fmt_secs(v['min'])} | {fmt_secs(v['median'])} | {v['min'] / t[COPY]['min']:.3f} | "
                   f"{fmt_bytes(g) if g >= 0 else '?'} | {g / r['bytes']:.3f} | {v['rounds']} |")
    return out


def add_goal(goals: GoalTable, r: dict) -> None:
    label = f"{r['n']:,} x {r['dim']}: without() of 1 % of the rows ≤ {GOAL_WITHOUT_OVER_COPY:g} × a copy of the " \
            "store's bytes"
    if not r["present"]:
        goals.add(label, "this build of tessaray_bulk has no without()", None)
        return
    t = r["timings"]
    x = t[WITHOUT]["min"] / t[COPY]["min"]
    goals.add(label, f"{fmt_secs(t[WITHOUT]['min'])} = {x:.3f} × {fmt_secs(t[COPY]['min'])} "
              f"({fmt_bytes(r['bytes'])})", x / GOAL_WITHOUT_OVER_COPY)

"""The tables and goals of ``search_batch`` against its peers, from the
results of batch_search.py: per store size every method's time, the batch
against the compute limit, Q = 1 to 8 and Q = 256 per kernel level, and
the goals (A), (B), (C) and two threads against one."""

from __future__ import annotations

from batch_probe import Probe
from batch_search import (BATCH1, BATCH2, FAISS1, FAISS2, FEW_QUERIES, GOAL_BATCH_OVER_FAISS,
                          GOAL_BATCH_OVER_UNFUSED, GOAL_DIM, GOAL_FEW_OVER_SEARCH, GOAL_Q, GOAL_TWO_OVER_ONE, LISTS1,
                          LOOP)
from common import GoalTable, fmt_secs, fmt_time, not_slower


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

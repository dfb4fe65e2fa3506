"""Bulk loading, export and files.

``insert_many`` of 1,000,000 x 128 float32 rows against copying the same
bytes into fresh memory, against ``Vectorstore(d, pairs)`` of the same rows
(the pairs built before the timed call, and built in it from the rows and an
id list), and from other dtypes and layouts; ``export`` against a copy;
``save``; ``load`` against ``numpy.load`` + insert_many.  Every timed call
that allocates follows the writing and freeing of as much memory as it takes
(see ``touch_memory``); every timed load follows a read of the whole file
(see ``read_file``).
"""

from __future__ import annotations

import gc
import os
import tempfile

import numpy as np

from common import K, GoalTable, fmt_bytes, fmt_secs, interleaved_rounds, log, timed

# Goals (upper limits of each ratio).
GOAL_INSERT_OVER_COPY = 2.0
GOAL_INSERT_OVER_PAIRS = 1 / 15
GOAL_DTYPE_OVER_F32 = 3.0
GOAL_EXPORT_OVER_COPY = 2.0
GOAL_LOAD_OVER_NUMPY = 2.0


def touch_memory(nbytes: int) -> None:
    """Writes `nbytes` of fresh memory and frees it.  In a virtual machine
    that hands free memory back to its host (a balloon's free-page
    reporting), memory left free for a few seconds costs a host fault per
    page on its next first touch (here about 2 ms per MiB, 20 times a
    copy); memory freed just now does not.  Called before each timed call
    that allocates, it gives every method the same backed memory."""
    scratch = np.ones(max(1, nbytes // 4), dtype=np.float32)
    del scratch


def read_file(path: str) -> None:
    """Reads the whole file, so that its pages are in the page cache and
    recently used: this machine's kernel (DAMON, pageout of pages unused for
    a minute) drops file pages left alone, and a load would then read the
    disk."""
    buf = bytearray(16 << 20)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


def bench_bulk(args, tessaray, bulk, started: float) -> dict:
    n, dim = args.insert_rows, 128
    rng = np.random.default_rng(4242)
    log(f"bulk {n:,} x {dim}: data", started)
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    wide = np.empty((n, 2 * dim), dtype=np.float32)
    wide[:, ::2] = rows
    forms = {
        "float64": rows.astype(np.float64),
        "float16": rows.astype(np.float16),
        "int8": np.clip(np.round(rows * 32), -128, 127).astype(np.int8),
        "'>f4' (big-endian)": rows.astype(">f4"),
        "strided view (every other column of n x 256 float32)": wide[:, ::2],
    }
    pairs_n = min(n, args.pairs_rows)
    pairs = [(rows[i], i) for i in range(pairs_n)]
    Vectorstore, insert_many = tessaray.Vectorstore, bulk.insert_many

    def insert(src, with_ids=False):
        def fn():
            store = Vectorstore(dim)
            if with_ids:
                insert_many(store, src, ids)
            else:
                insert_many(store, src)
            return store
        return fn

    def copy():
        out = np.empty_like(rows)
        np.copyto(out, rows)
        return out

    store_bytes = n * dim * 4 + n * 8

    def touch():
        touch_memory(store_bytes + store_bytes // 8)

    def touch_twice():
        touch_memory(2 * store_bytes + store_bytes // 4)

    methods = {
        "copy into fresh memory (np.empty + np.copyto)": timed(copy, setup=touch),
        "insert_many, float32": timed(insert(rows), setup=touch),
        "insert_many, float32, ids uint64 array": timed(insert(rows, True), setup=touch),
    }
    for name, src in forms.items():
        methods[f"insert_many, {name}"] = timed(insert(src), setup=touch)
    methods[f"Vectorstore({dim}, pairs), {pairs_n:,} rows"] = timed(lambda: Vectorstore(dim, pairs), setup=touch)
    id_list = list(range(pairs_n))
    some_rows = rows[:pairs_n]
    methods[f"Vectorstore({dim}, list(zip(rows, ids))), pairs built in the call, {pairs_n:,} rows"] = timed(
        lambda: Vectorstore(dim, list(zip(some_rows, id_list))), setup=touch)

    # The stores must hold the float32 rows' values (int8 and float16 hold their own).
    check = rng.standard_normal((4, dim), dtype=np.float32)
    ref = tessaray.Vectorstore(dim)
    insert_many(ref, rows)
    notes = []
    expected = [ref.search(q, K) for q in check]
    for name, src in forms.items():  # each form holds its values as float32 (on the first rows)
        s = Vectorstore(dim)
        insert_many(s, src[:10_000])
        if not np.array_equal(np.asarray(bulk.export(s)[0]), np.asarray(src[:10_000], dtype=np.float32)):
            notes.append(f"insert_many from {name} holds other values than numpy's conversion to float32")
        del s

    log(f"bulk {n:,} x {dim}: insert_many rounds", started)
    gc.collect()
    insert_medians, insert_rounds = interleaved_rounds(methods, args.bulk_rounds, args.case_seconds, 0.0)
    del pairs, forms, wide
    gc.collect()

    # export against a copy of the same bytes (vectors and ids)
    def copy_both():
        return rows.copy(), ids.copy()

    v, i = bulk.export(ref)
    if not (np.array_equal(np.asarray(v), rows) and np.array_equal(np.asarray(i), ids)):
        notes.append("export differs from the rows inserted")
    del v, i
    log(f"bulk {n:,} x {dim}: export rounds", started)
    export_medians, export_rounds = interleaved_rounds({
        "copy of the vectors and ids (ndarray.copy)": timed(copy_both, setup=touch),
        "export": timed(lambda: bulk.export(ref), setup=touch),
    }, args.bulk_rounds, args.case_seconds, 0.0)

    # save and load, in a folder beside the build (the same disk as the project)
    folder = args.tmp_dir or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        path = os.path.join(tmp, "store.npz")
        log(f"bulk {n:,} x {dim}: save and load rounds", started)
        save_medians, save_rounds = interleaved_rounds({"save": timed(lambda: bulk.save(ref, path))},
                                                       args.save_rounds, args.case_seconds, 0.0)
        file_bytes = os.path.getsize(path)

        def numpy_load():
            # The file holds the store's blocks and tail; numpy gets the
            # rows back with one transposing copy (the README's line).
            with np.load(path) as z:
                tail = z["tail"]
                rows = z["blocks"].transpose(0, 2, 1).reshape(-1, tail.shape[1])
                return np.concatenate([rows, tail]), z["ids"]

        def numpy_load_insert():
            vectors, vids = numpy_load()
            store = Vectorstore(dim)
            insert_many(store, vectors, vids)
            return store

        loaded = bulk.load(path)
        if [loaded.search(q, K) for q in check] != expected or len(loaded) != n:
            notes.append("the loaded store answers differently from the saved one")
        via_numpy = numpy_load()
        if not (np.array_equal(via_numpy[0], rows) and np.array_equal(via_numpy[1], ids)):
            notes.append("numpy.load reads other arrays than the store's")
        del loaded, via_numpy
        # Both read the file from the page cache: it is read through right
        # before each timed call (and the first round is a warm-up).
        def warm():
            read_file(path)
            touch_twice()

        load_medians, load_rounds = interleaved_rounds({
            "numpy.load + insert_many": timed(numpy_load_insert, setup=warm),
            "tessaray_bulk.load": timed(lambda: bulk.load(path), setup=warm),
            "numpy.load alone": timed(numpy_load, setup=warm),
        }, args.bulk_rounds, args.case_seconds, 1e9)
    del ref, rows, ids
    gc.collect()
    return {"n": n, "dim": dim, "pairs_rows": pairs_n, "insert": insert_medians, "insert_rounds": insert_rounds,
            "export": export_medians, "export_rounds": export_rounds, "save": save_medians,
            "save_rounds": save_rounds, "load": load_medians, "load_rounds": load_rounds,
            "file_bytes": file_bytes, "folder": folder, "notes": notes}


# ---------------------------------------------------------------------------
# Report


def bulk_tables(b: dict) -> list[str]:
    n = b["n"]
    ins = b["insert"]
    f32 = ins["insert_many, float32"]
    copy = ins["copy into fresh memory (np.empty + np.copyto)"]
    lines = [f"| {n:,} x {b['dim']} | median | µs per row | × copy | × insert_many float32 |",
             "| --- | ---: | ---: | ---: | ---: |"]
    for name, t in ins.items():
        scale = n / b["pairs_rows"] if name.startswith("Vectorstore(") else 1.0
        label = name + (f" (scaled to {n:,})" if scale != 1.0 else "")
        t = t * scale
        lines.append(f"| {label} | {fmt_secs(t)} | {t / n * 1e6:.3f} | {t / copy:.2f} | {t / f32:.2f} |")
    ex = b["export"]
    ecopy = ex["copy of the vectors and ids (ndarray.copy)"]
    for name, t in ex.items():
        lines.append(f"| {name} | {fmt_secs(t)} | {t / n * 1e6:.3f} | {t / ecopy:.2f} | |")
    for name, t in b["save"].items():
        lines.append(f"| {name} ({fmt_bytes(b['file_bytes'])} file, into the page cache) | {fmt_secs(t)} | "
                     f"{t / n * 1e6:.3f} | | |")
    ld = b["load"]
    base = ld["numpy.load + insert_many"]
    for name, t in ld.items():
        lines.append(f"| {name} (file in the page cache) | {fmt_secs(t)} | {t / n * 1e6:.3f} | | "
                     f"{t / base:.2f} × numpy.load + insert_many |")
    return lines



def add_goals(goals: GoalTable, bulk: dict) -> None:
    n = bulk["n"]
    ins = bulk["insert"]
    f32 = ins["insert_many, float32"]
    copy = ins["copy into fresh memory (np.empty + np.copyto)"]
    x = f32 / copy
    goals.add(f"insert_many {n:,} x {bulk['dim']} float32 ≤ {GOAL_INSERT_OVER_COPY} × copying the bytes into fresh "
              f"memory", f"{fmt_secs(f32)} = {x:.3f} × {fmt_secs(copy)}", x / GOAL_INSERT_OVER_COPY)
    scaled = "" if bulk["pairs_rows"] == n else ", scaled"
    for pairs_name in (k for k in ins if k.startswith("Vectorstore(")):
        pairs = ins[pairs_name] * n / bulk["pairs_rows"]
        x = f32 / pairs
        how = "pairs built in the call" if "built in the call" in pairs_name else "pairs built before"
        goals.add(f"insert_many ≥ {1 / GOAL_INSERT_OVER_PAIRS:.0f} × faster than Vectorstore({bulk['dim']}, pairs) "
                  f"({bulk['pairs_rows']:,} rows, {how}{scaled})",
                  f"{fmt_secs(f32)} vs {fmt_secs(pairs)}: {pairs / f32:.1f} × faster", x / GOAL_INSERT_OVER_PAIRS)
    for name, t in ins.items():
        if name.startswith("insert_many, ") and name not in ("insert_many, float32",
                                                             "insert_many, float32, ids uint64 array"):
            x = t / f32
            goals.add(f"{name} ≤ {GOAL_DTYPE_OVER_F32} × insert_many float32", f"{fmt_secs(t)} = {x:.3f} × float32",
                      x / GOAL_DTYPE_OVER_F32)
    ex = bulk["export"]
    e, c = ex["export"], ex["copy of the vectors and ids (ndarray.copy)"]
    x = e / c
    goals.add(f"export {n:,} x {bulk['dim']} ≤ {GOAL_EXPORT_OVER_COPY} × a copy",
              f"{fmt_secs(e)} = {x:.3f} × {fmt_secs(c)}", x / GOAL_EXPORT_OVER_COPY)
    ld = bulk["load"]
    lo, base = ld["tessaray_bulk.load"], ld["numpy.load + insert_many"]
    x = lo / base
    goals.add(f"load of a saved {n:,} x {bulk['dim']} store ≤ {GOAL_LOAD_OVER_NUMPY} × (numpy.load + insert_many), "
              f"both warm", f"{fmt_secs(lo)} = {x:.3f} × {fmt_secs(base)}", x / GOAL_LOAD_OVER_NUMPY)

"""tessaray_bulk.without against a plain copy of the store's bytes.

``without(store, ids)`` of 1 % of the rows of a 1,000,000 x 128 store
(every hundredth row's id, listed as a uint64 array) builds a new store of
the other 99 %: the ids are matched against the store's in one pass
(``rows_with_ids``), then the kept rows are read out run by run and packed
into the new store's blocks.  It is timed against copying the same bytes
into fresh memory with numpy (the exported vectors and ids, ``ndarray.copy``),
and against ``export`` + ``insert_many`` of the kept rows (the way to get the
same store without ``without``).  Goal: at most 2 x the copy.

Every timed call that allocates follows the writing and freeing of as much
memory as it takes (``touch_memory``, see docs/design-notes.md); methods run
in interleaved rounds and the medians are compared.

Usage: PYTHONPATH=build/python python3.14 bench/bulk_bench.py [--rows N] [--dim D] [--rounds R]
"""

from __future__ import annotations

import argparse
import gc
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import GoalTable, fmt_time, interleaved_rounds, timed  # noqa: E402

import tessaray  # noqa: E402
import tessaray_bulk as bulk  # noqa: E402

GOAL_WITHOUT_OVER_COPY = 2.0


def touch_memory(nbytes: int) -> None:
    """Writes `nbytes` of fresh memory and frees it (as batch_bulk.py does):
    memory the host took back costs a fault per page at its next first touch."""
    scratch = np.ones(max(1, nbytes // 4), dtype=np.float32)
    del scratch


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--every", type=int, default=100, help="drop one row in EVERY (default 100: 1 %%)")
    args = parser.parse_args()
    n, dim = args.rows, args.dim

    rng = np.random.default_rng(4242)
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    store = tessaray.Vectorstore(dim)
    bulk.insert_many(store, rows, ids)
    listed = ids[args.every // 2 :: args.every].copy()
    kept = np.ones(n, bool)
    kept[args.every // 2 :: args.every] = False

    # The answer first: the rows and ids that remain, bit for bit.
    got = bulk.without(store, listed)
    vectors, got_ids = map(np.asarray, bulk.export(got))
    assert vectors.tobytes() == rows[kept].tobytes() and got_ids.tobytes() == ids[kept].tobytes()
    assert got.search(rows[1], 3) == tessaray_search_of(rows[kept], ids[kept], rows[1], 3)
    del got, vectors, got_ids

    exported_vectors, exported_ids = map(np.asarray, bulk.export(store))
    store_bytes = n * dim * 4 + n * 8

    def touch():
        touch_memory(store_bytes + store_bytes // 8)

    def touch_twice():
        touch_memory(2 * store_bytes + store_bytes // 4)

    def copy():
        return exported_vectors.copy(), exported_ids.copy()

    def export_insert():
        v, i = map(np.asarray, bulk.export(store))
        out = tessaray.Vectorstore(dim)
        bulk.insert_many(out, v[kept], i[kept])
        return out

    gc.collect()
    medians, counted = interleaved_rounds({
        "copy of the store's bytes (exported vectors and ids, ndarray.copy)": timed(copy, setup=touch),
        f"without, {len(listed):,} ids (1 in {args.every})": timed(lambda: bulk.without(store, listed), setup=touch),
        "export + insert_many of the kept rows": timed(export_insert, setup=touch_twice),
    }, args.rounds, warmup_below=0.0)

    base = medians["copy of the store's bytes (exported vectors and ids, ndarray.copy)"]
    print(f"tessaray_bulk.without on {n:,} x {dim}, {len(listed):,} ids listed; medians of {counted} rounds")
    print()
    print("| method | median | × copy |")
    print("| --- | ---: | ---: |")
    for name, t in medians.items():
        print(f"| {name} | {fmt_time(t)} | {t / base:.2f} |")
    print()
    table = GoalTable()
    w = medians[f"without, {len(listed):,} ids (1 in {args.every})"]
    table.add(f"without of 1 in {args.every} rows at most {GOAL_WITHOUT_OVER_COPY:g} x a copy of the bytes",
              f"{w / base:.2f} x", w / base / GOAL_WITHOUT_OVER_COPY)
    print("\n".join(table.lines))


def tessaray_search_of(rows, ids, query, k):
    s = tessaray.Vectorstore(rows.shape[1])
    bulk.insert_many(s, rows, ids)
    return s.search(query, k)


if __name__ == "__main__":
    main()

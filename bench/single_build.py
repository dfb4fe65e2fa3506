"""Building stores: the resident memory of stores filled by ``insert``, and
loading a store from numpy rows and ``numpy.memmap`` rows with
``Vectorstore(d, pairs)``.

Each memory case runs in a fresh interpreter; its figure is the growth of
the resident size over the filling of the stores.
"""

from __future__ import annotations

import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import K, GoalTable, fmt_bytes

GOAL_MEMORY = 1.0  # resident / (1.05 x raw + 16 B per entry + 64 KiB per store)
GOAL_LOAD_US_PER_ROW = 0.45
GOAL_MEMMAP_OVER_NDARRAY = 1.0

MEMORY_CASES = [  # (label, stores, entries per store, dimension)
    ("one entry of 2**20 floats", 1, 1, 2**20),
    ("200 stores of one 2,000-float entry", 200, 1, 2_000),
    ("N = 1, d = 4,096", 1, 1, 4_096),
    ("N = 63, d = 4,096", 1, 63, 4_096),
    ("N = 64, d = 4,096", 1, 64, 4_096),
    ("N = 65, d = 4,096", 1, 65, 4_096),
    ("1,000,000 x 128", 1, 1_000_000, 128),
    ("N = 1,000, d = 0", 1, 1_000, 0),
]

MEMORY_SCRIPT = r"""
import json, os, sys, time
import numpy as np
import tessaray

stores_n, n, d = (int(a) for a in sys.argv[1:4])
page = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

def huge():
    try:
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith("AnonHugePages:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0

# The rows (numpy float32 row views of a pool of at most 1,000 distinct rows)
# exist before the first measurement; so does everything the module sets up
# on its first use.
pool = np.random.default_rng(7).standard_normal((max(1, min(n, 1000)), d), dtype=np.float32)
rows = list(pool)
warm = tessaray.Vectorstore(4)
warm.insert(np.ones(4, dtype=np.float32), 0)
warm.search([1.0, 0.0, 0.0, 0.0], 1)
del warm
before, huge_before = rss(), huge()
t0 = time.perf_counter_ns()
stores = [tessaray.Vectorstore(d) for _ in range(stores_n)]
for store in stores:
    insert = store.insert
    for i in range(n):
        insert(rows[i % len(rows)], i)
elapsed = time.perf_counter_ns() - t0
print(json.dumps(dict(rss_bytes=rss() - before, huge_bytes=huge() - huge_before,
                      insert_us=elapsed / max(1, stores_n * n) / 1e3)))
"""


def measure_memory(stores: int, n: int, dim: int) -> dict:
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(stores), str(n), str(dim)],
                         capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    raw = stores * n * dim * 4
    result.update(stores=stores, entries=n, dim=dim, raw_bytes=raw,
                  bound=1.05 * raw + 16 * n * stores + 64 * 1024 * stores)
    return result


def measure_loading(tessaray, n: int, dim: int, rounds: int) -> dict:
    """`Vectorstore(dim, pairs)` from ndarray rows and from numpy.memmap rows
    of the same values, the two alternating; the pairs lists are built
    before the timed calls."""
    data = np.random.default_rng(11).standard_normal((n, dim), dtype=np.float32)
    query = data[n // 2].tolist()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.f32")
        data.tofile(path)
        mapped = np.memmap(path, dtype=np.float32, mode="r", shape=(n, dim))
        forms = {
            "ndarray rows": [(data[i], i) for i in range(n)],
            "numpy.memmap rows": [(mapped[i], i) for i in range(n)],
        }
        samples: dict[str, list[float]] = {name: [] for name in forms}
        answers = {}
        for r in range(rounds + 1):  # the first round is a warm-up
            for name, pairs in forms.items():
                gc.collect()
                t0 = time.perf_counter()
                store = tessaray.Vectorstore(dim, pairs)
                t = time.perf_counter() - t0
                if r > 0:
                    samples[name].append(t)
                else:
                    answers[name] = store.search(query, K)
                del store
        del forms, mapped
    assert answers["numpy.memmap rows"] == answers["ndarray rows"], "memmap rows load different values"
    return {"n": n, "dim": dim, "rounds": rounds,
            "us_per_row": {name: statistics.median(s) / n * 1e6 for name, s in samples.items()}}


# ---------------------------------------------------------------------------
# Report


def memory_table(memory: list) -> list[str]:
    lines = ["| case | raw floats | resident | of it on huge pages | bound | resident / bound |",
             "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for m in memory:
        lines.append(f"| {m['label']} | {fmt_bytes(m['raw_bytes'])} | {fmt_bytes(m['rss_bytes'])} | "
                     f"{fmt_bytes(max(0, m['huge_bytes']))} | {fmt_bytes(m['bound'])} | "
                     f"{m['rss_bytes'] / m['bound']:.3f} |")
    return lines


def add_memory_goals(goals: GoalTable, memory: list) -> None:
    for m in memory:
        goals.add(f"memory, {m['label']} ≤ 1.05 × raw + 16 B/entry + 64 KiB/store",
                  f"{fmt_bytes(m['rss_bytes'])} of {fmt_bytes(m['bound'])}",
                  m["rss_bytes"] / m["bound"] / GOAL_MEMORY)


def add_loading_goals(goals: GoalTable, loading: dict) -> None:
    us = loading["us_per_row"]
    nd, mm = us["ndarray rows"], us["numpy.memmap rows"]
    goals.add(f"`Vectorstore({loading['dim']}, pairs)` from numpy rows ≤ {GOAL_LOAD_US_PER_ROW} µs per row",
              f"{nd:.3f} µs per row ({loading['n']:,} rows)", nd / GOAL_LOAD_US_PER_ROW)
    goals.add("… from `numpy.memmap` rows no slower than from ndarray rows",
              f"{mm:.3f} µs per row = {mm / nd:.3f} × ndarray rows", mm / nd / GOAL_MEMMAP_OVER_NDARRAY)

"""The extra resident memory of search_batch at Q = 4,096 (arrays=True), in
a fresh interpreter: the growth of the high-water mark (VmHWM, reset by
writing 5 to /proc/self/clear_refs) over the call, and the peak that a
thread sampling VmRSS every millisecond sees.
"""

from __future__ import annotations

import json
import subprocess
import sys

from common import K, GoalTable, fmt_bytes, fmt_secs, log

GOAL_MEMORY_FIXED = 64 * 2**20
GOAL_MEMORY_PER_RESULT = 16

MEMORY_SCRIPT = r"""
import gc, json, sys, threading, time
import numpy as np
import tessaray, tessaray_bulk

n, dim, q, k, threads = (int(a) for a in sys.argv[1:6])

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

rng = np.random.default_rng(99)
store = tessaray.Vectorstore(dim)
tessaray_bulk.insert_many(store, rng.standard_normal((n, dim), dtype=np.float32))
queries = rng.standard_normal((q, dim), dtype=np.float32)
gc.collect()
calls = []
for call in range(2):
    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    hwm_reset = status("VmHWM")
    peak = [before]
    done = threading.Event()
    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], status("VmRSS"))
            time.sleep(0.001)
    sampler = threading.Thread(target=sample)
    sampler.start()
    t0 = time.perf_counter()
    result = tessaray_bulk.search_batch(store, queries, k, threads, arrays=True)
    seconds = time.perf_counter() - t0
    done.set()
    sampler.join()
    hwm = status("VmHWM")
    after = status("VmRSS")
    calls.append(dict(before=before, hwm_reset=hwm_reset, hwm=hwm, sampled=peak[0], after=after, seconds=seconds,
                      result_bytes=sum(memoryview(a).nbytes for a in result)))
    del result
    gc.collect()
print(json.dumps(calls))
"""


def bench_memory(args, started: float) -> dict:
    n, dim, q = args.memory_rows, 128, args.memory_queries
    log(f"memory of search_batch, {n:,} x {dim}, Q = {q:,}, {args.threads} threads (child)", started)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(n), str(dim), str(q), str(K), str(args.threads)],
                         capture_output=True, text=True, check=True)
    calls = json.loads(out.stdout)
    for c in calls:
        c["growth_hwm"] = c["hwm"] - c["before"]
        c["growth_sampled"] = c["sampled"] - c["before"]
        c["reset_ok"] = c["hwm_reset"] <= c["before"] + 2**20
    keep = min(K, n)
    return {"n": n, "dim": dim, "q": q, "threads": args.threads, "calls": calls,
            "bound": GOAL_MEMORY_FIXED + GOAL_MEMORY_PER_RESULT * q * keep}


def memory_table(m: dict) -> list[str]:
    lines = ["| call | before (VmRSS) | VmHWM growth | sampled VmRSS peak growth | after - before | "
             "result buffers | call time | bound | growth / bound |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for i, c in enumerate(m["calls"]):
        growth = max(c["growth_hwm"], c["growth_sampled"])
        lines.append(f"| {'first' if i == 0 else 'second'} | {fmt_bytes(c['before'])} | {fmt_bytes(c['growth_hwm'])}"
                     f"{'' if c['reset_ok'] else ' (reset failed)'} | {fmt_bytes(c['growth_sampled'])} | "
                     f"{fmt_bytes(c['after'] - c['before'])} | {fmt_bytes(c['result_bytes'])} | "
                     f"{fmt_secs(c['seconds'])} | {fmt_bytes(m['bound'])} | {growth / m['bound']:.3f} |")
    return lines


def add_goal(goals: GoalTable, memory: dict) -> None:
    growth = max(max(c["growth_hwm"], c["growth_sampled"]) for c in memory["calls"])
    goals.add(f"search_batch extra memory, {memory['n']:,} x {memory['dim']}, Q = {memory['q']:,}, arrays=True, "
              f"{memory['threads']} threads ≤ 64 MiB + 16 B per result",
              f"{fmt_bytes(growth)} of {fmt_bytes(memory['bound'])}", growth / memory["bound"])

"""The whole call against the kernel, on a store that fits in cache.

``search`` with a list query on 1,000 x 128, timed in batches of calls (no
clock reading per call), against the scoring kernel's time on the same store
shape in the core alone (the ``kernel_bench`` program, outside the module),
the two alternating.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import time

from common import K, GoalTable

GOAL_CALL_OVER_KERNEL_US = 1.0


def kernel_bench_times(program: str, shape: str) -> dict[str, float]:
    """Median seconds of score_blocks (every kernel level) and of the core's
    whole search on `shape`, from kernel_bench's JSON output."""
    out = subprocess.run(
        [program, f"--benchmark_filter=^(score_blocks/[^/]+|search/top10)/{shape}/",
         "--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true",
         "--benchmark_min_time=0.05", "--benchmark_format=json"],
        capture_output=True, text=True, check=True).stdout
    times = {}
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            name = b["name"].split("/")
            times["/".join(name[:2])] = b["real_time"] * scale[b["time_unit"]]
    return times


def measure_call(store, query, args) -> dict:
    """Alternates kernel_bench runs with batches of whole `search` calls."""
    search = store.search
    clock = time.perf_counter_ns
    per_call: list[float] = []
    kernel: dict[str, list[float]] = {}
    error = None
    for _ in range(args.call_alternations):
        if args.kernel_bench and os.path.exists(args.kernel_bench) and error is None:
            try:
                for name, t in kernel_bench_times(args.kernel_bench, "1000x128").items():
                    kernel.setdefault(name, []).append(t)
            except (OSError, subprocess.CalledProcessError, ValueError, KeyError) as e:
                error = f"kernel_bench failed: {e}"
        for _ in range(args.call_batches):
            t0 = clock()
            for _ in range(args.call_batch):
                search(query, K)
            per_call.append((clock() - t0) * 1e-9 / args.call_batch)
    result = {"call": statistics.median(per_call)}
    levels = [name for name in kernel if name.startswith("score_blocks/")]
    if levels:
        # The level the module runs: the one TESSARAY_SIMD forces, else the
        # best the CPU supports (kernel_bench lists the levels best first).
        forced = f"score_blocks/{os.environ.get('TESSARAY_SIMD', '')}"
        level = forced if forced in kernel else levels[0]
        result["kernel_level"] = level.split("/")[1]
        result["kernel"] = statistics.median(kernel[level])
    if "search/top10" in kernel:
        result["core_search"] = statistics.median(kernel["search/top10"])
    if "kernel" not in result:
        result["kernel_missing"] = error or (
            "kernel_bench not built (CMake builds it when Google Benchmark, libbenchmark-dev, is installed)")
    return result


def add_goal(goals: GoalTable, call: dict) -> None:
    goal = f"1,000 x 128 `search` (list query) ≤ kernel + {GOAL_CALL_OVER_KERNEL_US} µs"
    if "kernel" in call:
        c, k = call["call"] * 1e6, call["kernel"] * 1e6
        goals.add(goal, f"call {c:.2f} µs, kernel ({call['kernel_level']}) {k:.2f} µs: {c - k:+.2f} µs",
                  c / (k + GOAL_CALL_OVER_KERNEL_US))
    else:
        goals.add(goal, f"call {call['call'] * 1e6:.2f} µs; {call['kernel_missing']}", None)


def note(call: dict, batch: int) -> str:
    line = f"1,000 x 128 whole `search` call (batches of {batch}): {call['call'] * 1e6:.2f} µs"
    if "kernel" in call:
        line += f"; score_blocks/{call['kernel_level']} {call['kernel'] * 1e6:.2f} µs"
    if "core_search" in call:
        line += f"; the core's whole search (scoring and top-10 selection) {call['core_search'] * 1e6:.2f} µs"
    return line

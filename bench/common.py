"""What every benchmark here shares: timing in interleaved rounds, the
machine's description, number formats and the goals table.

Nothing in it needs numpy or the peers, so any benchmark (and a child
interpreter it starts) can import it alone.
"""

from __future__ import annotations

import json
import os
import random
import statistics
import subprocess
import sys
import time

K = 10  # answers per query in every benchmark
clock = time.perf_counter


# ---------------------------------------------------------------------------
# Numbers


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def fmt_secs(seconds: float) -> str:
    """fmt_time, in seconds from one second on."""
    return f"{seconds:.2f} s" if seconds >= 1 else fmt_time(seconds)


def fmt_size(n: int, dim: int) -> str:
    return f"{n:,} x {dim}"


def fmt_bytes(b: float) -> str:
    if abs(b) >= 2**20:
        return f"{b / 2**20:.1f} MiB"
    return f"{b / 2**10:.1f} KiB"


def parse_sizes(text: str) -> list[tuple[int, int]]:
    """'1000x128,200000x768' as [(1000, 128), (200000, 768)]."""
    return [tuple(int(x) for x in size.lower().split("x")) for size in filter(None, text.split(","))]


def log(msg: str, started: float) -> None:
    """A progress line on standard error, with the time since `started`."""
    print(f"... {msg} ({clock() - started:.0f} s)", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The machine


def read_text(path: str) -> str:
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return "unknown"


def _cpuinfo() -> dict[str, str]:
    """The first processor's fields in /proc/cpuinfo."""
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    return fields


def cpu_name() -> str:
    """The CPU's model name, as lscpu prints it."""
    name = _cpuinfo().get("model name")
    if name:
        return name
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return "unknown"


def cpu_model() -> str:
    """The model name with family, model and stepping (which tell apart
    CPUs that a virtual machine names alike)."""
    fields = _cpuinfo()
    if not fields:
        return "unknown"
    return f"{fields.get('model name', 'unknown')} (family {fields.get('cpu family', '?')}, " \
           f"model {fields.get('model', '?')}, stepping {fields.get('stepping', '?')})"


def cpu_flags() -> set[str]:
    return set(_cpuinfo().get("flags", "").split())


def kernel_levels() -> list[str]:
    """The levels tessaray's kernels run here, best first (as its dispatch picks them)."""
    flags = cpu_flags()
    levels = []
    if "avx512f" in flags:
        levels.append("avx512")
    if "avx2" in flags:
        levels.append("avx2")
    return levels + ["baseline"]


def kernel_level() -> str:
    """The level the module runs: the one TESSARAY_SIMD forces, else the best."""
    levels = kernel_levels()
    forced = os.environ.get("TESSARAY_SIMD")
    return forced if forced in levels else levels[0]


def processors() -> int:
    """The processors this process may run on."""
    return len(os.sched_getaffinity(0))


def blas_kernel() -> str:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "unknown (no threadpoolctl)"
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            return f"{info.get('internal_api')} {info.get('version')} {info.get('architecture')}"
    return "none found"


def optional_faiss():
    """The faiss module, or None (said on stderr) where it is not installed."""
    try:
        import faiss
    except ImportError:
        print("faiss missing: left out", file=sys.stderr)
        return None
    return faiss


def machine_lines(cpu: str, numpy_version: str, faiss=None) -> list[str]:
    """The first lines of every run: the CPU, the huge-page mode and the
    versions that shape the figures."""
    return [
        f"CPU: {cpu}, {processors()} usable processors; "
        f"transparent huge pages: {read_text('/sys/kernel/mm/transparent_hugepage/enabled')}",
        f"Python {sys.version.split()[0]}, numpy {numpy_version}, BLAS: {blas_kernel()}"
        + (f", faiss {faiss.__version__}" if faiss is not None else ""),
    ]


def environment_line(names: tuple[str, ...]) -> str:
    return "  " + " ".join(f"{var}={os.environ.get(var, '(unset)')}" for var in names)


# ---------------------------------------------------------------------------
# Timing in interleaved rounds


def timed(fn, *args, setup=None, warm: bool = False, free_in_window: bool = False):
    """A method for `interleaved_rounds`: a function that runs `setup()`
    outside the timed window, then (after an untimed call when `warm`) one
    timed call of `fn(*args)`, and returns its seconds.

    The answer is freed after the clock stops, so that unmapping a large
    store is not counted as the call's work; with `free_in_window` it is
    freed before, as a statement that discards a small answer does."""
    ns = time.perf_counter_ns

    def run() -> float:
        if setup is not None:
            setup()
        if warm:
            fn(*args)
        if free_in_window:
            t0 = ns()
            fn(*args)
            t1 = ns()
        else:
            t0 = ns()
            result = fn(*args)
            t1 = ns()
            del result
        return (t1 - t0) * 1e-9

    return run


def interleaved_rounds(methods: dict, rounds: int, case_seconds: float = float("inf"),
                       warmup_below: float = float("inf")) -> tuple[dict[str, float], int]:
    """Median seconds per method, and the rounds counted.

    Every round runs every method once (each a function returning its
    seconds), so drift in the machine's speed hits all of them alike.  A
    first round that took less than `warmup_below` seconds is a warm-up and
    not counted (by default the first round always is); no new round starts
    once the case has taken `case_seconds`."""
    samples: dict[str, list[float]] = {name: [] for name in methods}
    started = clock()
    counted = 0
    first = True
    while True:
        t0 = clock()
        times = {name: run() for name, run in methods.items()}
        if first and clock() - t0 < warmup_below:
            first = False
            continue
        first = False
        for name, t in times.items():
            samples[name].append(t)
        counted += 1
        if counted >= rounds or clock() - started >= case_seconds:
            break
    return {name: statistics.median(s) for name, s in samples.items()}, counted


def paired_ratios(first, second, pairs: int, seed: int = 0) -> dict:
    """The median of `pairs` ratios first / second, each pair run back to
    back (each a method for `interleaved_rounds`), in alternating order so
    that neither always runs in the other's wake; with a 95 % bootstrap
    interval of that median.  Where the two run the same code, the interval
    is the measurement's own resolution: `paired_ratios(m, m, ...)` of one
    method against itself shows it."""
    ratios = []
    for i in range(pairs):
        if i % 2 == 0:
            a = first()
            b = second()
        else:
            b = second()
            a = first()
        ratios.append(a / b)
    rng = random.Random(seed)
    medians = sorted(statistics.median(rng.choices(ratios, k=len(ratios))) for _ in range(1000))
    return {"median": statistics.median(ratios), "low": medians[24], "high": medians[974], "pairs": pairs}


def not_slower(paired: dict, limit: float = 1.0) -> str:
    """The verdict on "at most `limit` x" from `paired_ratios`: met when the
    median is within it, or when the interval reaches it (not shown to be
    slower); missed when the whole interval lies above it."""
    if paired["median"] <= limit:
        return "met"
    return "met (not slower: the interval reaches the limit)" if paired["low"] <= limit else "**missed**"


# ---------------------------------------------------------------------------
# Report


def verdict(ratio: float | None) -> str:
    if ratio is None:
        return "not measured"
    return "met" if ratio <= 1.0 else "**missed**"


class GoalTable:
    """The goals table: one line per goal, its measured value, the ratio of
    that value to the goal's limit (at most 1.00 is met) and the verdict."""

    def __init__(self) -> None:
        self.lines = ["| goal | measured | ratio to the goal's limit | verdict |", "| --- | --- | ---: | --- |"]

    def add(self, goal: str, measured: str, ratio: float | None, note: str = "") -> None:
        """`note`, when given, stands in the verdict's place (a goal that
        does not apply on this machine, for instance)."""
        r = f"{ratio:.3f}" if ratio is not None else "-"
        self.lines.append(f"| {goal} | {measured} | {r} | {note or verdict(ratio)} |")


def write_report(header: list[str], text: str, markdown: str | None, json_path: str | None, data: dict,
                 quiet: bool = False) -> None:
    """Prints the tables (the header was printed when the run began) and
    writes them, with the header, and the raw results where asked."""
    if not quiet:
        print(text)
    if markdown:
        with open(markdown, "w") as f:
            f.write("\n".join(header) + "\n" + text + "\n")
    if json_path:
        with open(json_path, "w") as f:
            json.dump(data, f, indent=1)

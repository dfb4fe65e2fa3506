"""Timing and memory for the filter benchmark (filter_bench.py).

Every method runs once per round, in interleaved rounds, and the figure kept
is the fastest round (the machine is shared: a slower round is another
program's time, not the method's), beside the median.  Each timed call also
records the growth of the process's resident high-water mark over it: the
mark (VmHWM) is reset to the current resident size by writing 5 to
/proc/self/clear_refs before the call and read after it, outside the timed
window, after the C heap's free pages are handed back (malloc_trim), so
that memory an earlier call freed and kept does not hide a call's growth.
The process's CPU time over each call is recorded too: on a shared
machine it leaves out the time the call waited for a processor, a check on
calls too long to repeat.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import statistics
import time

from common import clock


def status_bytes(key: str) -> int:
    """A size field of /proc/self/status (VmRSS, VmHWM), in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


try:
    _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
    _malloc_trim = _libc.malloc_trim
except (OSError, AttributeError):
    _malloc_trim = None


def release_free_memory() -> None:
    """Hands the C heap's free pages back to the system (glibc's
    malloc_trim), so that a call that reuses memory an earlier call freed
    still shows the memory it needs as growth."""
    if _malloc_trim is not None:
        _malloc_trim(0)


def reset_peak() -> bool:
    """Resets VmHWM to VmRSS; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class Method:
    """One contender: `fn()` timed once per round after `setup()` (outside
    the window).  The answer is freed after the clock stops, so that
    unmapping a large answer is not counted; `inspect(answer)`, when given,
    sees it first (to count what a call too long to repeat found)."""

    def __init__(self, fn, setup=None, inspect=None, trim=True):
        self.fn = fn
        self.setup = setup
        self.inspect = inspect
        self.trim = trim  # hand the heap's free pages back first: the call faults in all it uses
        self.times: list[float] = []
        self.cpu: list[float] = []
        self.growth: list[int] = []

    def run(self) -> None:
        if self.setup is not None:
            self.setup()
        gc.collect()
        if self.trim:
            release_free_memory()
        before = status_bytes("VmRSS")
        peak_known = reset_peak()
        c0 = time.process_time_ns()
        t0 = time.perf_counter_ns()
        result = self.fn()
        t1 = time.perf_counter_ns()
        c1 = time.process_time_ns()
        hwm = status_bytes("VmHWM")
        if self.inspect is not None:
            self.inspect(result)
        del result
        self.times.append((t1 - t0) * 1e-9)
        self.cpu.append((c1 - c0) * 1e-9)
        self.growth.append(max(0, hwm - before) if peak_known else -1)

    def summary(self) -> dict:
        return {"min": min(self.times), "median": statistics.median(self.times), "rounds": len(self.times),
                "times": self.times, "cpu": min(self.cpu), "growth": max(self.growth)}


def interleaved(methods: dict[str, Method], rounds: int, case_seconds: float = float("inf"),
                again: tuple[str, ...] = ()) -> dict[str, dict]:
    """Runs every method once per round, `rounds` rounds (no new round once
    the case has taken `case_seconds`), then the methods named in `again`
    once more, so that cheap references can bracket expensive calls.
    Returns each method's summary."""
    started = clock()
    for r in range(rounds):
        for m in methods.values():
            m.run()
        if clock() - started >= case_seconds:
            break
    for name in again:
        methods[name].run()
    return {name: m.summary() for name, m in methods.items()}

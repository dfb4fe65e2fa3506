"""Shared fixtures, and the reference-leak check of the debug interpreter.

On an interpreter with `sys.gettotalrefcount` (a debug build) every test runs
several times in a row, as CPython's own `-R` runs do: the first runs warm up
caches, and if the total reference count then grows on every further run the
test fails with the growth per run.  Tests that cannot be repeated, or whose
work happens in another process, are marked `no_leak_check`; tests that use
the `run_python` fixture (another process), and tests that use numpy (the
`np` fixture, or a test module that imports it), are left out on their own:
numpy is built without the debug interpreter's reference
bookkeeping, so its own work moves the total.
"""
import array
import gc
import linecache
import os
import re
import subprocess
import sys
import textwrap

import pytest
from _pytest.runner import runtestprotocol

import tessaray

# Runs of each test: the first LEAK_WARMUPS + 1 only settle the state that a
# test's first calls create; the growth is compared between the later runs.
LEAK_WARMUPS = int(os.environ.get("TESSARAY_LEAK_WARMUPS", "1"))
LEAK_RUNS = LEAK_WARMUPS + 1 + int(os.environ.get("TESSARAY_LEAK_RUNS", "2"))
CHECK_LEAKS = hasattr(sys, "gettotalrefcount")
_totals = pytest.StashKey[array.array]()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_leak_check: run once on the debug interpreter, not repeated by the reference-leak check"
    )
    config.addinivalue_line(
        "markers",
        "threads: starts threads that call into the modules at once; run again under ThreadSanitizer "
        "(scripts/stages/70-tsan.sh runs `-m threads`)",
    )


def _uses_numpy(item):
    if "np" in getattr(item, "fixturenames", ()):
        return True
    numpy, module = sys.modules.get("numpy"), getattr(item, "module", None)
    return numpy is not None and module is not None and any(v is numpy for v in vars(module).values())


def _repeatable(item):
    fixtures = set(getattr(item, "fixturenames", ()))
    return item.get_closest_marker("no_leak_check") is None and "run_python" not in fixtures and not _uses_numpy(item)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if not CHECK_LEAKS or not _repeatable(item):
        return None
    ihook = item.ihook
    ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # Slot 0 counts the runs; the totals are kept in a flat array so that
    # keeping them creates no objects between two measurements.
    totals = item.stash[_totals] = array.array("q", [0] * (LEAK_RUNS + 1))
    reports = None
    for _ in range(LEAK_RUNS):
        reports = None
        item._report_sections.clear()
        reports = runtestprotocol(item, log=False, nextitem=nextitem)
        if not all(r.passed for r in reports):
            break
    else:
        runs = totals[1 : LEAK_RUNS + 1].tolist()
        deltas = [b - a for a, b in zip(runs, runs[1:])][LEAK_WARMUPS:]
        if all(d >= 1 for d in deltas):
            call = next(r for r in reports if r.when == "call")
            call.outcome = "failed"
            call.longrepr = (
                f"reference leak: the total reference count grew by {deltas} over "
                f"{len(deltas)} repeated runs (after {LEAK_WARMUPS + 1} warm-up runs)"
            )
    del item.stash[_totals]
    for report in reports:
        ihook.pytest_runtest_logreport(report=report)
    ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def _clear_caches():
    # What a run leaves behind on purpose, as CPython's own leak runs clear it:
    # the last error printed (a panic's report keeps it, with its frames) and
    # the caches that fill on first use.
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        sys.__dict__.pop(name, None)
    sys._clear_internal_caches()
    re.purge()
    linecache.clearcache()


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_runtest_call(item):
    try:
        return (yield)
    finally:
        totals = item.stash.get(_totals, None)
        if totals is not None:
            _clear_caches()
            gc.collect()
            totals[0] += 1
            totals[totals[0]] = sys.gettotalrefcount()


@pytest.fixture
def store3():
    return tessaray.Vectorstore(3)


@pytest.fixture
def np():
    """numpy, for the tests that need it; skipped where it is missing."""
    return pytest.importorskip("numpy")


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter that imports the same module."""

    def run(code, **kwargs):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
            **kwargs,
        )

    return run

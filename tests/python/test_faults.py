"""Faults, each in a fresh interpreter: a refused thread start, memory
exhaustion, and a PanicException raised inside a conversion."""
import json
import re
import sys
import textwrap

import pytest

from helpers import asan_loaded

# Address-space limits cannot work under AddressSanitizer, which reserves
# terabytes of shadow memory up front.
needs_plain_memory = pytest.mark.skipif(asan_loaded(), reason="address space limits under AddressSanitizer")

PRELUDE = """
import json, os, resource, sys, time
import tessaray
from tessaray import Vectorstore

def panic_class():
    try:
        Vectorstore(1).insert([], 1)
    except ValueError:
        pass
    return next(c for c in BaseException.__subclasses__() if c.__name__ == "PanicException")

def vm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)

def limit(extra):
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + extra, HARD))

def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))

def threads():
    # A thread that was joined can stay listed for a moment while the kernel
    # reaps it; one that still runs stays listed.
    for _ in range(100):
        n = len(os.listdir("/proc/self/task"))
        if n == 1:
            break
        time.sleep(0.01)
    return n
"""


def run_json(run_python, body):
    proc = run_python(PRELUDE + textwrap.dedent(body))
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout.strip().splitlines()[-1]), proc.stderr


@needs_plain_memory
def test_refused_thread_start_is_a_panic_and_store_stays_usable(run_python):
    out, err = run_json(
        run_python,
        """
        cls = panic_class()
        store = Vectorstore(16, [([float(i % 5), 1.0] + [0.5] * 14, i) for i in range(4096)])
        q = [1.0] * 16
        expected = store.search(q, 10)
        seen = []
        for extra_mib in (0, 1, 3, 8, 12, 20):
            limit(extra_mib << 20)
            try:
                got = store.parallel_search(q, 10, 16)
                outcome = ["ok", got == expected]
            except MemoryError:
                outcome = ["MemoryError"]
            except BaseException as e:
                outcome = [type(e).__name__, type(e) is cls, e.args]
            finally:
                unlimit()
            outcome.append(threads())
            seen.append(outcome)
        after = store.parallel_search(q, 10, 16)
        print(json.dumps({"seen": seen, "after_ok": after == expected, "plain_ok": store.search(q, 10) == expected,
                          "len": len(store)}))
        """,
    )
    panics = [s for s in out["seen"] if s[0] == "PanicException"]
    assert panics, out["seen"]
    for name, is_class, args, n_threads in panics:
        assert is_class
        assert len(args) == 1 and args[0].startswith("failed to spawn thread: "), args
        assert n_threads == 1  # every started worker was joined
    for s in out["seen"]:
        assert s[0] in ("PanicException", "MemoryError", "ok"), s
        if s[0] == "ok":
            assert s[1] is True
    assert out["after_ok"] and out["plain_ok"] and out["len"] == 4096
    assert "failed to spawn thread: " in err


@needs_plain_memory
def test_memory_exhaustion_is_memory_error_and_store_unchanged(run_python):
    out, _ = run_json(
        run_python,
        """
        dim = 256
        row = [0.25] * dim
        q = [1.0] * dim
        store = Vectorstore(dim)
        for i in range(100):
            store.insert(row, i)
        results = []
        limit(4 << 20)
        inserted = 100
        error = None
        try:
            for i in range(100, 200_000):
                store.insert(row, i)
                inserted += 1
        except MemoryError as e:
            error = type(e).__name__
        n_after_error = len(store)
        unlimit()
        reference = Vectorstore(dim, [(row, i) for i in range(inserted)])
        same = store.search(q, 10**9) == reference.search(q, 10**9)
        store.insert(row, 999)
        # A huge constructor fails the same way.
        limit(4 << 20)
        try:
            Vectorstore(1 << 20, [([0.5] * (1 << 20), 1)])
            ctor = "ok"
        except MemoryError:
            ctor = "MemoryError"
        unlimit()

        # Sizes that arguments decide: a buffer, a sequence that never ends, a
        # result list.  Each is a MemoryError, never a fault.
        class Endless:
            def __len__(self):
                return sys.maxsize
            def __getitem__(self, i):
                return 0.5
            def __iter__(self):
                return itertools.repeat(0.5)

        def outcome(call):
            try:
                call()
                return ["ok"]
            except BaseException as e:
                return [type(e).__name__, str(e)]

        import itertools
        try:
            import numpy
            huge = numpy.broadcast_to(numpy.zeros(1, numpy.float32), (2**40,))
        except ImportError:
            huge = None
        empty = Vectorstore(0, [([], i) for i in range(1_000_000)])
        before = len(store), store.search(q, 10)
        sized = {}
        limit(16 << 20)
        sized["endless"] = outcome(lambda: store.insert(Endless(), 1))
        if huge is not None:
            sized["buffer"] = outcome(lambda: store.search(huge, 1))
        unlimit()
        # Room for the search itself (32 bytes an entry), not for the list of
        # a million tuples it returns.
        limit(64 << 20)
        sized["results"] = outcome(lambda: empty.search([], 10**9))
        unlimit()
        sized_unchanged = (len(store), store.search(q, 10)) == before and len(empty.search([], 10**9)) == 1_000_000
        print(json.dumps({"error": error, "inserted": inserted, "len": n_after_error, "same": same,
                          "len_after": len(store), "ctor": ctor, "sized": sized, "sized_unchanged": sized_unchanged}))
        """,
    )
    assert out["error"] == "MemoryError", out
    assert 100 <= out["inserted"] < 200_000
    assert out["len"] == out["inserted"] and out["same"]
    assert out["len_after"] == out["inserted"] + 1
    assert out["ctor"] == "MemoryError"
    sized = out["sized"]
    assert sized["endless"][0] == "MemoryError", sized
    assert re.fullmatch(r"memory allocation of \d+ bytes failed", sized["endless"][1]), sized
    assert sized.get("buffer", ["MemoryError", "memory allocation of 4398046511104 bytes failed"]) == [
        "MemoryError",
        "memory allocation of 4398046511104 bytes failed",
    ]
    assert sized["results"][0] == "MemoryError", sized
    assert out["sized_unchanged"]


def test_panic_in_conversion_is_resumed(run_python):
    out, err = run_json(
        run_python,
        """
        cls = panic_class()

        class Raises:
            def __init__(self, exc):
                self.exc = exc
            def __float__(self):
                raise self.exc
            def __index__(self):
                raise self.exc

        store = Vectorstore(3, [([1.0, 2.0, 3.0], 1)])
        def state():
            return len(store), store.search([1.0, 0.0, 0.0], 10)
        before = state()
        cases = {
            "insert": lambda p: store.insert([1.0, Raises(p), 2.0], 1),
            "insert_id": lambda p: store.insert([1.0, 1.0, 2.0], Raises(p)),
            "search": lambda p: store.search([Raises(p), 1.0, 2.0], 1),
            "parallel_search": lambda p: store.parallel_search([1.0, 1.0, 2.0], 1, Raises(p)),
            "cosine": lambda p: tessaray.cosine_similarity([1.0], [Raises(p)]),
            "constructor": lambda p: Vectorstore(2, [([1.0, Raises(p)], 1)]),
            "two_args": lambda p: store.search([Raises(p), 1.0, 2.0], 1),
        }
        results = {}
        for name, call in cases.items():
            raised = cls("msg " + name) if name != "two_args" else cls("a", 1)
            sys.stderr.write("=== CASE " + name + "\\n")
            sys.stderr.flush()
            try:
                call(raised)
                results[name] = ["no error"]
            except Exception as e:
                results[name] = ["caught as Exception", repr(e)]
            except BaseException as e:
                results[name] = [type(e) is cls, e is raised, e.args, state() == before]
        store.insert([1.0, 1.0, 1.0], 2)
        print(json.dumps({"results": results, "len": len(store)}))
        """,
    )
    results = out["results"]
    assert sorted(results) == sorted(["insert", "insert_id", "search", "parallel_search", "cosine", "constructor", "two_args"])
    chunks = err.split("=== CASE ")[1:]
    assert len(chunks) == len(results)
    for chunk in chunks:
        name, _, text = chunk.partition("\n")
        is_class, same_object, args, unchanged = results[name]
        assert is_class and not same_object and unchanged, (name, results[name])
        message = "('a', 1)" if name == "two_args" else "msg " + name
        assert args == [message], (name, args)
        lines = text.splitlines()
        banner = next(i for i, line in enumerate(lines) if "resuming a panic" in line)
        assert lines[banner + 1] == "Python stack trace below:", lines
        assert lines[banner + 2] == "Traceback (most recent call last):", lines
        tail = [line for line in lines[banner + 2 :] if "PanicException" in line]
        assert tail and tail[-1].endswith("PanicException: " + message), lines
        assert sum("resuming a panic" in line for line in lines) == 1
    assert out["len"] == 2  # no borrow was left behind

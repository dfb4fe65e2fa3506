"""Many Python threads calling every method of a few shared stores at once.

Plain calls never overlap inside the module (the GIL is held throughout), so
on stores no hooked call touches every call succeeds.  Hooked arguments give
the GIL away in the middle of a conversion, while the call holds its borrow:
there, and only there, the borrow errors may appear.  Every search result is
checked against a quiet search of the same contents, after the threads end.
"""
import random
import threading
import time

import pytest

from helpers import FloatHook, key
from tessaray import Vectorstore, cosine_similarity

DIM = 8
RUN_SECONDS = 2.5
N_THREADS = 8
MAX_INSERTS = 1500
BORROW_ERRORS = {("Already borrowed",), ("Already mutably borrowed",)}


def random_vector(rng):
    return [rng.choice([0.0, 1.0, -1.0, 0.5, rng.gauss(0, 1)]) for _ in range(DIM)]


def hooked(vector, rng):
    out = list(vector)
    i = rng.randrange(DIM)
    out[i] = FloatHook(out[i], action=lambda: time.sleep(0))  # gives the GIL away first
    return out, list(vector)


class Shared:
    def __init__(self, seed):
        rng = random.Random(seed)
        self.queries = [random_vector(rng) for _ in range(20)]
        rows = [(random_vector(rng), rng.randrange(2**64) if rng.random() < 0.3 else rng.randrange(50)) for _ in range(300)]
        # Fixed contents: A only ever sees plain calls, B also hooked searches.
        self.fixed = {"A": Vectorstore(DIM, rows), "B": Vectorstore(DIM, rows)}
        self.quiet = {(q, k): key(self.fixed["A"].search(self.queries[q], k)) for q in range(20) for k in (0, 1, 5, 300, 10**6)}
        # Growing contents: C has one plain writer, D one hooked writer.
        self.growing = {"C": Vectorstore(DIM), "D": Vectorstore(DIM)}
        self.log = {"C": [], "D": []}
        self.full = {"C": [], "D": []}  # (query, result) of searches over all entries
        self.failures = []
        self.counts = {"calls": 0, "borrow_errors": 0}
        self.lock = threading.Lock()
        self.deadline = time.monotonic() + RUN_SECONDS

    def running(self):
        return time.monotonic() < self.deadline

    def fail(self, what):
        with self.lock:
            self.failures.append(what)

    def count(self, borrow_error=False):
        with self.lock:
            self.counts["calls"] += 1
            self.counts["borrow_errors"] += borrow_error


def writer(shared, name, seed):
    rng = random.Random(seed)
    store = shared.growing[name]
    while shared.running() and len(shared.log[name]) < MAX_INSERTS:
        vector, ident = random_vector(rng), rng.randrange(2**64)
        try:
            if name == "C":
                store.insert(vector, ident)
                plain = vector
            else:
                arg, plain = hooked(vector, rng)
                store.insert(arg, ident)
        except RuntimeError as e:
            shared.count(True)
            if name == "C" or e.args not in BORROW_ERRORS:
                shared.fail(("insert", name, repr(e)))
            continue
        except BaseException as e:  # noqa: BLE001 - every other error is a failure
            shared.fail(("insert", name, repr(e)))
            continue
        shared.log[name].append((plain, ident))
        shared.count()
        time.sleep(0.0005)


def reader(shared, seed, use_hooks):
    rng = random.Random(seed)
    last_len = {"C": 0, "D": 0}
    while shared.running():
        op = rng.choice(["search", "parallel_search", "len", "repr", "vector_size", "cosine", "new"])
        name = rng.choice(["A", "B", "C", "D"])
        store = shared.fixed[name] if name in shared.fixed else shared.growing[name]
        q = rng.randrange(20)
        query = shared.queries[q]
        hooks_here = use_hooks and name in ("B", "D") and rng.random() < 0.5
        arg = hooked(query, rng)[0] if hooks_here else query
        n_threads = rng.choice([None, 1, 2, 3, 7])
        try:
            if op in ("search", "parallel_search"):
                k = rng.choice([0, 1, 5, 300, 10**6]) if name in ("A", "B") else 10**9
                if op == "search":
                    got = store.search(arg, k)
                else:
                    got = store.parallel_search(arg, k, n_threads)
                if name in ("A", "B"):
                    if key(got) != shared.quiet[(q, k)]:
                        shared.fail((op, name, q, k))
                elif len(shared.full[name]) < 400:
                    with shared.lock:
                        shared.full[name].append((q, got))
            elif op == "len":
                n = len(store)
                if name in last_len:
                    if n < last_len[name]:
                        shared.fail(("len went down", name, n, last_len[name]))
                    last_len[name] = n
                elif n != 300:
                    shared.fail(("len", name, n))
            elif op == "repr":
                text = repr(store)
                if not text.startswith(f"Vectorstore(vector_size={DIM}, len="):
                    shared.fail(("repr", text))
            elif op == "vector_size":
                if store.vector_size != DIM:
                    shared.fail(("vector_size", name))
            elif op == "cosine":
                other = shared.queries[rng.randrange(20)]
                if cosine_similarity(arg, other) != cosine_similarity(query, other):
                    shared.fail(("cosine", q))
            else:
                rows = [(shared.queries[i], i) for i in range(rng.randrange(20))]
                fresh = Vectorstore(DIM, rows)
                if len(fresh) != len(rows) or key(fresh.parallel_search(query, 3, n_threads)) != key(fresh.search(query, 3)):
                    shared.fail(("new", len(rows)))
        except RuntimeError as e:
            # Only stores that hooked calls touch can be found borrowed.
            shared.count(True)
            if name not in ("B", "D") or e.args not in BORROW_ERRORS:
                shared.fail((op, name, repr(e)))
            continue
        except BaseException as e:  # noqa: BLE001
            shared.fail((op, name, repr(e)))
            continue
        shared.count()


@pytest.mark.no_leak_check  # a timed run of many threads: no two runs do the same work
def test_threads_share_stores():
    shared = Shared(seed=7)
    threads = [
        threading.Thread(target=writer, args=(shared, "C", 1)),
        threading.Thread(target=writer, args=(shared, "D", 2)),
    ]
    threads += [threading.Thread(target=reader, args=(shared, 10 + i, i % 2 == 0)) for i in range(N_THREADS - 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=RUN_SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock?"
    assert shared.failures == []
    assert shared.counts["calls"] > 100, shared.counts

    # The fixed stores are as they were.
    for store in shared.fixed.values():
        assert len(store) == 300
        assert key(store.search(shared.queries[0], 5)) == shared.quiet[(0, 5)]
    # The growing stores hold exactly the logged inserts, in order, and every
    # search over them saw a prefix of the log.
    for name, store in shared.growing.items():
        log = shared.log[name]
        assert len(store) == len(log)
        quiet = Vectorstore(DIM, log)
        for q in range(3):
            assert key(store.search(shared.queries[q], 10**9)) == key(quiet.search(shared.queries[q], 10**9))
        for q, got in shared.full[name]:
            prefix = Vectorstore(DIM, log[: len(got)])
            assert key(got) == key(prefix.search(shared.queries[q], 10**9)), (name, q, len(got))
    print("calls:", shared.counts, "inserts:", {n: len(v) for n, v in shared.log.items()})

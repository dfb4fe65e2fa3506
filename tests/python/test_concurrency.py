"""Many Python threads calling every method of a few shared stores at once.

Plain calls never overlap inside the module (the GIL is held throughout), so
on stores no hooked call touches every call succeeds.  Hooked arguments give
the GIL away in the middle of a conversion, while the call holds its borrow:
there, and only there, the borrow errors may appear.  Every search result is
checked against a quiet search of the same contents, after the threads end.

The batch module's calls run with the GIL released while they hold a borrow,
so there two threads really are inside the module at the same time: batches
on one store beside searches, inserts and bulk inserts on it and on stores of
each thread's own.  Each answer must be what the store held at some moment,
and each store must end as a replay of the calls that succeeded.
"""
import array
import random
import threading
import time

import pytest

import tessaray_bulk as bulk
from helpers import FloatHook, key
from tessaray import Vectorstore, cosine_similarity

# Every test here starts threads: all of them run again under ThreadSanitizer.
pytestmark = pytest.mark.threads

DIM = 8
RUN_SECONDS = 2.5
N_THREADS = 8
MAX_INSERTS = 1500
# The calls on the shared store that a crowd's run must see succeed.
CROWD_CALLS = ("search_batch", "insert", "insert_many", "search")
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
        """Until the deadline, and past it (a minute at most) until a hundred
        calls were made: a busy machine may run the threads slowly."""
        now = time.monotonic()
        return now < self.deadline or (self.counts["calls"] <= 100 and now < self.deadline + 60)

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


# ---------------------------------------------------------------------------
# Batches with the GIL released, beside every other call.

WIDE = 64  # enough work per row that a batch spends a while without the GIL
EVERYTHING = 10**9  # top_k: a whole answer, whose length tells the store's size
ALLOWED = {"shared": "Already mutably borrowed", "exclusive": "Already borrowed"}
PALETTE = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 0.25]  # ties between rows are common


def wide_rows(rng, n):
    return [[rng.choice(PALETTE) if rng.random() < 0.7 else rng.gauss(0, 1) for _ in range(WIDE)] for _ in range(n)]


def answer_key(answer, arrays):
    """A batch's answer, comparable bit for bit, and the store size it saw."""
    if arrays:
        scores, ids = answer
        return (bytes(scores), bytes(ids)), scores.shape[1]
    sizes = {len(a) for a in answer}
    assert len(sizes) == 1, sizes  # one batch sees one store
    return [key(a) for a in answer], sizes.pop()


def replay(calls):
    """A fresh store given the same calls, one after the other."""
    store = Vectorstore(WIDE)
    for kind, rows, ids in calls:
        if kind == "insert":
            store.insert(rows[0], ids[0])
        else:
            bulk.insert_many(store, rows, ids)
    return store


def contents(store):
    vectors, ids = bulk.export(store)
    return bytes(vectors), bytes(ids)


class Crowd:
    """One shared store, its writers' logs and what its readers saw."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.queries = wide_rows(rng, 48)
        first = wide_rows(rng, 1500)
        self.store = Vectorstore(WIDE)
        bulk.insert_many(self.store, first)
        self.log = [("insert_many", first, list(range(len(first))))]  # successful writes, in no set order
        self.seen = []  # (how, query numbers, answer key, store size)
        self.failures = []
        self.counts = {}
        self.lock = threading.Lock()
        self.deadline = time.monotonic() + RUN_SECONDS

    def running(self):
        """Until the deadline, and past it (a minute at most) until every kind of
        call has got through once: on a busy machine the batches can hold the
        store for the whole of the first seconds."""
        now = time.monotonic()
        if now < self.deadline:
            return True
        with self.lock:
            missing = any(self.counts.get(what, 0) == 0 for what in CROWD_CALLS)
        return missing and now < self.deadline + 60

    def note(self, what):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1

    def call(self, what, borrow, f):
        """f() on the shared store: its result, or None after a borrow error of
        the right text; every other outcome is a failure."""
        try:
            result = f()
        except RuntimeError as e:
            if e.args != (ALLOWED[borrow],):
                self.failures.append((what, repr(e)))
            self.note(what + " refused")
            return None
        except BaseException as e:  # noqa: BLE001 - every other error is a failure
            self.failures.append((what, repr(e)))
            return None
        self.note(what)
        return result


def own_store_step(crowd, rng, own, own_log):
    """A call on a store no other thread knows: it always succeeds."""
    op = rng.choice(["insert", "insert_many", "search_batch"])
    try:
        if op == "insert":
            row, ident = wide_rows(rng, 1)[0], rng.randrange(2**64)
            own.insert(row, ident)
            own_log.append(("insert", [row], [ident]))
        elif op == "insert_many":
            rows = wide_rows(rng, rng.randrange(1, 20))
            ids = [rng.randrange(2**64) for _ in rows]
            bulk.insert_many(own, rows, ids)
            own_log.append(("insert_many", rows, ids))
        else:
            qs = rng.sample(crowd.queries, rng.randrange(1, 6))
            k = rng.choice([1, 5, EVERYTHING])
            got = bulk.search_batch(own, qs, k, rng.choice([1, 2, None]))
            if [key(a) for a in got] != [key(own.search(q, k)) for q in qs]:
                crowd.failures.append(("own batch", len(own), k))
    except BaseException as e:  # noqa: BLE001
        crowd.failures.append(("own " + op, repr(e)))


def crowd_thread(crowd, role, seed, results):
    rng = random.Random(seed)
    own, own_log = Vectorstore(WIDE), []
    store, next_id, last_len = crowd.store, (seed << 40), 0
    while crowd.running():
        if rng.random() < 0.2:
            own_store_step(crowd, rng, own, own_log)
            continue
        if role == "batch":
            picked = rng.sample(range(len(crowd.queries)), rng.choice([3, 16, 48]))
            arrays = len(picked) > 3
            got = crowd.call("search_batch", "shared", lambda: bulk.search_batch(
                store, [crowd.queries[i] for i in picked], EVERYTHING, rng.choice([1, 2, None]), arrays))
            if got is not None and len(crowd.seen) < 60:
                crowd.seen.append(("batch", picked, arrays, *answer_key(got, arrays)))
            time.sleep(rng.random() * 0.004)  # gaps between the batches, where writers get in
        elif role == "writer":
            rows = wide_rows(rng, rng.choice([1, 1, rng.randrange(2, 30)]))
            ids = list(range(next_id, next_id + len(rows)))
            kind = "insert" if len(rows) == 1 and rng.random() < 0.7 else "insert_many"
            if kind == "insert":
                done = crowd.call(kind, "exclusive", lambda: store.insert(rows[0], ids[0]) or True)
            else:
                done = crowd.call(kind, "exclusive", lambda: bulk.insert_many(store, rows, ids) or True)
            next_id += len(rows)
            if done:
                crowd.log.append((kind, rows, ids))
        else:
            op = rng.choice(["search", "parallel_search", "len", "repr"])
            q = rng.randrange(len(crowd.queries))
            if op == "search":
                got = crowd.call(op, "shared", lambda: store.search(crowd.queries[q], EVERYTHING))
            elif op == "parallel_search":
                got = crowd.call(op, "shared", lambda: store.parallel_search(
                    crowd.queries[q], EVERYTHING, rng.choice([1, 3, None])))
            elif op == "len":
                got = crowd.call(op, "shared", lambda: len(store))
            else:
                got = crowd.call(op, "shared", lambda: repr(store))
            if got is None:
                continue
            if op in ("len", "repr"):
                n = got if op == "len" else int(got.split("len=")[1].rstrip(")"))
                if n < last_len or got != (n if op == "len" else f"Vectorstore(vector_size={WIDE}, len={n})"):
                    crowd.failures.append((op, got, last_len))
                last_len = n
            elif len(crowd.seen) < 120:
                crowd.seen.append((op, [q], False, [key(got)], len(got)))
    results.append((own, own_log))


@pytest.mark.no_leak_check  # a timed run of many threads: no two runs do the same work
def test_batches_without_the_gil_beside_every_call():
    crowd = Crowd(seed=11)
    results = []
    roles = ["batch", "batch", "writer", "writer", "reader", "reader"]
    threads = [threading.Thread(target=crowd_thread, args=(crowd, role, i + 1, results)) for i, role in enumerate(roles)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=RUN_SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock?"
    assert crowd.failures == []

    # The writes took the store's exclusive borrow one at a time, so their
    # order is the order of their ids in the store; each write's rows sit
    # together, and together the writes fill the store.
    _, stored_ids = bulk.export(crowd.store)
    where = {ident: i for i, ident in enumerate(stored_ids.tolist())}
    calls = sorted(crowd.log, key=lambda call: where[call[2][0]])
    assert [where[i] for _, _, ids in calls for i in ids] == list(range(len(stored_ids)))
    assert contents(crowd.store) == contents(replay(calls))
    # Every answer is the one of the store after some number of those writes.
    rows = [row for _, call_rows, _ in calls for row in call_rows]
    ids = [i for _, _, call_ids in calls for i in call_ids]
    prefix, have = Vectorstore(WIDE), 0
    for how, picked, arrays, got, size in sorted(crowd.seen, key=lambda s: s[-1]):
        if size > have:
            bulk.insert_many(prefix, rows[have:size], ids[have:size])
            have = size
        qs = [crowd.queries[i] for i in picked]
        if how == "batch":
            want = answer_key(bulk.search_batch(prefix, qs, EVERYTHING, 1, arrays), arrays)[0]
        else:
            want = [key(prefix.search(qs[0], EVERYTHING))]
        assert got == want, (how, size)
    # Each thread's own store is the replay of its own calls.
    assert len(results) == len(roles)
    for own, own_log in results:
        assert contents(own) == contents(replay(own_log))
    print("calls:", crowd.counts)
    assert all(crowd.counts.get(what, 0) > 0 for what in CROWD_CALLS), crowd.counts


@pytest.mark.no_leak_check  # threads and a timed wait
def test_store_dropped_while_its_batch_runs():
    """The batch keeps its store alive when every Python reference to it goes."""
    rng = random.Random(5)
    flat = array.array("f", [rng.gauss(0, 1) for _ in range(20_000 * 32)])
    rows = memoryview(flat).cast("B").cast("f", (20_000, 32))

    def filled():
        store = Vectorstore(32)
        bulk.insert_many(store, rows)
        return store

    queries = [flat[i * 32 : (i + 1) * 32].tolist() for i in range(0, 20_000, 100)]
    want = bulk.search_batch(filled(), queries, 3)
    box, got = [filled()], []
    started, dropped = threading.Event(), threading.Event()

    def progress(done, total):
        started.set()
        dropped.wait(30)

    thread = threading.Thread(target=lambda: got.append(bulk.search_batch(box.pop(), queries, 3, 2, progress=progress)))
    thread.start()
    assert started.wait(60)
    assert box == []  # the batch's argument is the last reference
    for _ in range(5):  # memory a freed store would be given back to gets reused
        filled()
    dropped.set()
    thread.join(60)
    assert got == [want]

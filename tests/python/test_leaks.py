"""No reference and no memory is lost over many calls, good and bad."""
import gc
import sys

import pytest

from tessaray import Vectorstore, cosine_similarity


class FloatRaises:
    def __float__(self):
        raise ValueError("no")


class IndexRaises:
    def __index__(self):
        raise TypeError("no index")


def mixed_calls(rounds):
    store = Vectorstore(3)
    q = [1.0, 2.0, 3.0]
    bad_calls = [
        lambda: store.insert([1.0], 1),
        lambda: store.insert("abc", 1),
        lambda: store.insert([FloatRaises(), 1.0, 1.0], 1),
        lambda: store.insert(q, IndexRaises()),
        lambda: store.insert(q, -1),
        lambda: store.insert(),
        lambda: store.search(q, k=1),
        lambda: store.search([1.0], 1),
        lambda: store.parallel_search(q, 1, -1),
        lambda: cosine_similarity([1.0], [1.0, 2.0]),
        lambda: cosine_similarity(None, [1.0]),
        lambda: Vectorstore(3, [(q, 1), ([1.0], 2)]),
        lambda: Vectorstore(3, [[q, 1]]),
        lambda: Vectorstore(-1),
    ]
    for i in range(rounds):
        store.insert((1.0, 2.0, float(i % 7)), i)
        store.search(q, 3)
        store.parallel_search(q, 2, i % 3)
        cosine_similarity(q, q)
        len(store), repr(store), store.vector_size
        Vectorstore(3, [(q, i)])
        try:
            bad_calls[i % len(bad_calls)]()
        except (TypeError, ValueError, OverflowError):
            pass


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_total_refcount_flat():
    mixed_calls(200)
    gc.collect()
    before = sys.gettotalrefcount()
    mixed_calls(100_000 // 7)  # seven calls a round, plus one bad one
    gc.collect()
    after = sys.gettotalrefcount()
    assert after - before < 50, after - before


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_resident_memory_flat_after_dropping_stores():
    def fill_and_drop():
        store = Vectorstore(64)
        row = [0.5] * 64
        for i in range(20_000):
            store.insert(row, i)
        try:
            store.insert([1.0], 0)
        except ValueError:
            pass
        del store

    fill_and_drop()
    gc.collect()
    baseline = resident_bytes()
    for _ in range(5):
        fill_and_drop()
    gc.collect()
    # 20,000 x 64 floats are 5 MB a store: losing any of them shows.
    assert resident_bytes() - baseline < 2 * 2**20

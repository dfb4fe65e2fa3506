"""search and parallel_search."""
import os
import random
import struct

import pytest

from tessaray import Vectorstore

THREADS = list(range(10)) + [17, None]


def example_store():
    store = Vectorstore(2)
    store.insert([1.0, 0.0], 10)
    store.insert([0.0, 1.0], 20)
    store.insert([1.0, 1.0], 30)
    return store


@pytest.mark.parametrize("n_threads", list(range(5)) + [None])
def test_example(n_threads):
    expected = [(1.0, 10), (0.7071067690849304, 30), (0.0, 20)]
    store = example_store()
    assert store.search([1.0, 0.0], 3) == expected
    assert store.parallel_search([1.0, 0.0], 3, n_threads) == expected
    assert store.parallel_search([1.0, 0.0], 3) == expected


@pytest.mark.parametrize("method", ["search", "parallel_search"])
def test_edge_cases(method):
    store = example_store()
    find = getattr(store, method)
    assert find([1.0, 0.0], 0) == []
    assert len(find([1.0, 0.0], 2**64 - 1)) == 3
    assert getattr(Vectorstore(3), method)([1.0, 2.0, 3.0], 5) == []
    with pytest.raises(ValueError) as info:
        getattr(Vectorstore(3), method)([1.0, 2.0], 5)
    assert info.value.args == ("query has length 2 but vectorstore expects 3",)
    with pytest.raises(OverflowError):
        find([1.0, 0.0], -1)


@pytest.mark.parametrize("n_threads", [None, 1, 3])
def test_ties_keep_insertion_order(n_threads):
    store = Vectorstore(2)
    for ident in (5, 3, 9):
        store.insert([1.0, 2.0], ident)
    assert [i for _, i in store.search([2.0, 1.0], 2)] == [5, 3]
    assert [i for _, i in store.parallel_search([2.0, 1.0], 2, n_threads)] == [5, 3]


def test_zero_query_and_signed_zeros():
    store = Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([-1.0, 0.0], 3)])
    assert store.search([0.0, 0.0], 2) == [(0.0, 1), (0.0, 2)]
    # Entry 1 scores -0.0, entry 2 scores +0.0: a tie in insertion order.
    result = store.search([0.0, 1.0], 3)
    assert [i for _, i in result] == [2, 1, 3]
    # Against [0, -1], entry 1's products are both -0.0 (score -0.0) and
    # entry 2's sum ends at +0.0: a tie, kept in insertion order.
    store2 = Vectorstore(2, [([-1.0, 0.0], 1), ([1.0, 0.0], 2)])
    scores = store2.search([0.0, -1.0], 2)
    assert [i for _, i in scores] == [1, 2]
    assert struct.pack("d", scores[0][0]) == struct.pack("d", -0.0)


def test_n_threads_errors_come_before_length_check():
    store = example_store()
    with pytest.raises(OverflowError):
        store.parallel_search([1.0], 1, -1)
    with pytest.raises(TypeError, match=r"^argument 'n_threads': "):
        store.parallel_search([1.0, 0.0], 1, 2.0)


def reference_search(np, matrix, ids, query, k):
    """float32 cosine, one rounded operation at a time, vectorised across rows."""
    q = np.asarray(query, dtype=np.float32)
    n, d = matrix.shape
    dot = np.full(n, -0.0, dtype=np.float32)
    ssr = np.full(n, -0.0, dtype=np.float32)
    ssq = np.float32(-0.0)
    for i in range(d):
        dot = dot + matrix[:, i] * q[i]
        ssr = ssr + matrix[:, i] * matrix[:, i]
        ssq = np.float32(ssq + q[i] * q[i])
    with np.errstate(all="ignore"):
        score = dot / (np.sqrt(ssr) * np.sqrt(ssq))
    score = np.where((ssr == 0) | (ssq == 0), np.float32(0.0), score).astype(np.float32)
    # Stable sort by descending score.
    order = sorted(range(n), key=lambda j: -float(score[j]))
    return [(float(score[j]), int(ids[j])) for j in order[:k]]


def random_store(np, rng, n, d):
    palette = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0]
    rows = []
    for _ in range(n):
        kind = rng.random()
        if kind < 0.3:
            rows.append([rng.choice(palette) for _ in range(d)])  # many exact ties
        elif kind < 0.35:
            rows.append([0.0] * d)
        else:
            rows.append([rng.gauss(0, 1) for _ in range(d)])
    matrix = np.array(rows, dtype=np.float32).reshape(n, d)
    ids = [rng.randrange(2**64) if rng.random() < 0.5 else rng.randrange(5) for _ in range(n)]
    return matrix, ids


@pytest.mark.parametrize("seed", range(12))
def test_differential(np, seed):
    rng = random.Random(seed)
    d = rng.choice([1, 2, 3, 8, 17, 33])
    n = rng.choice([0, 1, 5, 15, 16, 17, 31, 32, 33, 47, 100, 257])
    matrix, ids = random_store(np, rng, n, d)
    store = Vectorstore(d, [(row.tolist(), ident) for row, ident in zip(matrix, ids)])
    queries = [[rng.gauss(0, 1) for _ in range(d)], [0.0] * d, [rng.choice([1.0, -0.0, 0.5]) for _ in range(d)]]
    if n:
        queries.append(matrix[rng.randrange(n)].tolist())
    for query in queries:
        for k in sorted({0, 1, 3, n // 2, n, n + 5}):
            expected = reference_search(np, matrix, ids, query, k)
            got = store.search(query, k)
            assert [struct.pack("d", s) for s, _ in got] == [struct.pack("d", s) for s, _ in expected]
            assert [i for _, i in got] == [i for _, i in expected]
            for n_threads in THREADS:
                assert store.parallel_search(query, k, n_threads) == got, (n_threads, k)


def test_nan_scores_are_total_order():
    nan = float("nan")
    rows = [([1.0, 0.0], 1), ([nan, 0.0], 2), ([0.5, 0.5], 3), ([1e20, 1.0], 4), ([0.0, 1.0], 5)] * 9
    store = Vectorstore(2, rows)
    expected = store.search([1.0, 0.0], len(rows))
    # Non-NaN scores first, in order; then the NaN ones in insertion order.
    finite = [s for s, _ in expected if s == s]
    assert finite == sorted(finite, reverse=True)
    assert all(s != s for s, _ in expected[len(finite):])
    for n_threads in THREADS:
        got = store.parallel_search([1.0, 0.0], len(rows), n_threads)
        assert [i for _, i in got] == [i for _, i in expected]


def test_default_worker_count_is_used():
    # Any default gives the same answer; a restricted affinity still works.
    store = Vectorstore(4, [([float(i), 1.0, 2.0, 3.0], i) for i in range(100)])
    expected = store.search([1.0, 1.0, 1.0, 1.0], 7)
    if hasattr(os, "sched_setaffinity"):
        mask = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(mask)})
        try:
            assert store.parallel_search([1.0, 1.0, 1.0, 1.0], 7) == expected
        finally:
            os.sched_setaffinity(0, mask)
    assert store.parallel_search([1.0, 1.0, 1.0, 1.0], 7) == expected

"""tessaray_dask without a cluster: the merge of per-store answers against
one store holding every row, and the fast local load."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessaray_bulk as bulk
from helpers import key
from tessaray import Vectorstore
from tessaray_dask import load_store, merge
from tessaray_dask.merge import merge_arrays, merge_ranges

# Few distinct values, so that duplicates, zero vectors, +-0.0, equal scores
# and NaN scores (from NaN or infinite elements) come up often.
_element = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, float("nan"), float("inf")])
_vector = st.lists(_element, min_size=3, max_size=3)


@settings(max_examples=300, deadline=None, derandomize=True, database=None)
@given(
    rows=st.lists(_vector, max_size=24),
    query=_vector,
    cuts=st.lists(st.integers(0, 24), max_size=5),
    extra_k=st.integers(0, 3),
    k_kind=st.sampled_from(["0", "1", "n", "beyond", "small"]),
)
def test_merge_equals_one_store(rows, query, cuts, extra_k, k_kind):
    n = len(rows)
    top_k = {"0": 0, "1": 1, "n": n, "beyond": n + 1 + extra_k, "small": extra_k}[k_kind]
    # Contiguous shards in row order; repeated or out-of-range cuts give empty ones.
    bounds = [0] + sorted(min(c, n) for c in cuts) + [n]
    entries = [(r, 100 + i % 7) for i, r in enumerate(rows)]  # repeated ids too
    answers = [Vectorstore(3, entries[a:b]).search(query, top_k) for a, b in zip(bounds, bounds[1:])]
    assert key(merge(answers, top_k)) == key(Vectorstore(3, entries).search(query, top_k))


@settings(max_examples=300, deadline=None, derandomize=True, database=None)
@given(
    rows=st.lists(st.lists(st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, float("nan"), float("inf")]), min_size=2,
                           max_size=2), max_size=20),
    queries=st.lists(_vector.map(lambda v: v[:2]), min_size=1, max_size=4),
    cuts=st.lists(st.integers(0, 20), max_size=4),
    top_k=st.integers(0, 22),
    threshold=st.sampled_from([float("-inf"), -1.0, 0.0, 0.5, 1.0]),
)
def test_merged_arrays_equal_one_store(rows, queries, cuts, top_k, threshold):
    """Shards' batch arrays, and their threshold answers, merge into one
    store's answers, ties and NaN scores (rows holding NaN or infinities)
    included."""
    n = len(rows)
    bounds = [0] + sorted(min(c, n) for c in cuts) + [n]
    ids = [(i * 5) % 7 for i in range(n)]
    shards, ranges = [], []
    for a, b in zip(bounds, bounds[1:]):
        shard = Vectorstore(2)
        bulk.insert_many(shard, np.array(rows[a:b], dtype=np.float32).reshape(-1, 2), ids[a:b])
        shards.append(bulk.search_batch(shard, queries, top_k, arrays=True))
        ranges.append(bulk.range_search(shard, queries, threshold))
    whole = Vectorstore(2, list(zip(rows, ids)))
    merged = merge_arrays(shards, top_k)
    assert [key(a) for a in merged] == [key(whole.search(q, top_k)) for q in queries]
    assert {(type(p), type(p[0]), type(p[1])) for a in merged for p in a} <= {(tuple, float, int)}
    exact = [(a.dtype, a.tobytes()) for a in map(np.asarray, bulk.range_search(whole, queries, threshold))]
    assert [(a.dtype, a.tobytes()) for a in merge_ranges(ranges)] == exact


@pytest.mark.parametrize("call", [lambda: merge([[(1.0, 1)]], -1), lambda: merge_arrays([([[1.0]], [[1]])], -1)])
def test_merges_reject_negative_top_k(call):
    with pytest.raises(ValueError, match="top_k must be non-negative"):
        call()


@pytest.mark.parametrize(
    "results, message",
    [
        ([], "at least one shard"),
        ([([0, 1], [1.0], [4]), ([0, 0, 0], [], [])], "the same queries"),  # 1 query, then 2
        ([([0, 2], [1.0], [4])], "the same queries"),  # lims past the scores
    ],
)
def test_merge_ranges_rejects(results, message):
    with pytest.raises(ValueError, match=message):
        merge_ranges(results)


def _rows(n=300, d=5):
    rng = np.random.default_rng(3)
    rows = rng.integers(-2, 3, size=(n, d)).astype(np.float32)
    rows[::17] = rows[1]  # ties across every chunk boundary
    return rows


def _same_store(a, b):
    (va, ia), (vb, ib) = bulk.export(a), bulk.export(b)
    assert (a.vector_size, bytes(va), bytes(ia)) == (b.vector_size, bytes(vb), bytes(ib))


@pytest.mark.parametrize(
    "kind", ["array", "npy", "float64", "float64 npy", "int16 npy", "float16 npy", "big-endian npy", "list"]
)
def test_load_store_equals_inserts(tmp_path, kind):
    """Rows and ids land as insert() of each row puts them, bit for bit,
    across chunk boundaries; ids default to the row numbers."""
    noise = np.random.default_rng(5).standard_normal((300, 5)) * 1e-3  # float64 values between float32s
    rows = {
        "float64": _rows() + noise,
        "float64 npy": _rows() + noise,
        "int16 npy": _rows().astype(np.int16) * 9000,
        "float16 npy": (_rows() + noise).astype(np.float16),
        "big-endian npy": (_rows() + noise).astype(">f4"),
    }.get(kind, _rows())
    ids = np.arange(len(rows), dtype=np.uint64)[::-1] * 3
    ids[::2] += np.uint64(2**63)  # numpy reads a list of these as floats
    np.save(tmp_path / "r.npy", rows)
    np.save(tmp_path / "i.npy", ids)
    source = {"list": rows.tolist(), "array": rows, "float64": rows}.get(kind, tmp_path / "r.npy")
    given_ids = {"list": ids.tolist()}.get(kind, tmp_path / "i.npy" if kind.endswith("npy") else ids)
    loaded = load_store(source, given_ids, chunk_rows=64)
    expected = Vectorstore(5)
    for r, i in zip(rows, ids.tolist()):
        expected.insert(r, i)
    _same_store(loaded, expected)
    by_row = Vectorstore(5, [(r, i) for i, r in enumerate(rows)])
    _same_store(load_store(source, chunk_rows=64), by_row)


@pytest.mark.parametrize(
    "source, ids, error, message",
    [
        (np.zeros(3, np.float32), None, ValueError, "two-dimensional"),
        (np.zeros((2, 3), complex), None, TypeError, "real numbers"),
        (np.zeros((2, 3), np.float32), [1], ValueError, r"shape \(2,\)"),
        (np.zeros((2, 3), np.float32), [0.5, 1.0], TypeError, "integers"),
        (np.zeros((2, 3), np.float32), [2**64, 1], OverflowError, "0..2"),
    ],
)
def test_load_store_rejects(source, ids, error, message):
    with pytest.raises(error, match=message):
        load_store(source, ids)


def test_merge_and_load_need_no_dask(run_python):
    done = run_python(
        """
        import sys
        sys.modules["dask"] = sys.modules["distributed"] = None  # importing them fails
        import numpy as np, tessaray_dask
        from tessaray_dask import load_store, merge
        s = load_store(np.eye(3, dtype=np.float32))
        print(merge([s.search([1, 0, 0], 2), s.search([1, 0, 0], 2)], 3))
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[(1.0, 0), (1.0, 0), (0.0, 1)]"

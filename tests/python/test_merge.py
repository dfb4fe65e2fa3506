"""tessaray_dask without a cluster: the merge of per-store answers against
one store holding every row, and the fast local load."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaray import Vectorstore
from tessaray_dask import load_store, merge

# Few distinct values, so that duplicates, zero vectors, +-0.0 and equal
# scores come up often.
_element = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0])
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
    assert merge(answers, top_k) == Vectorstore(3, entries).search(query, top_k)


def test_merge_rejects_negative_top_k():
    with pytest.raises(ValueError, match="top_k must be non-negative"):
        merge([[(1.0, 1)]], -1)


def _rows(n=300, d=5):
    rng = np.random.default_rng(3)
    rows = rng.integers(-2, 3, size=(n, d)).astype(np.float32)
    rows[::17] = rows[1]  # ties across every chunk boundary
    return rows


@pytest.mark.parametrize("kind", ["array", "npy", "float64", "list"])
def test_load_store_equals_inserts(tmp_path, kind):
    rows = _rows()
    ids = np.arange(len(rows), dtype=np.uint64)[::-1] * 3
    source = {"array": rows, "float64": rows.astype(np.float64), "list": rows.tolist(), "npy": tmp_path / "r.npy"}[kind]
    np.save(tmp_path / "r.npy", rows)
    np.save(tmp_path / "i.npy", ids)
    loaded = load_store(source, tmp_path / "i.npy" if kind == "npy" else ids, chunk_rows=64)
    expected = Vectorstore(rows.shape[1], [(r.tolist(), int(i)) for r, i in zip(rows, ids)])
    for q in rows[:4]:
        assert loaded.search(q, len(rows)) == expected.search(q, len(rows))
    by_row = Vectorstore(5, [(r, i) for i, r in enumerate(rows)])
    assert load_store(rows, chunk_rows=64).search(rows[0], 30) == by_row.search(rows[0], 30)


@pytest.mark.parametrize(
    "source, ids, error, message",
    [
        (np.zeros(3, np.float32), None, ValueError, "two-dimensional"),
        (np.zeros((2, 3), complex), None, TypeError, "real numbers"),
        (np.zeros((2, 3), np.float32), [1], ValueError, r"shape \(2,\)"),
        (np.zeros((2, 3), np.float32), [0.5, 1.0], TypeError, "integers"),
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

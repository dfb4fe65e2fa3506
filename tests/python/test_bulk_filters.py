"""tessaray_bulk's filtered, threshold and self searches, each against its definition through search()."""
import math

import numpy as np
import pytest

import tessaray
import tessaray_bulk as bulk
from helpers import bits, key
from test_bulk import arrays, inserted, rows_with_specials

SHAPES = [(3, 64), (5, 130), (17, 1100)]


def store_with_repeats(d, n, seed=0):
    """A store of rows that tie, repeat and are zero, with ids that repeat."""
    rows = rows_with_specials(n, d, seed=seed)
    ids = np.arange(n, dtype=np.uint64) % 37
    return rows, ids, inserted(rows, ids)


def allow_forms(n, ids, seed=0):
    """(allow, mask) pairs: the argument, and the rows it allows."""
    rng = np.random.default_rng(seed)
    few = rng.random(n) < 0.1
    stretch = np.zeros(n, bool)
    stretch[n // 3 : n // 3 + 70] = True  # across block edges
    stretches = np.zeros(n, bool)
    stretches[128:640] = stretches[768:896] = True  # blocks 2-9 and 12-13
    listed = [3, 5, 5, 36, 999]  # a repeat, and an id that is not stored
    raw = rng.choice(np.uint8([0, 0, 1, 2, 128, 255]), n)  # bools held as other nonzero bytes
    return [
        (raw.view(bool), raw != 0),
        (few, few),
        (np.zeros(n, bool), np.zeros(n, bool)),
        (np.ones(n, bool), np.ones(n, bool)),
        (stretch, stretch),
        (stretches, stretches),
        (np.ones(2 * n, bool)[::2], np.ones(n, bool)),  # strided
        (listed, np.isin(ids, listed)),
        (np.array(listed, dtype=np.int16), np.isin(ids, listed)),
    ]


def searched(store, queries, k):
    return [key(store.search(q, k)) for q in queries]


@pytest.mark.parametrize("d, n", SHAPES)
def test_filtered_batch_is_search_of_the_allowed_rows(d, n):
    rows, ids, store = store_with_repeats(d, n, seed=d)
    # More queries than the batch needs to rule rows out in codes.
    queries = rows_with_specials(40, d, seed=d + 1)
    for allow, mask in allow_forms(n, ids, seed=d):
        kept = inserted(rows[mask], ids[mask])
        for k in (1, 10, n + 5):
            want = searched(kept, queries, k)
            for threads in (1, 3):
                assert [key(a) for a in bulk.search_batch(store, queries, k, threads, allow=allow)] == want
            scores, got_ids = arrays(bulk.search_batch(store, queries, k, arrays=True, allow=allow))
            assert scores.shape == (len(queries), min(k, int(mask.sum())))
            assert [key(zip(s.tolist(), i.tolist())) for s, i in zip(scores, got_ids)] == want


@pytest.mark.parametrize("d, n", SHAPES)
def test_per_query_lists_are_search_of_each_querys_rows(d, n):
    rows, ids, store = store_with_repeats(d, n, seed=d)
    queries = rows_with_specials(9, d, seed=d + 2)
    rng = np.random.default_rng(d)
    lists = [rng.integers(0, 40, size=rng.integers(0, 12)).tolist() for _ in queries]  # repeats, unknown ids
    lists[0] = []
    lims = np.cumsum([0] + [len(x) for x in lists], dtype=np.uint64)
    allow = (lims, np.array(sum(lists, []), dtype=np.uint64))
    kept = [inserted(rows[m], ids[m]) for m in (np.isin(ids, x) for x in lists)]
    for k in (1, 3, 50):
        want = [key(s.search(q, k)) for s, q in zip(kept, queries)]
        for threads in (1, 3):
            assert [key(a) for a in bulk.search_batch(store, queries, k, threads, allow=allow)] == want
        scores, got = arrays(bulk.search_batch(store, queries, k, arrays=True, allow=allow))
        assert scores.shape[1] == max(len(w) for w in want)
        for s, i, w in zip(scores, got, want):  # rows past a query's answers are NaN, 2**64 - 1
            assert key(zip(s[: len(w)].tolist(), i[: len(w)].tolist())) == w
            assert np.isnan(s[len(w) :]).all() and (i[len(w) :] == 2**64 - 1).all()
    for threshold in (-math.inf, 0.5):
        lims_out, scores, got = map(np.asarray, bulk.range_search(store, queries, threshold, 2, allow=allow))
        answers = [zip(scores[a:b].tolist(), got[a:b].tolist()) for a, b in zip(lims_out[:-1], lims_out[1:])]
        assert [key(a) for a in answers] == [key(range_of(s, q, threshold)) for s, q in zip(kept, queries)]


def range_of(store, query, threshold):
    """Every row at or above the threshold, in the order of search()."""
    return [pair for pair in store.search(query, len(store)) if pair[0] >= threshold]


@pytest.mark.parametrize("threshold", [-math.inf, -1.0, 0.0, 0.5, 0.99999994, 1.0, 1.0000001, math.inf])
def test_range_search_is_search_down_to_the_threshold(threshold):
    d, n = 5, 1100
    rows, ids, store = store_with_repeats(d, n)
    # Enough queries for the batch's coded tile; some equal to stored rows,
    # whose scores meet the thresholds near 1 exactly.
    queries = rows_with_specials(40, d, seed=2)
    queries[1::7] = rows[3 : 3 + len(queries[1::7])]
    for allow, mask in allow_forms(n, ids)[::3]:
        kept = inserted(rows[mask], ids[mask])
        want = [key(range_of(kept, q, threshold)) for q in queries]
        for threads in (1, 3):
            lims, scores, got = map(np.asarray, bulk.range_search(store, queries, threshold, threads, allow=allow))
            assert lims.dtype == got.dtype == np.uint64 and scores.dtype == np.float32
            assert lims.shape == (len(queries) + 1,)
            answers = [zip(scores[a:b].tolist(), got[a:b].tolist()) for a, b in zip(lims[:-1], lims[1:])]
            assert [key(a) for a in answers] == want


def test_range_search_max_results():
    rows, _, store = store_with_repeats(4, 300)
    total = sum(len(range_of(store, q, 0.5)) for q in rows[:20])
    assert len(np.asarray(bulk.range_search(store, rows[:20], 0.5, max_results=total)[1])) == total
    for threads in (1, 2):
        with pytest.raises(ValueError, match=f"more than max_results={total - 1} rows"):
            bulk.range_search(store, rows[:20], 0.5, threads, max_results=total - 1)


def pairs(first, second, scores):
    return [(i, j, bits(s)) for i, j, s in zip(first, second, scores)]


@pytest.mark.parametrize("n", [0, 1, 2, 65, 130])
def test_self_join_is_every_pair_above_the_threshold(n):
    rows, _, store = store_with_repeats(3, n)
    for threshold in (-math.inf, 0.5, 1.0):
        every = [(i, j, tessaray.cosine_similarity(rows[i], rows[j])) for i in range(n) for j in range(i + 1, n)]
        want = [(i, j, bits(s)) for i, j, s in every if s >= threshold]
        for threads in (1, 3):
            first, second, scores = map(np.asarray, bulk.self_join(store, threshold, threads))
            assert first.dtype == second.dtype == np.uint64 and scores.dtype == np.float32
            assert pairs(first.tolist(), second.tolist(), scores.tolist()) == want


def test_self_join_across_rounds_is_range_search_of_later_rows():
    """Past the rows one round of queries takes, each pair still comes once, in order."""
    # A round takes 4,096 rows of 4 elements; the first round's last row is not a zero row.
    rows = rows_with_specials(4301, 4, seed=5)[1:]
    store = inserted(rows)  # ids are the positions
    lims, scores, ids = (np.asarray(a).tolist() for a in bulk.range_search(store, rows, 0.9, 2))
    want = []
    for i in range(len(rows)):
        want += sorted((i, j, bits(s)) for j, s in zip(ids[lims[i] : lims[i + 1]], scores[lims[i] : lims[i + 1]]) if j > i)
    first, second, got = (np.asarray(a).tolist() for a in bulk.self_join(store, 0.9, 2))
    assert len(want) > 4300 and pairs(first, second, got) == want


@pytest.mark.parametrize("n", [1, 2, 65, 130])
def test_knn_graph_is_search_without_the_row(n):
    rows, ids, store = store_with_repeats(3, n)
    for k in (1, 5, n + 1):
        scores, got = arrays(bulk.knn_graph(store, k, 2))
        assert scores.shape == got.shape == (n, min(k, n - 1))
        for r in range(n):
            others = np.arange(n) != r
            want = key(inserted(rows[others], ids[others]).search(rows[r], k))
            assert key(zip(scores[r].tolist(), got[r].tolist())) == want


def clusters_and_loners(n, d, seed=0):
    """Tight clusters, whose rows' k-th best scores are near 1, and every 701st row in no
    cluster, whose best scores are far lower: a panel holds one bar far below the others."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((20, d)).astype(np.float32)
    rows = centres[rng.integers(0, 20, n)] + np.float32(0.01) * rng.standard_normal((n, d), dtype=np.float32)
    rows[::701] = rng.standard_normal((len(rows[::701]), d), dtype=np.float32)
    return rows


def zeros_after_a_round(n, d, seed=0):
    """Rows past the first round all zero: whole panels of zero rows, whose selections are
    still empty while the queries' bars are already above 0."""
    rows = np.zeros((n, d), np.float32)
    rows[:300] = np.random.default_rng(seed).standard_normal((300, d), dtype=np.float32)
    return rows


@pytest.mark.parametrize("d, make", [(4, rows_with_specials), (33, rows_with_specials), (16, clusters_and_loners),
                                     (128, zeros_after_a_round)])
def test_knn_graph_across_rounds_is_the_batch_without_the_row(d, make):
    """Past one round of queries (4,096 rows) later rows take their scores from earlier rounds' queries."""
    rows = make(8500, d, seed=d)
    store = inserted(rows)  # ids are the positions
    for k in (1, 7):
        scores, ids = arrays(bulk.search_batch(store, rows, k + 1, 2, arrays=True))
        want = [[(bits(x), j) for x, j in zip(scores[r].tolist(), ids[r].tolist()) if j != r][:k] for r in range(len(rows))]
        for threads in (1, 2):
            got_scores, got = arrays(bulk.knn_graph(store, k, threads))
            assert [key(zip(got_scores[r].tolist(), got[r].tolist())) for r in range(len(rows))] == want


@pytest.mark.parametrize(
    "call",
    [
        lambda s, q, progress: bulk.range_search(s, q, 0.5, 2, progress=progress),
        lambda s, q, progress: bulk.range_search(s, q, 0.5, 2, allow=([0] * len(q) + [2], [1, 2]), progress=progress),
        lambda s, q, progress: bulk.search_batch(s, q, 3, 2, allow=np.arange(len(s)) % 2 == 0, progress=progress),
        lambda s, q, progress: bulk.search_batch(s, q, 3, 2, allow=([0] * len(q) + [2], [1, 2]), progress=progress),
        lambda s, q, progress: bulk.self_join(s, 0.5, 2, progress=progress),
        lambda s, q, progress: bulk.knn_graph(s, 3, 2, progress=progress),
    ],
)
def test_progress_reaches_the_total_and_its_error_stops_the_work(call):
    rows, _, store = store_with_repeats(8, 4300)  # more than one round of a self-join
    seen = []
    call(store, rows[:50], lambda done, total: seen.append((done, total)))
    assert seen and seen[-1][0] == seen[-1][1] > 0 and all(a <= b for (a, _), (b, _) in zip(seen, seen[1:]))
    with pytest.raises(KeyError):
        call(store, rows[:50], lambda done, total: {}["stop"])
    assert len(store) == 4300

"""merge.py: the exact merge of per-shard top-k answers into one answer."""
from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, SupportsIndex

if TYPE_CHECKING:
    import numpy as np

__all__ = ["merge", "merge_arrays", "merge_ranges"]


def _store_order(pair: tuple[float, int]) -> tuple[bool, float]:
    """Sort key of the store's order, ascending: numbers best first, NaN
    after every number; +0.0 and -0.0 give equal keys."""
    score = pair[0]
    nan = score != score
    return (nan, 0.0 if nan else -score)


def merge(results: Iterable[Sequence[tuple[float, int]]], top_k: SupportsIndex) -> list[tuple[float, int]]:
    """Merges per-shard ``(score, id)`` lists into the first ``top_k`` overall.

    ``results`` must come in the order in which the shards hold their rows
    (shard 0 first), each list being that shard's answer to the same query
    with at least ``top_k`` entries or all of its rows.  The answer is then
    exactly what one store holding every row in that order returns, ties and
    NaN scores included: a stable sort over the concatenation, numbers by
    descending score and NaN after them, keeps equal scores (and NaN ones) in
    shard order, and within a shard the store already put them in insertion
    order.
    """
    k = operator.index(top_k)
    if k < 0:
        raise ValueError(f"top_k must be non-negative, not {k}")
    merged = [pair for shard in results for pair in shard]
    merged.sort(key=_store_order)
    del merged[k:]
    return merged


def merge_arrays(results: Iterable[tuple[Any, Any]], top_k: SupportsIndex) -> list[list[tuple[float, int]]]:
    """Merges per-shard answers to a batch of queries into one answer per query.

    Each shard's answer is a ``(scores, ids)`` pair of two-dimensional arrays
    with one row per query, as ``tessaray_bulk.search_batch(...,
    arrays=True)`` returns them; the shards come in the order in which they
    hold their rows, each with at least ``top_k`` columns or all of its rows.
    The answer to each query is exactly what one store holding every row in
    that order returns, as ``(score, id)`` tuples: a stable sort by
    descending score over the shards' columns side by side keeps equal scores
    in row order, and puts NaN scores last in row order, where the store puts
    them too.  Needs numpy.
    """
    import numpy as np

    k = operator.index(top_k)
    if k < 0:
        raise ValueError(f"top_k must be non-negative, not {k}")
    pairs = [(np.asarray(s, dtype=np.float32), np.asarray(i, dtype=np.uint64)) for s, i in results]
    if not pairs:
        raise ValueError("there must be at least one shard's answers to merge")
    scores = np.concatenate([s for s, _ in pairs], axis=1)
    ids = np.concatenate([i for _, i in pairs], axis=1)
    # Negation swaps +0.0 and -0.0, which compare equal all the same; numpy
    # sorts NaN after every number whatever its sign.
    order = np.argsort(-scores, axis=1, kind="stable")[:, :k]
    best_scores = np.take_along_axis(scores, order, axis=1).tolist()
    best_ids = np.take_along_axis(ids, order, axis=1).tolist()
    return [list(zip(s, i)) for s, i in zip(best_scores, best_ids)]


def merge_ranges(results: Iterable[tuple[Any, Any, Any]]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Merges per-shard answers to a threshold search into the answer of one store.

    Each shard's answer is ``(lims, scores, ids)`` as
    ``tessaray_bulk.range_search`` returns it: query ``q``'s rows are
    ``scores[lims[q]:lims[q + 1]]`` and the same slice of ``ids``.  The
    shards come in the order in which they hold their rows and answer the
    same queries.  The answer has the same form (numpy arrays: lims uint64,
    scores float32, ids uint64) and is exactly what one store holding every
    row in that order returns: each query's rows from every shard, sorted
    stably by descending score, keep equal scores in shard order and, within
    a shard, in the order the store gave them.  Needs numpy.
    """
    import numpy as np

    parts = [
        (np.asarray(lims, dtype=np.uint64), np.asarray(s, dtype=np.float32), np.asarray(i, dtype=np.uint64))
        for lims, s, i in results
    ]
    if not parts:
        raise ValueError("there must be at least one shard's answers to merge")
    n = len(parts[0][0]) - 1
    for lims, s, i in parts:
        if len(lims) != n + 1 or n < 0 or lims[0] != 0 or lims[-1] != len(s) or len(s) != len(i):
            raise ValueError("each shard's answer must be lims, scores and ids for the same queries")
    counts = [np.diff(lims).astype(np.intp) for lims, _, _ in parts]
    merged_lims = np.zeros(n + 1, dtype=np.uint64)
    np.cumsum(sum(counts), out=merged_lims[1:], dtype=np.uint64)
    scores = np.concatenate([s for _, s, _ in parts])
    ids = np.concatenate([i for _, _, i in parts])
    # Each entry's query; lexsort is stable, its last key the first.  Negation
    # swaps +0.0 and -0.0, which compare equal all the same.
    query = np.concatenate([np.repeat(np.arange(n), c) for c in counts])
    order = np.lexsort((-scores, query))
    return merged_lims, scores[order], ids[order]


def concatenate_ranges(
    blocks: Sequence[tuple[np.ndarray, np.ndarray, np.ndarray]],
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The threshold answers of consecutive blocks of queries, each as
    ``merge_ranges`` gives it, as one answer.  Needs numpy."""
    import numpy as np

    if len(blocks) == 1:
        return blocks[0]
    counts = np.concatenate([np.diff(lims) for lims, _, _ in blocks])
    lims = np.zeros(len(counts) + 1, dtype=np.uint64)
    np.cumsum(counts, out=lims[1:])
    return lims, np.concatenate([s for _, s, _ in blocks]), np.concatenate([i for _, _, i in blocks])

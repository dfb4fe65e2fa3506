"""merge.py: the exact merge of per-shard top-k answers into one answer."""
from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence
from typing import Any, SupportsIndex

__all__ = ["merge", "merge_arrays"]



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

"""merge.py: the exact merge of per-shard top-k lists into one answer."""
from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence
from typing import SupportsIndex

__all__ = ["merge"]

_score = operator.itemgetter(0)


def merge(results: Iterable[Sequence[tuple[float, int]]], top_k: SupportsIndex) -> list[tuple[float, int]]:
    """Merges per-shard ``(score, id)`` lists into the first ``top_k`` overall.

    ``results`` must come in the order in which the shards hold their rows
    (shard 0 first), each list being that shard's answer to the same query
    with at least ``top_k`` entries or all of its rows.  The answer is then
    exactly what one store holding every row in that order returns, ties
    included, whenever no score is NaN: a stable sort by descending score over
    the concatenation keeps equal scores in shard order, and within a shard
    the store already put them in insertion order.
    """
    k = operator.index(top_k)
    if k < 0:
        raise ValueError(f"top_k must be non-negative, not {k}")
    merged = [pair for shard in results for pair in shard]
    # reverse=True keeps equal keys in their original order (the sort stays
    # stable), and +0.0 and -0.0 compare equal, as in the store's own order.
    merged.sort(key=_score, reverse=True)
    del merged[k:]
    return merged

# Type information for the tessaray_bulk extension module.
import os
from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

from tessaray import Vectorstore

_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer
# A two-dimensional buffer (numpy array, memoryview, ...), or vectors one by one.
_Rows: TypeAlias = Buffer | Iterable[_Vector]
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Ids: TypeAlias = Buffer | Iterable[SupportsIndex]
# A boolean row mask, ids, or (lims, ids): ids per query.
_Allow: TypeAlias = Buffer | Iterable[SupportsIndex] | tuple[_Ids, _Ids]

__all__ = ["search_batch", "range_search", "self_join", "knn_graph", "insert_many", "export", "memory_size", "without", "save", "load", "open"]

@overload
def search_batch(
    store: Vectorstore,
    queries: _Rows,
    top_k: SupportsIndex,
    n_threads: SupportsIndex | None = None,
    arrays: Literal[False] = False,
    progress: Callable[[int, int], object] | None = None,
    *,
    allow: _Allow | None = None,
) -> list[list[tuple[float, int]]]: ...
@overload
def search_batch(
    store: Vectorstore,
    queries: _Rows,
    top_k: SupportsIndex,
    n_threads: SupportsIndex | None = None,
    *,
    arrays: Literal[True],
    progress: Callable[[int, int], object] | None = None,
    allow: _Allow | None = None,
) -> tuple[memoryview, memoryview]: ...
@overload
def search_batch(
    store: Vectorstore,
    queries: _Rows,
    top_k: SupportsIndex,
    n_threads: SupportsIndex | None,
    arrays: Literal[True],
    progress: Callable[[int, int], object] | None = None,
    *,
    allow: _Allow | None = None,
) -> tuple[memoryview, memoryview]: ...
def range_search(
    store: Vectorstore,
    queries: _Rows,
    threshold: SupportsFloat | SupportsIndex,
    n_threads: SupportsIndex | None = None,
    *,
    allow: _Allow | None = None,
    max_results: SupportsIndex | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> tuple[memoryview, memoryview, memoryview]: ...
def self_join(
    store: Vectorstore,
    threshold: SupportsFloat | SupportsIndex,
    n_threads: SupportsIndex | None = None,
    *,
    progress: Callable[[int, int], object] | None = None,
) -> tuple[memoryview, memoryview, memoryview]: ...
def knn_graph(
    store: Vectorstore,
    k: SupportsIndex,
    n_threads: SupportsIndex | None = None,
    *,
    progress: Callable[[int, int], object] | None = None,
) -> tuple[memoryview, memoryview]: ...
def insert_many(store: Vectorstore, rows: _Rows, ids: Buffer | Iterable[SupportsIndex] | None = None) -> None: ...
def export(store: Vectorstore) -> tuple[memoryview, memoryview]: ...
def memory_size(store: Vectorstore) -> int: ...
def without(store: Vectorstore, ids: Buffer | Iterable[SupportsIndex]) -> Vectorstore: ...
def save(store: Vectorstore, path: _Path) -> None: ...
def load(path: _Path) -> Vectorstore: ...
def open(path: _Path, *, verify: bool = True) -> Vectorstore: ...

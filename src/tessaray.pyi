# Type information for the tessaray extension module.
from collections.abc import Buffer, Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

# A vector: any sequence of numbers (each converted as float() or, for
# integers, operator.index() then float), or an object with the buffer
# protocol (numpy arrays, array.array, memoryview, bytes, bytearray).
_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer

__all__ = ["Vectorstore", "cosine_similarity"]

@final
class Vectorstore:
    """A store of float32 vectors of one size, each tagged with a 64-bit id."""

    def __new__(
        cls, vector_size: SupportsIndex, vectors: Sequence[tuple[_Vector, SupportsIndex]] | None = None
    ) -> Vectorstore: ...
    def insert(self, vector: _Vector, id: SupportsIndex) -> None: ...
    def search(self, vector: _Vector, top_k: SupportsIndex) -> list[tuple[float, int]]: ...
    def parallel_search(
        self, vector: _Vector, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> list[tuple[float, int]]: ...
    @property
    def vector_size(self) -> int: ...
    def __len__(self) -> int: ...

def cosine_similarity(vec1: _Vector, vec2: _Vector) -> float: ...

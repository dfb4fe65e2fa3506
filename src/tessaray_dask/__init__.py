"""tessaray_dask: exact top-k search over several tessaray stores.

``merge`` combines per-store answers into the answer of one store holding
every row; ``load_store`` fills one local store quickly from an array or a
``.npy`` file (numpy needed); ``ShardedStore`` spreads the rows over the
workers of a dask.distributed cluster, and ``save_shards`` saves rows as the
store files that its shards can open in place (dask needed).  Only ``merge`` is
imported eagerly, so this package imports without numpy or dask.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from tessaray_dask.merge import merge

if TYPE_CHECKING:
    from tessaray_dask.load import load_store
    from tessaray_dask.shard import SourceChangedError
    from tessaray_dask.sharded import ShardedStore
    from tessaray_dask.store_files import save_shards

__all__ = ["merge", "load_store", "ShardedStore", "SourceChangedError", "save_shards"]

_LAZY = {
    "load_store": "tessaray_dask.load",
    "ShardedStore": "tessaray_dask.sharded",
    "SourceChangedError": "tessaray_dask.shard",
    "save_shards": "tessaray_dask.store_files",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

"""No memory is lost over many calls, good and bad.  (References: every test
is repeated on the debug interpreter and its total count compared; see
conftest.py.)"""
import gc

import pytest

from tessaray import Vectorstore


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.no_leak_check  # a measurement of its own, seconds long
def test_resident_memory_flat_after_dropping_stores():
    def fill_and_drop():
        store = Vectorstore(64)
        row = [0.5] * 64
        for i in range(20_000):
            store.insert(row, i)
        try:
            store.insert([1.0], 0)
        except ValueError:
            pass
        del store

    fill_and_drop()
    gc.collect()
    baseline = resident_bytes()
    for _ in range(5):
        fill_and_drop()
    gc.collect()
    # 20,000 x 64 floats are 5 MB a store: losing any of them shows.
    assert resident_bytes() - baseline < 2 * 2**20


def test_bulk_calls_lose_nothing():
    """The batch module's calls, good and bad, on buffers and lists."""
    import array
    import pathlib
    import tempfile

    import tessaray_bulk as bulk

    store = Vectorstore(3)
    rows = memoryview(array.array("f", range(30))).cast("B").cast("f", (10, 3))
    bulk.insert_many(store, rows, range(10))
    bulk.insert_many(store, [[1, 2, 3]] * 5)
    for bad, ids in (([[1, 2]], None), ([[1, 2, "x"]], None), ([[1, 2, 3]], [1, 2]), ([[1, 2, 3]], [-1])):
        with pytest.raises((ValueError, TypeError, OverflowError)):
            bulk.insert_many(store, bad, ids)
    assert len(bulk.search_batch(store, rows, 4)) == 10
    scores, ids = bulk.search_batch(store, [[1, 0, 0]], 2, 2, True, lambda done, total: None)
    assert ids.shape == (1, 2)
    with pytest.raises(KeyError):
        bulk.search_batch(store, rows, 1, progress=lambda done, total: {}["stop"])
    assert len(bulk.search_batch(store, rows, 2, allow=[1, 3, 99])[0]) == 2
    assert len(bulk.search_batch(store, rows, 2, allow=memoryview(bytes(15)).cast("?"))[0]) == 0
    assert len(bulk.range_search(store, rows, 0.5, 2, allow=range(4), max_results=1000)[0]) == 11
    assert len(bulk.self_join(store, 0.99)[2]) > 0 and bulk.knn_graph(store, 3)[1].shape == (15, 3)
    for bad in (lambda: bulk.search_batch(store, rows, 1, allow=[-1]), lambda: bulk.range_search(store, rows, "x"),
                lambda: bulk.range_search(store, rows, -1.0, max_results=3), lambda: bulk.knn_graph(store, -1)):
        with pytest.raises((ValueError, TypeError, OverflowError)):
            bad()
    assert bulk.export(store)[0].shape == (15, 3)
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder)
        bulk.save(store, path / "s.npz")
        assert len(bulk.load(path / "s.npz")) == 15
        opened = bulk.open(path / "s.npz", verify=False)
        opened.insert([1.0, 2.0, 3.0], 7)
        assert len(opened) == 16
        (path / "bad.npz").write_bytes(b"PK")
        for read in (bulk.load, bulk.open):
            with pytest.raises(ValueError):
                read(path / "bad.npz")
    with pytest.raises(TypeError):
        bulk.export(None)

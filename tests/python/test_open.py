"""tessaray_bulk.open: stores that read their rows in place from their saved files."""
import errno
import hashlib
import os

import numpy as np
import pytest

import tessaray
import tessaray_bulk as bulk
from test_bulk import arrays, first_array_at, rows_with_specials, same_store


def saved(tmp_path, rows, ids=None, name="store.npz"):
    store = tessaray.Vectorstore(rows.shape[1])
    bulk.insert_many(store, rows, ids)
    path = tmp_path / name
    bulk.save(store, path)
    return store, path


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def answers(store, queries):
    """Every search's answers, as comparable values."""
    lims, scores, ids = bulk.range_search(store, queries, 0.25)
    return (
        [store.search(q, 7) for q in queries],
        [store.parallel_search(q, 7, 2) for q in queries],
        bulk.search_batch(store, queries, 7, 2),
        [bytes(a) for a in (lims, scores, ids)],
        len(store),
        repr(store),
    )


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("d, n", [(3, 0), (3, 1), (5, 63), (5, 64), (17, 65), (17, 130), (128, 1100), (0, 70)])
def test_opened_store_answers_as_loaded(tmp_path, d, n, verify):
    rows = rows_with_specials(n, d, seed=n)
    _, path = saved(tmp_path, rows, np.arange(n, dtype=np.uint64) % 11)
    opened, loaded = bulk.open(path, verify=verify), bulk.load(path)
    same_store(opened, loaded)
    queries = rows_with_specials(5, d, seed=99)
    assert answers(opened, queries) == answers(loaded, queries)
    # The rows stay in the file: the store holds no memory of its own for them.
    assert bulk.memory_size(opened) == 0


def test_writes_never_change_the_file(tmp_path):
    """Every write copies what it grows; the file stays byte for byte."""
    rows = rows_with_specials(200, 6)
    reference, path = saved(tmp_path, rows[:130])
    before = digest(path)
    opened = bulk.open(path)
    for store in (opened, reference):
        store.insert(rows[130], 130)  # into the tail
        bulk.insert_many(store, rows[131:], np.arange(131, 200, dtype=np.uint64))  # fills a block
    same_store(opened, reference)
    same_store(bulk.without(opened, [3, 150]), bulk.without(reference, [3, 150]))
    assert answers(opened, rows[:4]) == answers(reference, rows[:4])
    assert digest(path) == before
    same_store(bulk.open(path), bulk.load(path))


def test_a_replaced_file_keeps_open_stores_whole(tmp_path):
    rows = rows_with_specials(300, 4)
    first, path = saved(tmp_path, rows[:150])
    opened = bulk.open(path)
    second, _ = saved(tmp_path, rows[150:])  # save renames the new file into place
    same_store(opened, first)
    same_store(bulk.open(path), second)
    # Saved over its own file, an open store writes a new file and keeps reading the old one.
    bulk.save(opened, path)
    same_store(opened, first)
    same_store(bulk.open(path), first)
    assert os.listdir(tmp_path) == ["store.npz"]


@pytest.mark.threads  # lost pages read on worker threads too
@pytest.mark.parametrize("call", ["search", "parallel_search", "search_batch", "export", "save"])
def test_a_shortened_file_fails_every_call_and_nothing_else(tmp_path, call):
    """Rows lost with a shortened file raise OSError(EIO) in every call on the
    store, never kill the process; other stores are not touched."""
    rows = rows_with_specials(5000, 32)
    _, path = saved(tmp_path, rows)
    _, other_path = saved(tmp_path, rows, name="other.npz")
    opened, other = bulk.open(path), bulk.open(other_path)
    os.truncate(path, 8192)
    calls = {
        "search": lambda s: s.search(rows[0], 3),
        "parallel_search": lambda s: s.parallel_search(rows[0], 3, 2),
        "search_batch": lambda s: bulk.search_batch(s, rows[:20], 3, 2),
        "export": bulk.export,
        "save": lambda s: bulk.save(s, tmp_path / "copy.npz"),
    }
    for _ in range(2):  # and every call after the first
        with pytest.raises(OSError, match="shortened while it was open") as raised:
            calls[call](opened)
        assert raised.value.errno == errno.EIO
        with pytest.raises(OSError, match="shortened while it was open"):
            len(opened)
    assert not (tmp_path / "copy.npz").exists()
    calls[call](other)
    assert other.search(rows[1], 1)[0][1] == 1


def test_files_it_cannot_open_in_place(tmp_path):
    rows = np.ones((70, 3), np.float32)
    np.savez(tmp_path / "rows.npz", vectors=rows, ids=np.arange(70, dtype=np.uint64))
    with pytest.raises(ValueError, match="cannot open in place: the file holds its rows row after row"):
        bulk.open(tmp_path / "rows.npz")
    assert len(bulk.load(tmp_path / "rows.npz")) == 70  # such a file still loads
    _, path = saved(tmp_path, rows)
    data = bytearray(path.read_bytes())
    data[first_array_at(data)] ^= 1
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="CRC-32 mismatch in member 'blocks.npy'"):
        bulk.open(path)
    assert len(bulk.open(path, verify=False)) == 70  # unchecked, by request
    with pytest.raises(FileNotFoundError):
        bulk.open(tmp_path / "missing.npz")


def test_numpy_reads_the_rows_back(tmp_path):
    """The one line the README gives for numpy."""
    rows = rows_with_specials(130, 5)
    _, path = saved(tmp_path, rows)
    z = np.load(path)
    got = np.concatenate([z["blocks"].transpose(0, 2, 1).reshape(-1, z["tail"].shape[1]), z["tail"]])
    assert got.tobytes() == rows.tobytes() and (z["ids"] == np.arange(130)).all()
    assert arrays(bulk.export(bulk.open(path)))[0].tobytes() == rows.tobytes()

"""tessaray_bulk: batch search, bulk insert, export, save and load on tessaray's stores."""
import io
import os
import socket
import struct
import threading
import zipfile

import numpy as np
import pytest

import tessaray
import tessaray_bulk as bulk
from helpers import asan_loaded, key

huge = pytest.mark.skipif(asan_loaded(), reason="AddressSanitizer stops the process on such requests")


def rows_with_specials(n, d, seed=0):
    """Rows that tie, repeat, are zero, hold NaN and infinities or overflow their sums."""
    rng = np.random.default_rng(seed)
    rows = rng.choice(np.float32([0.0, -0.0, 1.0, -1.0, 0.5, 2.0]), size=(n, d))
    if n and d:
        rows[::7] = rows[0]
        rows[3::11] = 0.0
        rows[5::13, 0] = np.nan
        rows[6::17, -1] = np.inf
        rows[9::19] = 3e19  # a sum of squares past the float range: root +inf, scores 0
        rows[1::5] = rng.standard_normal((len(rows[1::5]), d), dtype=np.float32)
    return rows


def inserted(rows, ids=None):
    """The store that insert() of each row in order makes."""
    store = tessaray.Vectorstore(rows.shape[1])
    for r, row in enumerate(rows):
        store.insert(row, r if ids is None else ids[r])
    return store


def same_store(a, b):
    """Same vector size, rows bit for bit, ids and answers."""
    assert a.vector_size == b.vector_size and len(a) == len(b)
    (va, ia), (vb, ib) = bulk.export(a), bulk.export(b)
    assert bytes(va) == bytes(vb) and bytes(ia) == bytes(ib)


def first_array_at(data):
    """Where a saved file's first array (the blocks) starts: after its .npy header."""
    at = data.index(b"\x93NUMPY")
    return at + 10 + int.from_bytes(data[at + 8 : at + 10], "little")


def arrays(answer):
    scores, ids = answer
    return np.asarray(scores), np.asarray(ids)


@pytest.mark.parametrize("d, n", [(0, 5), (1, 70), (3, 64), (17, 130), (128, 1100), (129, 65), (768, 200)])
def test_batch_answers_are_searchs(d, n):
    rows = rows_with_specials(n, d, seed=d)
    store = inserted(rows)
    queries = rows_with_specials(13, d, seed=d + 1)
    if d:
        queries[2] = 0.0  # the zero query
        queries[4] = rows[1]
    for k in (0, 1, 10, 3 * n // 4, n, n + 5):  # 3n/4: bars below 0, which zero rows pass
        want = [store.search(q, k) for q in queries]
        for threads in (1, 2, 3, None):
            got = bulk.search_batch(store, queries, k, threads)
            assert [key(a) for a in got] == [key(a) for a in want]
        scores, ids = arrays(bulk.search_batch(store, queries, k, arrays=True))
        assert scores.dtype == np.float32 and ids.dtype == np.uint64 and scores.shape == ids.shape == (13, min(k, n))
        assert [key(zip(sr.tolist(), ir.tolist())) for sr, ir in zip(scores, ids)] == [key(a) for a in want]


@pytest.mark.parametrize(
    "form",
    [
        lambda q: q.tolist(),
        lambda q: [list(r) for r in q.astype(np.float64)],
        lambda q: q.astype(np.float64),
        lambda q: q.astype(np.float16),
        lambda q: (q * 4).astype(np.int16),
        lambda q: q.astype(">f4"),
        lambda q: np.asfortranarray(q),
        lambda q: np.repeat(q, 2, axis=1)[:, ::2],  # strided elements
        lambda q: np.repeat(q, 2, axis=0)[::2],  # strided rows
        lambda q: memoryview(np.ascontiguousarray(q)),
        lambda q: iter(list(q)),
    ],
)
def test_batch_query_forms(form):
    rows = rows_with_specials(200, 9)
    store = inserted(rows)
    queries = np.random.default_rng(3).standard_normal((10, 9), dtype=np.float32)
    given = form(queries)
    got = bulk.search_batch(store, given, 7)
    each = form(queries)
    each = np.asarray(each) if isinstance(each, memoryview) else each  # a 2-d memoryview does not iterate
    assert [key(a) for a in got] == [key(store.search(q, 7)) for q in each]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: bulk.search_batch([], [[1.0, 2.0]], 1), TypeError,
         "argument 'store': 'list' object is not an instance of 'Vectorstore'"),
        (lambda s: bulk.search_batch(s, [[1.0]], 1), ValueError, "query has length 1 but vectorstore expects 2"),
        (lambda s: bulk.search_batch(s, np.zeros((3, 3)), 1), ValueError, "query has length 3 but vectorstore expects 2"),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], -1), OverflowError, None),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, progress=5), TypeError,
         "argument 'progress': 'int' object is not callable"),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=np.ones(3, bool)), ValueError,
         "allow has length 3 but the store has 2 rows"),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=np.ones((2, 1), bool)), ValueError,
         "allow is a boolean buffer of 2 dimensions, not a row mask of one"),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=[7, -1]), OverflowError, None),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=np.array([7, -1])), OverflowError, None),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=[7.0]), TypeError, None),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, 1, False, None, np.ones(2, bool)), TypeError,
         "search_batch() takes from 3 to 6 positional arguments but 7 were given"),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=([0, 1, 1], [7])), ValueError,
         "allow's lims has length 3 but 1 queries need 2"),
        (lambda s: bulk.search_batch(s, [[1.0, 2.0]], 1, allow=([0, 2], [7])), ValueError,
         "allow's lims must rise from 0 to the length of its ids (1)"),
        (lambda s: bulk.range_search(s, [[1.0, 2.0]], float("nan")), ValueError, "threshold is NaN"),
        (lambda s: bulk.range_search(s, [[1.0, 2.0]], "0.5"), TypeError, None),
        (lambda s: bulk.range_search(s, [[1.0, 2.0]], -1.0, max_results=1), ValueError,
         "more than max_results=1 rows are at or above the threshold"),
        (lambda s: bulk.range_search(s, [[1.0, 2.0]], 0.0, max_results=-1), OverflowError, None),
        (lambda s: bulk.self_join(s, float("nan")), ValueError, "threshold is NaN"),
        (lambda s: bulk.self_join(s, 0.0, progress=1), TypeError, "argument 'progress': 'int' object is not callable"),
        (lambda s: bulk.knn_graph(s, -1), OverflowError, None),
        (lambda s: bulk.insert_many(s, np.zeros((2, 3))), ValueError, "vector has length 3 but vectorstore expects 2"),
        (lambda s: bulk.insert_many(s, [[1.0, 2.0], [1.0]]), ValueError, "vector has length 1 but vectorstore expects 2"),
        (lambda s: bulk.insert_many(s, [[1.0, 2.0], [1.0, "x"]]), TypeError, None),
        (lambda s: bulk.insert_many(s, np.ones((2, 2)), [1]), ValueError, "ids has length 1 but rows has 2"),
        (lambda s: bulk.insert_many(s, np.ones((2, 2)), [1, -1]), OverflowError, None),
        (lambda s: bulk.insert_many(s, np.ones((2, 2)), np.array([1, -1])), OverflowError, None),
        (lambda s: bulk.insert_many(s, np.ones((2, 2)), [1, 2**64]), OverflowError, None),
        (lambda s: bulk.insert_many(s, np.ones((2, 2)), np.ones(2)), TypeError, None),
        pytest.param(lambda s: bulk.insert_many(s, np.broadcast_to(np.float32(1), (2**40, 2))), MemoryError,
                     "memory allocation of 8796093022208 bytes failed", marks=huge),  # the default ids come first
        pytest.param(lambda s: bulk.insert_many(s, np.ones((2, 2)), np.broadcast_to(np.uint64(1), (2**58,))),
                     MemoryError, None, marks=huge),
        (lambda s: bulk.without(s, [7, -1]), OverflowError, None),
        (lambda s: bulk.without(s, np.array([7, -1])), OverflowError, None),
        (lambda s: bulk.without(s, [7, 2**64]), OverflowError, None),
        (lambda s: bulk.without(s, [7, 8.0]), TypeError, None),
        (lambda s: bulk.without(s, np.ones(2)), TypeError, None),
        (lambda s: bulk.without(s, "78"), TypeError, None),
        (lambda s: bulk.without(s, 7), TypeError, None),
        (lambda s: bulk.without(s, (s.insert([1.0, 1.0], 9) for _ in range(1))), RuntimeError, "Already borrowed"),
        (lambda s: bulk.without([], [7]), TypeError, "argument 'store': 'list' object is not an instance of 'Vectorstore'"),
        (lambda s: bulk.export(1), TypeError, "argument 'store': 'int' object is not an instance of 'Vectorstore'"),
        (lambda s: bulk.memory_size([]), TypeError,
         "argument 'store': 'list' object is not an instance of 'Vectorstore'"),
    ],
)
def test_refusals_change_nothing(call, error, message):
    store = tessaray.Vectorstore(2, [([1.0, 0.5], 7), ([0.0, -1.0], 8)])
    before = bulk.export(store)
    with pytest.raises(error) as raised:
        call(store)
    if message is not None:
        assert str(raised.value) == message
    after = bulk.export(store)
    assert bytes(after[0]) == bytes(before[0]) and bytes(after[1]) == bytes(before[1])


@pytest.mark.parametrize("dtype", ["float32", "float64", "float16", "int8", "uint16", "int64", "bool", ">f4", ">i4"])
@pytest.mark.parametrize("split", [[300], [1, 62, 1, 236]])
def test_insert_many_equals_insert(dtype, split):
    base = rows_with_specials(300, 19) * 3
    with np.errstate(invalid="ignore", over="ignore"):  # NaN, infinities and 9e19 cast: whatever numpy makes
        rows = base.astype(dtype) if dtype != "bool" else base > 0
    ids = (np.arange(300, dtype=np.uint64) * 2**55) + 3
    store = tessaray.Vectorstore(19)
    at = 0
    for n in split:
        part = rows[at : at + n]
        bulk.insert_many(store, part, ids[at : at + n] if n > 1 else [int(ids[at])])
        at += n
    same_store(store, inserted(rows, [int(i) for i in ids]))
    # Strided and Fortran-ordered rows, and default ids that continue from len(store).
    more = np.asfortranarray(rows[::-3])
    bulk.insert_many(store, more)
    assert bytes(bulk.export(store)[1])[-8 * len(more):] == np.arange(300, 300 + len(more), dtype=np.uint64).tobytes()


@pytest.mark.parametrize(
    "d, n, by_row", [(3, 0, False), (3, 1, False), (17, 130, False), (17, 130, True), (128, 5000, False)]
)
def test_memory_size_counts_every_entry(d, n, by_row):
    """At least the floats, norms and ids of every entry; at most that with
    each of the four buffers rounded up to its unit of allocation (64 bytes
    on the heap, 2 MiB for a mapping), or half again for one grown row by row."""
    rows = rows_with_specials(n, d)
    store = inserted(rows) if by_row else tessaray.Vectorstore(d)
    if not by_row:
        bulk.insert_many(store, rows)
    entries = n * (d * 4 + 4 + 8)
    unit = 64 if entries < 1 << 20 else 2 << 20
    assert entries <= bulk.memory_size(store) <= entries * (3 if by_row else 2) // 2 + 4 * unit


def test_export_and_files_round_trip(tmp_path):
    rows = rows_with_specials(150, 5)
    ids = [2**64 - 1 - r for r in range(150)]
    store = tessaray.Vectorstore(5)
    bulk.insert_many(store, rows, ids)
    vectors, got_ids = arrays(bulk.export(store))
    assert vectors.tobytes() == rows.tobytes() and got_ids.tolist() == ids
    path = tmp_path / "store.npz"
    bulk.save(store, path)
    with np.load(path, allow_pickle=False) as files:
        assert files["ids"].tolist() == ids and files["roots"].shape == (150,)
    loaded = bulk.load(str(path))
    same_store(loaded, store)
    assert loaded.search(rows[3], 9) == store.search(rows[3], 9)
    # A file numpy wrote loads too; an empty store keeps its vector size.
    np.savez(tmp_path / "np.npz", ids=np.arange(4, dtype=np.uint64), vectors=np.ones((4, 3), np.float32))
    assert bulk.load(tmp_path / "np.npz").search([1, 1, 1], 1) == [(1.0, 0)]
    bulk.save(tessaray.Vectorstore(7), tmp_path / "empty.npz")
    assert repr(bulk.load(tmp_path / "empty.npz")) == "Vectorstore(vector_size=7, len=0)"


DROPS = {  # which rows' ids are listed, by position
    "none": lambda n: [],
    "all": lambda n: list(range(n)),
    "first": lambda n: [0],
    "last": lambda n: [n - 1],
    "every other": lambda n: list(range(0, n, 2)),
    "block edges": lambda n: [r for r in range(n) if r % 64 in (0, 63)],
    "one in a hundred": lambda n: list(range(37, n, 100)),
    "all but the last": lambda n: list(range(n - 1)),
}


@pytest.mark.parametrize("drop", list(DROPS))
@pytest.mark.parametrize("n", [0, 1, 63, 64, 65, 127, 128, 129, 300])
@pytest.mark.parametrize("d", [0, 3, 17])
def test_without_is_the_store_of_the_remaining_rows(d, n, drop):
    """The rows whose id is not listed, in their order: the store insert()
    of each of them builds, bit for bit, ids included, answering alike; the
    store itself goes on as it was."""
    rows = rows_with_specials(n, d, seed=n + d)
    ids = np.arange(n, dtype=np.uint64) * 3 + 2**63  # unique, so each listed id drops one row
    store = tessaray.Vectorstore(d)
    bulk.insert_many(store, rows, ids)
    dropped = [r for r in DROPS[drop](n) if 0 <= r < n]
    listed = [int(ids[r]) for r in dropped] + [1, 2**64 - 1, 2**63 + 1]  # and ids no row has
    queries = rows_with_specials(6, d, seed=99)
    before = bulk.export(store)
    answers = [store.search(q, 7) for q in queries]

    got = bulk.without(store, listed)
    keep = np.ones(n, bool)
    keep[dropped] = False
    want = inserted(rows[keep], [int(i) for i in ids[keep]])
    assert type(got) is tessaray.Vectorstore and got is not store
    same_store(got, want)
    assert [key(got.search(q, 7)) for q in queries] == [key(want.search(q, 7)) for q in queries]
    assert [key(a) for a in bulk.search_batch(got, queries, 5)] == [key(want.search(q, 5)) for q in queries]
    after = bulk.export(store)
    assert bytes(after[0]) == bytes(before[0]) and bytes(after[1]) == bytes(before[1])
    assert [key(store.search(q, 7)) for q in queries] == [key(a) for a in answers]
    # The two stores are apart: rows added to one are not in the other.
    got.insert(np.ones(d, np.float32), 5)
    assert len(got) == keep.sum() + 1 and len(store) == n


@pytest.mark.parametrize(
    "form",
    [
        list,
        tuple,
        iter,
        lambda ids: np.array(ids, dtype=np.uint64),
        lambda ids: np.array(ids, dtype=np.int64)[::-1],
        lambda ids: np.array(ids, dtype=np.uint8),
        lambda ids: memoryview(np.array(ids, dtype=np.uint32)),
        lambda ids: np.array(ids, dtype=">u2"),
        lambda ids: np.repeat(np.array(ids, dtype=">u8"), 2)[::2],  # strided
        lambda ids: (i for i in ids + ids),  # listed twice
    ],
)
def test_without_repeated_ids_all_go(form):
    """Ids may repeat in the store: every row carrying a listed id goes.  Any
    form of integers that insert_many takes as ids lists them."""
    rows = rows_with_specials(200, 5, seed=3)
    ids = [r % 7 for r in range(200)]
    store = tessaray.Vectorstore(5)
    bulk.insert_many(store, rows, ids)
    got = bulk.without(store, form([3, 0, 3, 200, 6]))
    keep = np.array([i not in (0, 3, 6) for i in ids])
    same_store(got, inserted(rows[keep], [i for i in ids if i not in (0, 3, 6)]))
    assert repr(bulk.without(store, range(7))) == "Vectorstore(vector_size=5, len=0)"
    same_store(bulk.without(store, []), store)


def test_without_refuses_what_insert_many_refuses():
    """A bad id raises what insert_many raises for it, and no store is made."""
    store = tessaray.Vectorstore(2, [([1.0, 0.5], 7), ([0.0, -1.0], 8)])
    before = bulk.export(store)
    for bad in ([7, -1], [7, 1.5], ["7"], [None], np.array([-1, 7]), np.array([1.0]), np.zeros((2, 2), np.int64)):
        with pytest.raises(Exception) as inserting:
            bulk.insert_many(tessaray.Vectorstore(2), np.ones((len(bad), 2)), bad)
        with pytest.raises(type(inserting.value)) as removing:
            bulk.without(store, bad)
        assert isinstance(removing.value, (TypeError, OverflowError, ValueError))
        assert str(removing.value) == str(inserting.value)
    after = bulk.export(store)
    assert bytes(after[0]) == bytes(before[0]) and bytes(after[1]) == bytes(before[1])


def npz(members):
    """An uncompressed zip of .npy members given as (dtype text, shape text, data)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, (descr, shape, data) in members.items():
            header = b"{'descr': '%s', 'fortran_order': False, 'shape': %s, }\n" % (descr, shape)
            z.writestr(name, b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header + data)
    return out.getvalue()


def test_damaged_files_are_refused(tmp_path):
    store = tessaray.Vectorstore(4)
    bulk.insert_many(store, rows_with_specials(100, 4))
    path = tmp_path / "store.npz"
    bulk.save(store, path)
    data = path.read_bytes()
    name_at = data.rfind(b"ids.npy") + 2  # in the central directory: read before any checksum
    flip_at = first_array_at(data) + 5  # a byte of the first block's floats
    cases = {
        "truncated": (data[: len(data) // 2], ""),
        "flipped": (data[:flip_at] + bytes([data[flip_at] ^ 1]) + data[flip_at + 1:], "CRC-32 mismatch"),
        "text": (b"vectors, ids\n1, 2\n", ""),
        "empty": (b"", ""),
        # Bytes that are not UTF-8 (a foreign zip's cp437 names, a damaged
        # dtype) are escaped in the message.
        "name": (data[:name_at] + b"\xff" + data[name_at + 1:], r"'id\xff.npy'"),
        "cp437 names": (data.replace(b"ids.npy", b"\x82ds.npy"), r"'\x82ds.npy'"),
        "dtype": (data.replace(b"'<f4'", b"'\xe9f4'"), r"dtype '\xe9f4'"),
        # No array can have rows of 2**63 floats, even none of them.
        "wide": (npz({"vectors.npy": (b"<f4", b"(0, %d)" % 2**63, b""), "ids.npy": (b"<u8", b"(0,)", b"")}),
                 "rows of 9223372036854775808 floats"),
        # More rows in the roots and ids than the blocks and the tail hold.
        "parts": (npz({"blocks.npy": (b"<f4", b"(1, 3, 64)", bytes(768)), "tail.npy": (b"<f4", b"(0, 3)", b""),
                       "roots.npy": (b"<f4", b"(129,)", bytes(516)), "ids.npy": (b"<u8", b"(129,)", bytes(1032))}),
                  "1 blocks and a tail of 0 rows do not make the 129 rows"),
    }
    for name, (content, detail) in cases.items():
        (tmp_path / name).write_bytes(content)
        for read in (bulk.load, bulk.open):
            with pytest.raises(ValueError, match="not a tessaray store file") as raised:
                read(tmp_path / name)
            assert detail in str(raised.value)
    # Object arrays would need unpickling: never done.
    np.savez(tmp_path / "objects.npz", vectors=np.array([[1.0]], dtype=object), ids=np.array([1], dtype=np.uint64))
    with pytest.raises(ValueError, match="not a tessaray store file"):
        bulk.load(tmp_path / "objects.npz")
    with pytest.raises(FileNotFoundError):
        bulk.load(tmp_path / "missing.npz")
    with pytest.raises(FileNotFoundError):
        bulk.save(store, tmp_path / "no" / "such.npz")


def test_special_files_are_refused_without_blocking(tmp_path, run_python):
    """A FIFO with no writer, a device and a socket: refused at once, not waited on."""
    os.mkfifo(tmp_path / "fifo")
    with socket.socket(socket.AF_UNIX) as listening:
        listening.bind(str(tmp_path / "socket"))
        out = run_python(
            f"""
            import tessaray_bulk
            for path in ["{tmp_path / 'fifo'}", "/dev/null", "{tmp_path / 'socket'}"]:
                try:
                    tessaray_bulk.load(path)
                except ValueError as e:
                    print(e)
            """
        )
    assert out.stdout.splitlines() == ["not a tessaray store file: not a regular file"] * 3, out.stderr


@pytest.mark.parametrize("d", [2**61, 2**62, 2**63, 2**64 - 1])
def test_vector_size_too_wide_for_an_array(tmp_path, d):
    """A store of rows wider than any buffer's is kept, but neither exported nor saved."""
    store = tessaray.Vectorstore(d)
    for call in (lambda: bulk.export(store), lambda: bulk.save(store, tmp_path / "wide.npz")):
        with pytest.raises(OverflowError, match=f"vector_size {d} is too large for an array"):
            call()
    assert not os.listdir(tmp_path) and store.vector_size == d
    scores, ids = arrays(bulk.search_batch(store, [], 3, arrays=True))
    assert scores.shape == ids.shape == (0, 0)
    # One float less per row is the widest an array holds.
    w = 2**61 - 1
    widest = tessaray.Vectorstore(w)
    assert [np.asarray(a).shape for a in bulk.export(widest)] == [(0, w), (0,)]
    bulk.save(widest, tmp_path / "widest.npz")
    assert bulk.load(tmp_path / "widest.npz").vector_size == w


@pytest.mark.threads
def test_batch_holds_its_borrow_without_the_lock():
    """While a batch runs (lock released), another thread's insert gets the
    borrow error and readers go on; the store is whole afterwards."""
    rows = np.random.default_rng(1).standard_normal((100_000, 64), dtype=np.float32)
    store = tessaray.Vectorstore(64)
    bulk.insert_many(store, rows)
    queries = rows[:600]
    seen = []

    def progress(done, total):
        def other():
            try:
                store.insert(rows[0], 1)
            except RuntimeError as e:
                seen.append(str(e))
            seen.append(len(store))
            seen.append(store.search(rows[5], 1)[0][1])

        thread = threading.Thread(target=other)
        thread.start()
        thread.join()

    got = bulk.search_batch(store, queries, 1, 1, progress=progress)
    assert seen[:3] == ["Already borrowed", 100_000, 5], seen  # at the first call, when the workers have started
    assert [a[0][1] for a in got] == list(range(600)) and len(store) == 100_000
    # A progress callback that raises stops the batch with its error.
    with pytest.raises(KeyError):
        bulk.search_batch(store, queries, 1, 2, progress=lambda done, total: {}["stop"])
    bulk.insert_many(store, rows[:1])  # the borrow was given back
    assert len(store) == 100_001


def test_store_class_is_checked(run_python):
    """A stand-in put in place of tessaray.Vectorstore is not read as a store."""
    out = run_python(
        """
        import tessaray
        class Vectorstore:
            pass
        tessaray.Vectorstore = Vectorstore
        try:
            import tessaray_bulk
        except ImportError as e:
            print(e)
        """
    )
    assert out.stdout.strip() == "tessaray.Vectorstore is not the class of the tessaray extension module built with this one", out.stderr


def test_module_surface():
    assert bulk.__name__ == "tessaray_bulk"
    assert bulk.__doc__ == "Many queries, many rows and store files at once, on tessaray.Vectorstore objects."
    functions = {  # name: text signature, the docstring's first words
        "search_batch": ("(store, queries, top_k, n_threads=None, arrays=False, progress=None, *, allow=None)",
                         "The answers of"),
        "range_search": ("(store, queries, threshold, n_threads=None, *, allow=None, max_results=None, progress=None)",
                         "Every row whose"),
        "self_join": ("(store, threshold, n_threads=None, *, progress=None)", "Every pair of"),
        "knn_graph": ("(store, k, n_threads=None, *, progress=None)", "For every row,"),
        "insert_many": ("(store, rows, ids=None)", "Appends every row"),
        "export": ("(store)", "Copies of the"),
        "memory_size": ("(store)", "Bytes of memory"),
        "without": ("(store, ids)", "A new Vectorstore"),
        "save": ("(store, path)", "Writes the store"),
        "load": ("(path)", "The store saved"),
        "open": ("(path, *, verify=True)", "The store saved"),
    }
    assert bulk.__all__ == list(functions)
    for name, (signature, doc) in functions.items():
        function = getattr(bulk, name)
        assert (function.__name__, function.__module__, function.__self__) == (name, "tessaray_bulk", bulk)
        assert function.__text_signature__ == signature
        assert function.__doc__.startswith(doc + " ")

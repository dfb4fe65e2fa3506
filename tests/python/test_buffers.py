"""Vectors given as buffers (numpy arrays, array.array, memoryview, bytes,
bytearray) convert to exactly the floats the element-by-element path gives."""
import array
import math
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import tessaray
from helpers import bits
from tessaray import Vectorstore, cosine_similarity


class ElementPath:
    """The same items as `obj`, in a sequence the buffer path never reads."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


def probes(n):
    """Unit axes, the differences of every two axes (their score is zero
    exactly when the two elements are equal), all ones and alternating signs."""
    out = []
    for i in range(n):
        out.append([1.0 if j == i else 0.0 for j in range(n)])
    for i in range(n):
        for j in range(i + 1, n):
            out.append([1.0 if k == i else -1.0 if k == j else 0.0 for k in range(n)])
    out.append([1.0] * n)
    out.append([(-1.0) ** k * (k + 1) for k in range(n)])
    return out


def signature(vector, n):
    """What the module answers about `vector`: its scores against fixed probes,
    and a store's answers with it inserted and with it as the query."""
    scores = [bits(cosine_similarity(vector, p)) for p in probes(n)]
    scores += [bits(cosine_similarity(p, vector)) for p in probes(n)[:1]]
    store = Vectorstore(n)
    store.insert(vector, 1)
    for i, p in enumerate(probes(n)):
        store.insert(p, 100 + i)
    found = [(bits(s), i) for q in probes(n) for s, i in store.search(q, len(store))]
    queried = [(bits(s), i) for s, i in store.search(vector, len(store))]
    return scores, found, queried


@pytest.mark.parametrize(
    "a, b",
    [
        ([2.0**60, 2.0**60], [2.0**60 + 2.0**37, 2.0**60]),
        ([1.0, 1.0, 0.5], [1 + 2.0**-23, 1.0, 0.5]),
        # Subnormals show beside a normal element (alone, their squares vanish).
        ([2.0**-149, 1.0], [0.0, 1.0]),
        ([2.0**-148, 1.0], [2.0**-149, 1.0]),
        ([-(2.0**63), 5.0], [-(2.0**63) - 2.0**40, 5.0]),
    ],
)
def test_signature_tells_neighbours_apart(a, b):
    # The comparisons below would miss nothing these tell apart.
    assert signature(a, len(a)) != signature(b, len(b))


def assert_same_as_elements(obj, reference):
    n = len(reference)
    got = signature(obj, n)
    assert got == signature(reference, n)
    assert got == signature(ElementPath(obj), n)
    # Inserted from a list, queried with the buffer: the same scores as the
    # list queried against itself.
    store = Vectorstore(n, [(reference, 5)])
    assert [bits(s) for s, _ in store.search(obj, 1)] == [bits(s) for s, _ in store.search(reference, 1)]


# Values per kind, with companions that the element path makes equal to
# them (or not), so that the difference probes see every rounding.
SIGNED = {
    1: [-128, 127, 0, -1, 5],
    2: [-(2**15), 2**15 - 1, 0, -1, 300],
    4: [-(2**31), 2**31 - 1, 2**24 + 1, 2**24, 2**24 + 3, 2**24 + 4, -7],
    # 2**60 + 2**36 + 1: to double gives 2**60 + 2**36, a tie for float that
    # goes to 2**60; one direct rounding would give 2**60 + 2**37.
    8: [2**60 + 2**36 + 1, 2**60, 2**60 + 2**37, -(2**60 + 2**36 + 1), -(2**60), 2**53 + 1, 2**63 - 1, -(2**63)],
}
UNSIGNED = {
    1: [0, 1, 127, 128, 255],
    2: [0, 1, 2**16 - 1, 2**15],
    4: [0, 2**32 - 1, 2**24 + 1, 2**24, 2**31 + 2**7 + 1, 2**31],
    8: [2**64 - 1, 2**63 + 2**39 + 1, 2**63, 2**63 + 2**40, 2**60 + 2**36 + 1, 2**60, 0],
}
FLOAT16 = [1.0, -0.0, 0.0, 65504.0, -65504.0, 2.0**-24, 2.0**-14, 0.333251953125]
FLOAT32 = [1.0, -0.0, 2.0**-149, 2.0**-126, 3.4028234663852886e38, 0.10000000149011612, -2.5, 1 + 2.0**-23]
FLOAT64 = [
    1 + 2.0**-24, 1.0,  # a tie: to even
    1 + 3 * 2.0**-24, 1 + 2.0**-22,  # rounds up
    2.0**-150, 0.0,  # half the smallest subnormal: to even, zero
    3 * 2.0**-150, 2.0**-148,  # a subnormal tie to even
    0.1, -0.0, 1e-300, 3.4028235677973366e38 / 2,
]
# An infinity makes every score NaN, so these stand apart.
NONFINITE = [1e39, -1e39, 3.4028235677973366e38, 1.0]  # the third is a tie: to even, infinity
NAN_BITS32 = [0x7F800001, 0xFFA00001, 0x7FC00005, 0x7FFFFFFF]  # signalling and quiet NaNs
NAN_BITS64 = [0x7FF0000000000001, 0xFFF4000000000000, 0x7FF8000012345678]


def integer_cases():
    for code, size in [("b", 1), ("h", 2), ("i", 4), ("q", 8)]:
        yield code, SIGNED[size]
    for code, size in [("B", 1), ("H", 2), ("I", 4), ("Q", 8)]:
        yield code, UNSIGNED[size]
    yield "l", SIGNED[struct.calcsize("l")]
    yield "L", UNSIGNED[struct.calcsize("L")]


ARRAY_CASES = list(integer_cases()) + [("f", FLOAT32), ("d", FLOAT64), ("d", NONFINITE)]


def views(obj):
    """The object itself and strided views of it, negative strides too."""
    yield obj
    yield obj[::2]
    yield obj[::-1]
    yield obj[-1::-3]
    yield obj[:0]


def reference_list(view):
    return view.tolist() if hasattr(view, "tolist") else list(view)


@pytest.mark.parametrize("code, values", ARRAY_CASES, ids=[c for c, _ in ARRAY_CASES])
def test_array_array(code, values):
    arr = array.array(code, values)
    for view in views(arr):
        assert_same_as_elements(view, reference_list(view))
    for view in views(memoryview(arr)):
        assert_same_as_elements(view, view.tolist())


MEMORYVIEW_CASES = ARRAY_CASES + [
    ("?", [True, False, True, True]),
    ("e", FLOAT16),
    ("e", [math.inf, -math.inf, 1.0]),
    ("n", SIGNED[struct.calcsize("n")]),
    ("N", UNSIGNED[struct.calcsize("N")]),
    ("@d", FLOAT64),
]


@pytest.mark.parametrize("code, values", MEMORYVIEW_CASES, ids=[c for c, _ in MEMORYVIEW_CASES])
def test_memoryview_casts(code, values):
    raw = b"".join(struct.pack(code, v) for v in values)
    view = memoryview(raw).cast(code.lstrip("@"))
    assert view.tolist() == values
    for v in views(view):
        assert_same_as_elements(v, v.tolist())


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_bytes_and_bytearray(kind):
    obj = kind(bytes([0, 1, 2, 127, 128, 254, 255]))
    assert_same_as_elements(obj, list(obj))
    assert_same_as_elements(obj[::-2], list(obj[::-2]))
    assert_same_as_elements(memoryview(obj)[::-2], list(obj[::-2]))


def test_bool_bytes_other_than_one():
    # A '?' view over bytes other than 0 and 1: each is true, as memoryview says.
    view = memoryview(bytes([0, 1, 2, 255])).cast("?")
    assert view.tolist() == [False, True, True, True]
    assert_same_as_elements(view, view.tolist())


@pytest.mark.parametrize(
    "code, pattern, nan_bits",
    [("f", "<I", NAN_BITS32), ("d", "<Q", NAN_BITS64)],
)
def test_nan_payloads(code, pattern, nan_bits):
    raw = b"".join(struct.pack(pattern, b) for b in nan_bits)
    for obj in [array.array(code, raw), memoryview(raw).cast(code)]:
        for i in range(len(nan_bits)):
            one = obj[i : i + 1]
            got = cosine_similarity(one, [1.0])
            assert math.isnan(got)
            assert bits(got) == bits(cosine_similarity(one.tolist(), [1.0]))
            assert bits(got) == bits(cosine_similarity(ElementPath(one), [1.0]))


def test_empty_buffers_are_empty_vectors():
    for obj in [b"", bytearray(), array.array("d"), memoryview(b"").cast("f")]:
        assert cosine_similarity(obj, []) == 0.0
        store = Vectorstore(0)
        store.insert(obj, 3)
        assert store.search(obj, 1) == [(0.0, 3)]


def test_wrong_length_buffer_is_refused():
    store = Vectorstore(3)
    with pytest.raises(ValueError):
        store.insert(array.array("f", [1.0, 2.0]), 1)
    with pytest.raises(ValueError):
        cosine_similarity(array.array("d", [1.0]), b"ab")


def outcome(call):
    try:
        return ("value", bits(call()))
    except Exception as exc:  # the kind and text of the failure is the outcome
        return ("error", type(exc), str(exc))


def outcomes_match(obj, n):
    probe = [1.0] * n
    direct = outcome(lambda: cosine_similarity(obj, probe))
    via_elements = outcome(lambda: cosine_similarity(ElementPath(obj), probe))
    assert direct == via_elements
    return direct


@pytest.mark.parametrize(
    "make, n, fails",
    [
        (lambda: memoryview(b"ab").cast("c"), 2, True),  # items are bytes
        (lambda: memoryview(struct.pack("<2f", 1, 2)), 8, False),  # plain bytes view
        (lambda: memoryview(struct.pack("2P", 1, 2)).cast("P"), 2, False),  # pointers: element path
        (lambda: memoryview(bytes(8)).cast("B", (2, 4)), 2, True),  # two dimensions
        (lambda: memoryview(bytes(4)).cast("f", ()), 1, True),  # no dimension
        (lambda: array.array("w", "ab"), 2, True),  # characters
    ],
)
def test_other_buffers_keep_element_path(make, n, fails):
    result = outcomes_match(make(), n)
    assert (result[0] == "error") == fails


def test_released_memoryview():
    view = memoryview(b"abc")
    view.release()
    with pytest.raises(ValueError, match="released"):
        cosine_similarity(view, [1.0, 2.0, 3.0])


def test_bytes_subclass_and_array_impostor():
    class B(bytes):
        pass

    class A(array.array):
        pass

    # Their own iteration decides: overriding it shows which path ran.
    class Reversed(array.array):
        def __iter__(self):
            return iter(list(array.array.__iter__(self))[::-1])

    Impostor = type("array.array", (array.array,), {"__iter__": Reversed.__iter__})
    assert Impostor.__name__ == "array.array"
    data = [1.0, 2.0, 5.0]
    for obj in [B(bytes([1, 2, 5])), A("d", data)]:
        assert_same_as_elements(obj, data)
    for cls in [Reversed, Impostor]:
        obj = cls("d", data)
        assert bits(cosine_similarity(obj, [1.0, 0.0, 0.0])) == bits(cosine_similarity(data[::-1], [1.0, 0.0, 0.0]))


# ---------------------------------------------------------------------------
# numpy (skipped without it; the module itself never needs it)

NUMPY_KINDS = [
    ("?", [True, False, True]),
    ("i1", SIGNED[1]),
    ("u1", UNSIGNED[1]),
    ("i2", SIGNED[2]),
    ("u2", UNSIGNED[2]),
    ("i4", SIGNED[4]),
    ("u4", UNSIGNED[4]),
    ("i8", SIGNED[8]),
    ("u8", UNSIGNED[8]),
    ("f2", FLOAT16),
    ("f4", FLOAT32),
    ("f8", FLOAT64),
    ("f8", NONFINITE),
    ("f2", [math.inf, -math.inf, 1.0]),
]


def numpy_dtypes():
    for code, values in NUMPY_KINDS:
        orders = ["="] if code in ("?", "i1", "u1") else ["<", ">", "="]
        for order in orders:
            yield order + code, values
    yield "intc", SIGNED[4]
    yield "longlong", SIGNED[8]
    yield "ulonglong", UNSIGNED[8]
    yield "long", SIGNED[8]
    yield "intp", SIGNED[8]


NUMPY_CASES = list(numpy_dtypes())


@pytest.mark.parametrize("dtype, values", NUMPY_CASES, ids=[d for d, _ in NUMPY_CASES])
def test_numpy_arrays(np, dtype, values, tmp_path):
    arr = np.array(values, dtype=dtype)
    assert arr.tolist() == values
    for view in views(arr):
        assert_same_as_elements(view, view.tolist())
    # A strided view of a wider array, and a memoryview of a native array.
    wide = np.repeat(arr, 3)[1::3]
    assert_same_as_elements(wide, wide.tolist())
    if arr.dtype.isnative:
        for view in views(memoryview(arr)):
            assert_same_as_elements(view, view.tolist())
    # numpy.memmap: a file opened as an array, its views, and the rows of a
    # two-dimensional one.
    np.save(tmp_path / "a.npy", np.stack([arr, arr[::-1]]))
    rows = np.load(tmp_path / "a.npy", mmap_mode="r")
    for row in rows:
        assert type(row) is np.memmap
        for view in views(row):
            assert_same_as_elements(view, view.tolist())


@pytest.mark.parametrize("dtype, nan_bits", [("u4", NAN_BITS32), ("u8", NAN_BITS64), ("u2", [0x7C01, 0xFE01, 0x7D55])])
@pytest.mark.parametrize("order", ["<", ">"])
def test_numpy_nan_payloads(np, dtype, nan_bits, order):
    float_dtype = {"u2": "f2", "u4": "f4", "u8": "f8"}[dtype]
    arr = np.array(nan_bits, dtype=order + dtype).view(order + float_dtype)
    for i in range(len(arr)):
        one = arr[i : i + 1]
        got = cosine_similarity(one, [1.0])
        assert math.isnan(got)
        assert bits(got) == bits(cosine_similarity(one.tolist(), [1.0]))
        assert bits(got) == bits(cosine_similarity(ElementPath(one), [1.0]))


@pytest.mark.parametrize(
    "make, n",
    [
        (lambda np: np.array([1 + 2j, 3j]), 2),
        (lambda np: np.array([1.0, "x"], dtype=object), 2),
        (lambda np: np.array([1.5, 2.5], dtype=object), 2),
        (lambda np: np.ones((2, 2), dtype=np.float32), 2),
        (lambda np: np.ones((2, 1), dtype=np.float32), 2),
        (lambda np: np.array(3.0, dtype=np.float32), 1),
        (lambda np: np.array([1.0, 1 + 2.0**-60], dtype=np.longdouble), 2),
        (lambda np: np.array([1, 2], dtype="datetime64[s]"), 2),
        (lambda np: np.array([(1.0, 2)], dtype=[("a", "f4"), ("b", "i4")])["a"], 1),
        (lambda np: np.array([b"ab", b"c"]), 2),
        (lambda np: np.ma.masked_array([1.0, 2.0, 3.0], mask=[0, 1, 0]), 3),
        (lambda np: np.array([1.0, 2.0], dtype=">f4").view(type("Sub", (np.ndarray,), {})), 2),
        (lambda np: memoryview(np.array([1.0, 2.0], dtype=">f4")), 2),  # memoryview cannot unpack '>f'
        (lambda np: memoryview(np.array([1.0, 2.0], dtype="<f8")).cast("B").cast("f"), 4),
    ],
)
def test_numpy_others_keep_element_path(np, make, n):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        outcomes_match(make(np), n)


def reversed_item(self, i):
    import numpy as np

    return np.ndarray.__getitem__(self, -1 - i if isinstance(i, int) else i)


def reversed_iter(self):
    return iter(self.tolist()[::-1])


def reversed_buffer(self, flags):
    import numpy as np

    return memoryview(np.ascontiguousarray(np.asarray(self)[::-1]))


def patched(name, function):
    """numpy.memmap with its `name` replaced by `function` while the test runs."""

    def make(np, monkeypatch, a):
        monkeypatch.setattr(np.memmap, name, function)
        return a.view(np.memmap)

    return make


@pytest.mark.parametrize(
    "make, reversed_",
    [
        # Subclasses that decide their own items keep the element path.
        (lambda np, _, a: a.view(type("Sub", (np.ndarray,), {"__getitem__": reversed_item})), True),
        (lambda np, _, a: a.view(type("memmap", (np.ndarray,), {"__getitem__": reversed_item})), True),
        (lambda np, _, a: a.view(type("Sub", (np.memmap,), {"__getitem__": reversed_item})), True),
        (patched("__iter__", reversed_iter), True),
        (patched("__buffer__", reversed_buffer), False),
        # numpy.memmap itself is read as a buffer (its __getitem__ is numpy's
        # own): a patched one shows that the element path did not run.
        (patched("__getitem__", reversed_item), False),
    ],
    ids=["ndarray subclass", "named memmap", "memmap subclass", "memmap __iter__", "memmap __buffer__", "memmap"],
)
def test_numpy_subclass_items(np, make, reversed_, monkeypatch):
    data = [1.0, 2.0, 5.0]
    obj = make(np, monkeypatch, np.array(data, dtype=np.float32))
    expected = data[::-1] if reversed_ else data
    assert bits(cosine_similarity(obj, [1.0, 0.0, 0.0])) == bits(cosine_similarity(expected, [1.0, 0.0, 0.0]))


@pytest.mark.parametrize("length, size", [(2**62, 2**64 - 1), (2**61, 2**63)])
def test_buffer_larger_than_memory(np, length, size):
    # No memory behind it: the floats it would need can never be allocated.
    # (4 * 2**62 bytes do not fit in a size_t and are reported as the largest.)
    huge = np.broadcast_to(np.zeros(1, np.uint8), (length,))
    store = Vectorstore(2, [([1.0, 2.0], 1)])
    before = store.search([1.0, 0.0], 5)
    for call in [
        lambda: store.insert(huge, 2),
        lambda: store.search(huge, 1),
        lambda: cosine_similarity([1.0], huge),
        lambda: Vectorstore(2, [([1.0, 2.0], 1), (huge, 2)]),
    ]:
        with pytest.raises(MemoryError) as info:
            call()
        assert type(info.value) is MemoryError
        assert info.value.args == (f"memory allocation of {size} bytes failed",)
    assert len(store) == 1 and store.search([1.0, 0.0], 5) == before


def test_numpy_matches_float32_arithmetic(np):
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((20, 128)).astype(np.float32)
    store = Vectorstore(128)
    for i, row in enumerate(rows):
        store.insert(row, i)
    from_lists = Vectorstore(128, [(row.tolist(), i) for i, row in enumerate(rows)])
    for query in [rows[3], rows[::-1][5], rng.standard_normal(128), rng.standard_normal(256)[::2]]:
        assert store.search(query, 20) == from_lists.search(query.tolist(), 20)


def module_folder():
    spec = tessaray.__spec__
    folder = os.path.dirname(spec.origin)
    return os.path.dirname(folder) if spec.submodule_search_locations else folder


def test_works_without_numpy():
    code = textwrap.dedent(
        """
        import array, sys
        sys.path.insert(0, FOLDER)
        try:
            import numpy
        except ImportError:
            pass
        else:
            raise SystemExit("numpy is importable")
        import tessaray
        s = tessaray.Vectorstore(3)
        s.insert(array.array("f", [1.0, 2.0, 3.0]), 1)
        s.insert(memoryview(b"abc"), 2)
        s.insert(bytes([3, 2, 1]), 3)
        print(s.search([1.0, 2.0, 3.0], 3), tessaray.cosine_similarity(bytearray(b"ab"), [1, 2]))
        assert "numpy" not in sys.modules, "numpy was imported"
        """
    ).replace("FOLDER", repr(module_folder()))
    # -I: no environment, no user site; -S: no site folders, where numpy lives.
    done = subprocess.run([sys.executable, "-I", "-S", "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr + done.stdout
    first = done.stdout.split("]")[0] + "]"
    assert first == repr(Vectorstore(3, [([1.0, 2.0, 3.0], 1), ([97, 98, 99], 2), ([3, 2, 1], 3)]).search([1.0, 2.0, 3.0], 3))

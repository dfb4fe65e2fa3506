"""Binding of arguments to parameters and conversion of values."""
import struct
import sys

import pytest

from helpers import FloatHook, IterCallRaises, IterNotIterator, IterOnly, IterRaises, LenHint
from tessaray import Vectorstore, cosine_similarity

S = Vectorstore(3)
Q = [1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: S.search([1.0, 2.0], 5, 6), "Vectorstore.search() takes 2 positional arguments but 3 were given"),
        (
            lambda: S.parallel_search([1.0], 1, 2, 3),
            "Vectorstore.parallel_search() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (lambda: Vectorstore(1, None, 3), "Vectorstore.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Vectorstore(), "Vectorstore.__new__() missing 1 required positional argument: 'vector_size'"),
        (lambda: cosine_similarity(), "cosine_similarity() missing 2 required positional arguments: 'vec1' and 'vec2'"),
        (lambda: S.search(vector=[1.0]), "Vectorstore.search() missing 1 required positional argument: 'top_k'"),
        (lambda: S.search([1.0], k=5), "Vectorstore.search() got an unexpected keyword argument 'k'"),
        (lambda: Vectorstore(3, vector_size=4), "Vectorstore.__new__() got multiple values for argument 'vector_size'"),
        (lambda: S.insert([1.0], vector=[2.0]), "Vectorstore.insert() got multiple values for argument 'vector'"),
        # Precedence: too many positionals, then unexpected keywords, then missing ones.
        (lambda: S.search(1, 2, 3, k=1), "Vectorstore.search() takes 2 positional arguments but 3 were given"),
        (lambda: S.search(k=1), "Vectorstore.search() got an unexpected keyword argument 'k'"),
        (lambda: S.insert(**{"\udc80": 1}), None),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert info.value.args == (message,)


def test_missing_three_names_list():
    # No callable has three required parameters; the list format is still
    # visible with two missing plus the "and" joiner.
    with pytest.raises(TypeError, match=r"^Vectorstore.parallel_search\(\) missing 2 required positional arguments: 'vector' and 'top_k'$"):
        S.parallel_search()


def test_keywords_bind_in_any_order():
    store = Vectorstore(vector_size=2, vectors=[([1.0, 0.0], 1)])
    assert store.search(top_k=1, vector=[1.0, 0.0]) == [(1.0, 1)]
    assert store.parallel_search(n_threads=None, top_k=1, vector=[1.0, 0.0]) == [(1.0, 1)]
    assert cosine_similarity(vec2=[1.0], vec1=[2.0]) == 1.0


def changing_list(items, change, value):
    """A list whose one None item becomes a number that, when converted,
    calls change(list) and stands for `value`."""

    class Changes:
        def __float__(self):
            change(lst)
            return value

    lst = [Changes() if x is None else x for x in items]
    return lst


@pytest.mark.parametrize(
    "vector, stored",
    [
        (bytes([1, 2, 3]), [1.0, 2.0, 3.0]),
        ((1.0, 2.0, 3.0), [1.0, 2.0, 3.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([1, True, 2.5], [1.0, 1.0, 2.5]),
        ([1e39, 0, 0], [float("inf"), 0.0, 0.0]),
        ([-1e39, 0, 0], [float("-inf"), 0.0, 0.0]),
        (LenHint([1.0, 0.0, 0.0], RuntimeError("no length")), [1.0, 0.0, 0.0]),
        (LenHint([1.0, 0.0, 0.0], sys.maxsize), [1.0, 0.0, 0.0]),
        (LenHint([1.0, 0.0, 0.0], 0), [1.0, 0.0, 0.0]),
        (bytearray(b"\x00\x01\x02"), [0.0, 1.0, 2.0]),
        # A list changed by its own item's conversion is read on by index
        # (made afresh for each run, since the call changes it).
        (lambda: changing_list([1.0, None, 7.0, 7.0, 7.0], lambda l: l.__setitem__(slice(2, None), [3.0]), 2.0), [1.0, 2.0, 3.0]),
        (lambda: changing_list([None], lambda l: l.extend([2.0, 3.0]), 1.0), [1.0, 2.0, 3.0]),
    ],
)
def test_vectors_accepted(vector, stored):
    if callable(vector):
        vector = vector()
    store = Vectorstore(3)
    store.insert(vector, 7)
    # The stored vector is recovered through its scores against unit queries.
    for axis in range(3):
        q = [0.0, 0.0, 0.0]
        q[axis] = 1.0
        score = store.search(q, 1)[0][0]
        assert struct.pack("d", score) == struct.pack("d", cosine_similarity(q, stored))


def test_float_rounding_to_nearest_32_bit():
    # 1 + 2**-24 is a tie between two floats: rounds to even (1.0).
    # 1 + 3 * 2**-24 rounds up.
    assert cosine_similarity([1 + 2**-24], [1.0]) == 1.0
    x = 1 + 3 * 2**-24
    assert struct.unpack("f", struct.pack("f", x))[0] == 1 + 2**-22


@pytest.mark.parametrize(
    "vector, exc, message",
    [
        ("abc", TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        (None, TypeError, "argument 'vector': 'None' is not an instance of 'Sequence'"),
        ({1: 2}, TypeError, "argument 'vector': 'dict' object is not an instance of 'Sequence'"),
        ({1.0}, TypeError, "argument 'vector': 'set' object is not an instance of 'Sequence'"),
        ((x for x in [1.0]), TypeError, "argument 'vector': 'generator' object is not an instance of 'Sequence'"),
        (5, TypeError, "argument 'vector': 'int' object is not an instance of 'Sequence'"),
        (["x", 0, 0], TypeError, None),
        ([10**400, 0, 0], OverflowError, "int too large to convert to float"),
        ([FloatHook(result="x"), 0, 0], TypeError, None),
        ([FloatHook(exc=ValueError("v")), 0, 0], ValueError, "v"),
        (IterOnly([1.0, 0, 0]), TypeError, "argument 'vector': 'IterOnly' object is not an instance of 'Sequence'"),
        (IterRaises([1.0, 2.0, 3.0], 2, RuntimeError("it")), RuntimeError, "it"),
        (IterCallRaises([1.0, 0, 0], TypeError("it")), TypeError, "argument 'vector': it"),
        (IterNotIterator([1.0, 0, 0]), TypeError, None),
        (LenHint([1.0], sys.maxsize), ValueError, "vector has length 1 but vectorstore expects 3"),
    ],
)
def test_vector_conversion_errors(store3, vector, exc, message):
    with pytest.raises(exc) as info:
        store3.insert(vector, 1)
    if message is not None:
        assert info.value.args == (message,)
    else:
        assert info.value.args[0].startswith("argument 'vector': ")
    assert len(store3) == 0


@pytest.mark.parametrize(
    "ident, exc, prefixed",
    [(-1, OverflowError, False), (2**64, OverflowError, False), (1.0, TypeError, True), ("3", TypeError, True)],
)
def test_id_conversion_errors(store3, ident, exc, prefixed):
    with pytest.raises(exc) as info:
        store3.insert([1.0, 2.0, 3.0], ident)
    assert type(info.value) is exc
    assert info.value.args[0].startswith("argument 'id': ") == prefixed
    assert len(store3) == 0


def test_integer_arguments_use_index(store3):
    class Index:
        def __index__(self):
            return 2**64 - 1

    store3.insert([1.0, 2.0, 3.0], 2**64 - 1)
    store3.insert([1.0, 2.0, 3.0], Index())
    assert [i for _, i in store3.search(Q, True)] == [2**64 - 1]
    assert store3.parallel_search(Q, 5, None) == store3.parallel_search(Q, 5)


def test_argument_error_keeps_cause(store3):
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        store3.insert([Bad(), 1.0, 1.0], 1)
    assert info.value.args == ("argument 'vector': outer",)
    assert isinstance(info.value.__cause__, KeyError)


def test_other_exceptions_pass_unchanged(store3):
    class SubTypeError(TypeError):
        pass

    for exc in (ValueError("v"), SubTypeError("s"), RuntimeError("r")):
        with pytest.raises(type(exc)) as info:
            store3.insert([FloatHook(exc=exc), 1.0, 1.0], 1)
        assert info.value is exc


def test_unprintable_type_error(store3):
    class Bad:
        def __float__(self):
            e = TypeError()
            e.args = (Exploding(),)
            raise e

    class Exploding:
        def __str__(self):
            raise ValueError("no text")

    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u.exc_type)
    try:
        with pytest.raises(TypeError) as info:
            store3.insert([Bad()], 1)
    finally:
        sys.unraisablehook = old
    assert info.value.args == ("argument 'vector': <unprintable TypeError object>",)
    assert seen == [ValueError]


@pytest.mark.parametrize(
    "vectors, exc, message",
    [
        ("ab", TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'vectors': 'int' object is not an instance of 'Sequence'"),
        ([[1.0, 2.0], 3], TypeError, "argument 'vectors': 'list' object is not an instance of 'tuple'"),
        ([([1.0, 2.0], 3, 4)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("ab", 3)], TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        ([([1.0, 2.0], -3)], OverflowError, None),
        # A conversion failure anywhere wins over a length mismatch earlier.
        ([([1.0], 1), ([1.0, 2.0], "x")], TypeError, None),
        ([([1.0, 2.0], 7), ([1.0], 8)], ValueError, "vector has length 1 but vectorstore expects 2"),
    ],
)
def test_constructor_vectors_errors(vectors, exc, message):
    with pytest.raises(exc) as info:
        Vectorstore(2, vectors)
    assert type(info.value) is exc
    if message is not None:
        assert info.value.args == (message,)


def test_vector_size_errors_skip_vectors():
    with pytest.raises(OverflowError):
        Vectorstore(-1)
    with pytest.raises(TypeError, match=r"^argument 'vector_size': "):
        Vectorstore("3", "not even looked at")


def test_result_shape():
    store = Vectorstore(2, [([1.0, 0.0], i) for i in range(5)])
    result = store.search([1.0, 0.0], 3)
    assert type(result) is list and len(result) == 3
    assert all(type(t) is tuple and len(t) == 2 and type(t[0]) is float and type(t[1]) is int for t in result)
    assert Vectorstore(2).search([1.0, 0.0], 3) == []

"""Property tests at every entry point.

Each generated argument carries the outcome it must give: a value, or an
error description.  A call with bad input raises exactly the described error
and leaves the store as it was (length, vector size and search results); a
call with good input matches the same call made with plain floats and ints.
"""
import array
import collections
import sys

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from helpers import (  # noqa: E402
    FloatHook,
    GetitemSeq,
    IndexHook,
    IterCallRaises,
    IterNotIterator,
    IterOnly,
    IterRaises,
    LenHint,
    bits,
    key,
)
from tessaray import Vectorstore, cosine_similarity  # noqa: E402

# Not repeated by the debug interpreter's leak check: Hypothesis keeps state of
# its own between runs and resets numpy's random state around every example
# (numpy's references are not in the debug total), and four runs of each
# would take minutes.  The kinds of bad input drawn here are repeated there
# through the parametrized tests of test_binding.py and test_module.py.
pytestmark = pytest.mark.no_leak_check

SETTINGS = settings(
    max_examples=400,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
DIM = 3
U64_MAX = 2**64 - 1


# ---------------------------------------------------------------------------
# Outcomes.


class Ok:
    def __init__(self, value):
        self.value = value


class Err:
    """An expected error: `kind` is "prefixed" (TypeError with the argument
    name in front of `message`, or any message when None), "same" (this very
    exception object) or "exact" (this type exactly, unprefixed, and this
    message unless None)."""

    def __init__(self, kind, message=None, exc_type=None, obj=None):
        self.kind, self.message, self.exc_type, self.obj = kind, message, exc_type, obj

    def check(self, raised, argname):
        if self.kind == "same":
            assert raised is self.obj, (raised, self.obj)
        elif self.kind == "prefixed":
            assert type(raised) is TypeError, raised
            assert len(raised.args) == 1, raised.args
            prefix = f"argument '{argname}': "
            if self.message is None:
                assert raised.args[0].startswith(prefix), raised.args
            else:
                assert raised.args == (prefix + self.message,)
        else:
            assert type(raised) is self.exc_type, (raised, self.exc_type)
            assert not str(raised).startswith("argument '"), raised
            if self.message is not None:
                assert raised.args == (self.message,)


def raised_by(exc):
    """What a conversion gives when a hook raises `exc`."""
    if type(exc) is TypeError:
        return Err("prefixed", str(exc))
    return Err("same", obj=exc)


def first_error(outcomes):
    for o in outcomes:
        if isinstance(o, Err):
            return o
    return None


def combine(outcomes):
    return first_error(outcomes) or Ok([o.value for o in outcomes])


# ---------------------------------------------------------------------------
# Elements of a vector.


class Opaque:
    pass


class SubTypeError(TypeError):
    pass


exceptions = st.sampled_from(
    [
        lambda: TypeError("bad value"),
        lambda: TypeError(),
        lambda: SubTypeError("sub"),
        lambda: ValueError("v"),
        lambda: RuntimeError("r"),
        lambda: KeyError("k"),
        lambda: ZeroDivisionError("z"),
        lambda: OverflowError("o"),
    ]
).map(lambda make: make())

plain_floats = st.floats(allow_nan=True, allow_infinity=True).map(lambda x: (x, Ok(x)))
plain_ints = st.integers(-(2**1000), 2**1000).map(lambda i: (i, Ok(float(i))))


def odd_element():
    too_big = st.one_of(st.integers(min_value=2**1024), st.integers(max_value=-(2**1024)))
    return st.one_of(
        st.booleans().map(lambda b: (b, Ok(float(b)))),
        too_big.map(lambda i: (i, Err("exact", "int too large to convert to float", OverflowError))),
        st.floats(allow_nan=False).map(lambda x: (FloatHook(result=x), Ok(x))),
        exceptions.map(lambda e: (FloatHook(exc=e), raised_by(e))),
        st.sampled_from(["1.0", 1, None, [1.0]]).map(lambda r: (FloatHook(result=r), Err("prefixed"))),
        st.integers(-(2**60), 2**60).map(lambda i: (IndexHook(result=i), Ok(float(i)))),
        too_big.map(lambda i: (IndexHook(result=i), Err("exact", None, OverflowError))),
        exceptions.map(lambda e: (IndexHook(exc=e), raised_by(e))),
        st.sampled_from([1.5, "2", None]).map(lambda r: (IndexHook(result=r), Err("prefixed"))),
        st.sampled_from(["1.0", None, [1.0], (1.0,), {}, b"x", 1j]).map(lambda v: (v, Err("prefixed"))),
        st.builds(Opaque).map(lambda v: (v, Err("prefixed"))),
    )


elements = st.one_of(plain_floats, plain_floats, plain_ints, odd_element())
element_lists = st.one_of(
    st.lists(elements, min_size=DIM, max_size=DIM),
    st.lists(elements, min_size=DIM, max_size=DIM),
    st.lists(elements, max_size=6),
)


# ---------------------------------------------------------------------------
# Sequences.


class StrSub(str):
    pass


# An exception object is made per example: one kept across examples would keep
# the frames of the last raise, and with them the whole run, alive.
lengths = st.sampled_from(
    [sys.maxsize, 2**40, 0, 1, 10**6, -1, 2**70, "3", None, 3.0, RuntimeError, TypeError]
).map(lambda v: v("len") if isinstance(v, type) else v)


@st.composite
def sequences(draw, items_strategy, none_means_empty=False):
    """A container of drawn (object, outcome) items, with its outcome."""
    items = draw(items_strategy)
    objs = [o for o, _ in items]
    outcome = combine([e for _, e in items])
    kind = draw(st.integers(0, 14))
    if kind <= 2:
        return list(objs), outcome
    if kind == 3:
        return tuple(objs), outcome
    if kind == 4:
        return GetitemSeq(objs), outcome
    if kind == 5:
        return LenHint(objs, draw(lengths)), outcome
    if kind == 6:
        return collections.deque(objs), outcome
    if kind == 7:
        count = draw(st.integers(0, len(objs)))
        exc = draw(exceptions)
        return IterRaises(objs, count, exc), first_error([e for _, e in items[:count]]) or raised_by(exc)
    if kind == 8:
        exc = draw(exceptions)
        return IterCallRaises(objs, exc), raised_by(exc)
    if kind == 9:
        return IterNotIterator(objs), Err("prefixed")
    if kind == 10:
        return IterOnly(objs), Err("prefixed", f"'IterOnly' object is not an instance of 'Sequence'")
    if kind == 11:
        text = draw(st.sampled_from(["", "abc", StrSub("1,2,3")]))
        return text, Err("prefixed", "Can't extract `str` to `Vec`")
    if kind == 12:
        value = draw(st.sampled_from([{}, {1: 2}, set(), frozenset([1.0]), 5, 1.5, (x for x in [])]))
        return value, Err("prefixed", f"'{type(value).__qualname__}' object is not an instance of 'Sequence'")
    if kind == 13:
        if none_means_empty:
            return None, Ok([])
        return None, Err("prefixed", "'None' is not an instance of 'Sequence'")
    # Built-in sequences of numbers, when every item is a plain number.
    if isinstance(outcome, Err) or any(type(o) not in (float, int) for o in objs):
        return list(objs), outcome
    numbers = [float(o) for o in objs]
    choice = draw(st.integers(0, 3))
    if choice == 0:
        return array.array("d", numbers), Ok(numbers)
    small = [int(abs(x)) % 256 for x in numbers if x == x and abs(x) != float("inf")]
    if choice == 1:
        return bytes(small), Ok([float(x) for x in small])
    if choice == 2:
        return bytearray(small), Ok([float(x) for x in small])
    return range(len(small)), Ok([float(i) for i in range(len(small))])


# Half of the draws are well-formed, so that both sides of each property are exercised.
good_vectors = st.lists(st.one_of(plain_floats, plain_ints), min_size=DIM, max_size=DIM).flatmap(
    lambda items: st.sampled_from([list, tuple]).map(lambda c: (c(o for o, _ in items), combine([e for _, e in items])))
)
vectors = st.one_of(good_vectors, sequences(element_lists))


def u64_values(ok_range=(0, U64_MAX), edges=(0, 1, 2**32, 2**63 - 1, 2**63, U64_MAX)):
    lo, hi = ok_range
    good = st.one_of(st.integers(lo, hi), st.sampled_from([e for e in edges if lo <= e <= hi]))
    out = st.one_of(st.integers(max_value=-1), st.integers(min_value=U64_MAX + 1), st.sampled_from([-1, 2**64, -(2**64), 2**100]))
    return st.one_of(
        good.map(lambda i: (i, Ok(i))),
        good.map(lambda i: (IndexHook(result=i), Ok(i))),
        st.booleans().map(lambda b: (b, Ok(int(b)))),
        out.map(lambda i: (i, Err("exact", None, OverflowError))),
        out.map(lambda i: (IndexHook(result=i), Err("exact", None, OverflowError))),
        exceptions.map(lambda e: (IndexHook(exc=e), raised_by(e))),
        st.sampled_from([1.0, "3", None, [1], 2j, b"1"]).map(lambda v: (v, Err("prefixed"))),
        st.builds(FloatHook, st.just(1.0)).map(lambda v: (v, Err("prefixed"))),
    )


good_u64 = st.integers(0, U64_MAX).map(lambda i: (i, Ok(i)))
ids = st.one_of(good_u64, u64_values())
top_ks = st.one_of(st.integers(0, 10).map(lambda i: (i, Ok(i))), u64_values())


# ---------------------------------------------------------------------------
# Stores and their state.


QUERIES = [[1.0, 0.0, 0.0], [0.0, -1.0, 2.0], [0.0, 0.0, 0.0]]


def state(store):
    return (
        len(store),
        store.vector_size,
        repr(store),
        [key(store.search(q, 100)) for q in QUERIES],
        key(store.parallel_search(QUERIES[0], 100, 3)),
    )


def make_store():
    return Vectorstore(DIM, [([1.0, 2.0, 3.0], 1), ([0.0, 1.0, 0.0], U64_MAX), ([1.0, 2.0, 3.0], 0), ([-1.0, 0.5, 0.0], 7)])


def length_error(what, n):
    return Err("exact", f"{what} has length {n} but vectorstore expects {DIM}", ValueError)


# ---------------------------------------------------------------------------
# The properties.


@SETTINGS
@given(vector=vectors, ident=ids)
def test_insert(vector, ident):
    (vec_obj, vec_out), (id_obj, id_out) = vector, ident
    store = make_store()
    before = state(store)
    if isinstance(vec_out, Err):
        expected, argname = vec_out, "vector"
    elif isinstance(id_out, Err):
        expected, argname = id_out, "id"
    elif len(vec_out.value) != DIM:
        expected, argname = length_error("vector", len(vec_out.value)), None
    else:
        expected = None
    event("error" if expected else "success")
    if expected is None:
        assert store.insert(vec_obj, id_obj) is None
        reference = make_store()
        reference.insert(vec_out.value, id_out.value)
        assert state(store) == state(reference)
        return
    with pytest.raises(BaseException) as info:
        store.insert(vec_obj, id_obj)
    expected.check(info.value, argname)
    assert state(store) == before


@SETTINGS
@given(vector=vectors, top_k=top_ks, n_threads=st.one_of(st.none().map(lambda n: (n, Ok(n))), u64_values()),
       parallel=st.booleans(), keywords=st.booleans())
def test_search(vector, top_k, n_threads, parallel, keywords):
    (vec_obj, vec_out), (k_obj, k_out), (n_obj, n_out) = vector, top_k, n_threads
    store = make_store()
    before = state(store)
    checks = [(vec_out, "vector"), (k_out, "top_k")] + ([(n_out, "n_threads")] if parallel else [])
    expected = next(((o, name) for o, name in checks if isinstance(o, Err)), None)
    if expected is None and len(vec_out.value) != DIM:
        expected = (length_error("query", len(vec_out.value)), None)

    event("error" if expected else "success")

    def call():
        if parallel:
            if keywords:
                return store.parallel_search(n_threads=n_obj, top_k=k_obj, vector=vec_obj)
            return store.parallel_search(vec_obj, k_obj, n_obj)
        if keywords:
            return store.search(top_k=k_obj, vector=vec_obj)
        return store.search(vec_obj, k_obj)

    if expected is None:
        got = call()
        assert key(got) == key(store.search(vec_out.value, k_out.value))
        assert len(got) == min(k_out.value, len(store))
    else:
        with pytest.raises(BaseException) as info:
            call()
        expected[0].check(info.value, expected[1])
    assert state(store) == before


@SETTINGS
@given(vec1=vectors, vec2=vectors)
def test_cosine_similarity(vec1, vec2):
    (a_obj, a_out), (b_obj, b_out) = vec1, vec2
    if isinstance(a_out, Err) or isinstance(b_out, Err):
        expected, argname = (a_out, "vec1") if isinstance(a_out, Err) else (b_out, "vec2")
        with pytest.raises(BaseException) as info:
            cosine_similarity(a_obj, b_obj)
        expected.check(info.value, argname)
    elif len(a_out.value) != len(b_out.value):
        with pytest.raises(ValueError) as info:
            cosine_similarity(a_obj, b_obj)
        assert info.value.args == (f"vectors have different dimensions ({len(a_out.value)} vs {len(b_out.value)})",)
    else:
        got = cosine_similarity(a_obj, b_obj)
        assert bits(got) == bits(cosine_similarity(a_out.value, b_out.value))


Pair = collections.namedtuple("Pair", "vector id")


@st.composite
def pair_items(draw):
    vec_obj, vec_out = draw(sequences(st.lists(elements, min_size=2, max_size=2) | st.lists(elements, max_size=3)))
    id_obj, id_out = draw(ids)
    inner = first_error([vec_out, id_out]) or Ok((vec_out.value, id_out.value))
    kind = draw(st.integers(0, 6))
    if kind <= 3:
        return (vec_obj, id_obj), inner
    if kind == 4:
        return Pair(vec_obj, id_obj), inner
    if kind == 5:
        return [vec_obj, id_obj], Err("prefixed", "'list' object is not an instance of 'tuple'")
    junk = draw(st.sampled_from([(), (vec_obj,), (vec_obj, id_obj, 1), None, 5]))
    if isinstance(junk, tuple):
        return junk, Err("exact", f"expected tuple of length 2, but got tuple of length {len(junk)}", ValueError)
    if junk is None:
        return junk, Err("prefixed", "'None' is not an instance of 'tuple'")
    return junk, Err("prefixed", "'int' object is not an instance of 'tuple'")


@SETTINGS
@given(
    size=u64_values(ok_range=(0, 3), edges=(0, 1, 2, 3)) | st.sampled_from([2**63, U64_MAX]).map(lambda s: (s, Ok(s))),
    pairs=st.none().map(lambda v: (v, Ok([]))) | sequences(st.lists(pair_items(), max_size=4), none_means_empty=True),
    keywords=st.booleans(),
)
def test_constructor(size, pairs, keywords):
    (size_obj, size_out), (pairs_obj, pairs_out) = size, pairs

    def call():
        if keywords:
            return Vectorstore(vectors=pairs_obj, vector_size=size_obj)
        return Vectorstore(size_obj, pairs_obj)

    expected = None
    if isinstance(size_out, Err):
        expected = (size_out, "vector_size")
    elif isinstance(pairs_out, Err):
        expected = (pairs_out, "vectors")
    else:
        for vec, _ in pairs_out.value:
            if len(vec) != size_out.value:
                expected = (Err("exact", f"vector has length {len(vec)} but vectorstore expects {size_out.value}", ValueError), None)
                break
    event("error" if expected else "success")
    if expected is not None:
        with pytest.raises(BaseException) as info:
            call()
        expected[0].check(info.value, expected[1])
        return
    store = call()
    assert store.vector_size == size_out.value
    assert len(store) == len(pairs_out.value)
    reference = Vectorstore(size_out.value)
    for vec, ident in pairs_out.value:
        reference.insert(vec, ident)
    if size_out.value == DIM:
        assert state(store) == state(reference)
    elif size_out.value <= 3:
        query = [1.0] * size_out.value
        assert key(store.search(query, 10)) == key(reference.search(query, 10))


# ---------------------------------------------------------------------------
# Calling back into the same store from a conversion.

MUTABLY = ("Already mutably borrowed",)
BORROWED = ("Already borrowed",)
ACTIONS = {
    "len": lambda s: len(s),
    "bool": lambda s: bool(s),
    "repr": lambda s: repr(s),
    "vector_size": lambda s: s.vector_size,
    "search": lambda s: s.search([1.0, 0.0, 0.0], 2),
    "parallel_search": lambda s: s.parallel_search([1.0, 0.0, 0.0], 2, 2),
    "insert": lambda s: s.insert([1.0, 1.0, 1.0], 99),
}


class Reentrant:
    """A number (float or index) whose conversion calls back into a store."""

    def __init__(self, action, propagate, log):
        self.action, self.propagate, self.log = action, propagate, log
        self.store = None

    def run(self):
        try:
            self.log.append((self.action, "ok", ACTIONS[self.action](self.store)))
        except RuntimeError as e:
            self.log.append((self.action, "err", e.args, e))
            if self.propagate:
                raise

    def __float__(self):
        self.run()
        return 1.0

    def __index__(self):
        self.run()
        return 1


@SETTINGS
@given(
    op=st.sampled_from(["insert", "search", "parallel_search", "cosine"]),
    hooks=st.lists(st.tuples(st.sampled_from(sorted(ACTIONS)), st.booleans()), min_size=1, max_size=4),
    positions=st.lists(st.integers(0, DIM), min_size=4, max_size=4),
)
def test_reentrant_calls(op, hooks, positions):
    if op == "cosine":
        hooks = [(a, p) for a, p in hooks if a != "insert"]
    store = make_store()
    before = state(store)
    log = []
    made = [Reentrant(a, p, log) for a, p in hooks]
    for r in made:
        r.store = store
    vector = [1.0, 2.0, 3.0]
    second = 1  # the id or top_k
    for r, pos in zip(made, positions):
        if pos == DIM:
            second = r  # converted after the vector
        else:
            vector[pos] = r
    # Hooks run in the order the conversion reaches them.
    order = [v for v in vector if isinstance(v, Reentrant)] + ([second] if isinstance(second, Reentrant) else [])

    exclusive = op == "insert"
    expect_log = []
    raised = None
    for r in order:
        if exclusive:
            refused = BORROWED if r.action == "insert" else MUTABLY
        else:
            refused = BORROWED if r.action == "insert" else None
        expect_log.append((r.action, refused))
        if refused is not None and r.propagate:
            raised = len(expect_log) - 1
            break

    def call():
        if op == "insert":
            return store.insert(vector, second)
        if op == "search":
            return store.search(vector, second)
        if op == "parallel_search":
            return store.parallel_search(vector, second, 2)
        return cosine_similarity(vector, [1.0, 1.0, second if isinstance(second, Reentrant) else 1.0])

    if raised is not None:
        with pytest.raises(RuntimeError) as info:
            call()
        assert info.value is log[raised][3]
    else:
        call()
    assert [(entry[0], entry[2] if entry[1] == "err" else None) for entry in log] == expect_log
    for entry in log:
        if entry[1] == "ok" and entry[0] in ("search", "parallel_search"):
            assert key(entry[2]) == key(make_store().search([1.0, 0.0, 0.0], 2))
        if entry[1] == "ok" and entry[0] == "len":
            assert entry[2] == before[0]
    after = state(store)
    if op == "insert" and raised is None:
        assert after[0] == before[0] + 1
        reference = make_store()
        reference.insert([1.0 if isinstance(v, Reentrant) else v for v in vector], 1)
        assert after == state(reference)
    else:
        assert after == before

"""The Vectorstore class, its store and its borrow rules."""
import gc
import inspect
import sys
import weakref

import pytest

import tessaray
from helpers import FloatHook
from tessaray import Vectorstore


def test_class_surface():
    assert Vectorstore.__module__ == "builtins"
    assert Vectorstore.__qualname__ == "Vectorstore"
    assert repr(Vectorstore) == "<class 'builtins.Vectorstore'>"
    assert Vectorstore.__doc__ == ""
    assert Vectorstore.__text_signature__ == "(vector_size, vectors=None)"
    assert str(inspect.signature(Vectorstore)) == "(vector_size, vectors=None)"
    assert Vectorstore.insert.__text_signature__ == "($self, vector, id)"
    assert Vectorstore.search.__text_signature__ == "($self, vector, top_k)"
    assert Vectorstore.parallel_search.__text_signature__ == "($self, vector, top_k, n_threads=None)"
    assert Vectorstore.insert.__doc__ is None
    assert not hasattr(Vectorstore, "__getitem__") and not hasattr(Vectorstore, "__iter__")


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Vectorstore,), {})


def test_attributes_are_fixed(store3):
    with pytest.raises(AttributeError):
        store3.vector_size = 4
    with pytest.raises(AttributeError):
        del store3.vector_size
    with pytest.raises(AttributeError):
        store3.other = 1
    with pytest.raises(TypeError):
        weakref.ref(store3)
    assert store3.vector_size == 3


@pytest.mark.parametrize("args", [(3,), (3, None), (3, [])])
def test_empty_constructions(args):
    store = Vectorstore(*args)
    assert repr(store) == "Vectorstore(vector_size=3, len=0)"
    assert len(store) == 0 and not store


def test_insert_len_repr_bool():
    store = Vectorstore(2, [([1.0, 2.0], 7), ((3.0, 4.0), 7)])
    assert len(store) == 2 and bool(store)
    store.insert([5.0, 6.0], 7)  # duplicate ids are kept
    assert repr(store) == "Vectorstore(vector_size=2, len=3)"
    assert [i for _, i in store.search([1.0, 0.0], 10)] == [7, 7, 7]


def test_size_zero_store():
    store = Vectorstore(0)
    store.insert([], 5)
    assert len(store) == 1
    with pytest.raises(ValueError) as info:
        store.insert([1.0], 5)
    assert info.value.args == ("vector has length 1 but vectorstore expects 0",)
    assert store.search([], 3) == [(0.0, 5)]


def test_failed_insert_changes_nothing(store3):
    store3.insert([1.0, 0.0, 0.0], 1)
    before = store3.search([1.0, 1.0, 1.0], 10)
    with pytest.raises(ValueError, match="^vector has length 2 but vectorstore expects 3$"):
        store3.insert([1.0, 2.0], 2)
    # The id is converted before the length is checked.
    with pytest.raises(OverflowError):
        store3.insert([1.0, 2.0], -1)
    assert len(store3) == 1
    assert store3.search([1.0, 1.0, 1.0], 10) == before


def test_large_vector_size_store_is_cheap():
    store = Vectorstore(2**63)
    assert store.vector_size == 2**63 and len(store) == 0
    with pytest.raises(ValueError):
        store.insert([1.0], 1)


def test_class_refcount_stable():
    gc.collect()
    before = sys.getrefcount(Vectorstore)
    stores = [Vectorstore(2, [([1.0, 2.0], i)]) for i in range(1000)]
    assert sys.getrefcount(Vectorstore) == before + 1000
    del stores
    gc.collect()
    assert sys.getrefcount(Vectorstore) == before


def test_len_inside_insert_is_refused_and_propagates(store3):
    seen = []

    def action():
        try:
            len(store3)
        except RuntimeError as e:
            seen.append(e)
            raise

    with pytest.raises(RuntimeError) as info:
        store3.insert([FloatHook(1.0, action=action), 1.0, 1.0], 1)
    assert info.value.args == ("Already mutably borrowed",)
    assert info.value is seen[0]
    assert len(store3) == 0
    store3.insert([1.0, 1.0, 1.0], 1)


@pytest.mark.parametrize("method", ["search", "parallel_search"])
def test_shared_borrows_stack_and_block_insert(store3, method):
    store3.insert([1.0, 0.0, 0.0], 1)
    results = []

    def action():
        results.append(len(store3))
        results.append(repr(store3))
        results.append(store3.search([1.0, 0.0, 0.0], 1))
        with pytest.raises(RuntimeError) as info:
            store3.insert([1.0, 0.0, 0.0], 2)
        results.append(info.value.args)

    getattr(store3, method)([FloatHook(1.0, action=action), 0.0, 0.0], 3)
    assert results == [1, "Vectorstore(vector_size=3, len=1)", [(1.0, 1)], ("Already borrowed",)]
    store3.insert([1.0, 0.0, 0.0], 2)
    assert len(store3) == 2


def test_vector_size_and_repr_refused_inside_insert(store3):
    errors = []

    def action():
        for f in (lambda: store3.vector_size, lambda: repr(store3), lambda: store3.search([1.0] * 3, 1)):
            try:
                f()
            except RuntimeError as e:
                errors.append(e.args)

    store3.insert([FloatHook(1.0, action=action), 1.0, 1.0], 1)
    assert errors == [("Already mutably borrowed",)] * 3
    assert len(store3) == 1


def test_borrow_released_after_every_failure(store3):
    failing = [
        lambda: store3.insert([1.0], 1),
        lambda: store3.insert("x", 1),
        lambda: store3.insert(),
        lambda: store3.search([1.0], 1),
        lambda: store3.parallel_search([1.0, 1.0, 1.0], -1),
        lambda: store3.insert([FloatHook(1.0, action=lambda: store3.insert([1.0] * 3, 9)), 1.0, 1.0], 1),
    ]
    for call in failing:
        with pytest.raises((TypeError, ValueError, OverflowError, RuntimeError)):
            call()
        store3.insert([1.0, 2.0, 3.0], 1)
    assert len(store3) == len(failing)


def _raw_method(name):
    """The C entry point of a method, callable with any receiver."""
    import ctypes

    descr = Vectorstore.__dict__[name]

    class PyMethodDef(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("meth", ctypes.c_void_p), ("flags", ctypes.c_int), ("doc", ctypes.c_char_p)]

    # A method descriptor: object header, d_type, d_name, d_qualname, d_method.
    header = object.__basicsize__
    method_def_ptr = ctypes.c_void_p.from_address(id(descr) + header + 3 * ctypes.sizeof(ctypes.c_void_p)).value
    method_def = PyMethodDef.from_address(method_def_ptr)
    assert method_def.name == name.encode()
    proto = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t, ctypes.c_void_p
    )
    fn = proto(method_def.meth)
    return lambda receiver, *args: fn(receiver, (ctypes.py_object * len(args))(*args), len(args), None)


def test_receiver_check_for_direct_calls():
    raw_insert = _raw_method("insert")
    with pytest.raises(TypeError) as info:
        raw_insert(5, [1.0], 1)
    assert info.value.args == ("'int' object is not an instance of 'Vectorstore'",)
    with pytest.raises(TypeError) as info:
        raw_insert(None, [1.0], 1)
    assert info.value.args == ("'None' is not an instance of 'Vectorstore'",)
    store = Vectorstore(1)
    raw_insert(store, [1.0], 1)
    assert len(store) == 1


# A native caller that keeps the only reference to the arguments in its own
# containers (the keyword dictionary of PyObject_Call, the pointer array of a
# vector call, here with a list as its hold on them), and an argument whose
# conversion empties that container.  Run in a child so that a crash fails
# one test; on the debug interpreter it also reports the references lost.
NATIVE_CALLER = """
import ctypes, gc, sys
from tessaray import Vectorstore

api = ctypes.pythonapi
api.PyObject_Call.restype = ctypes.py_object
api.PyObject_Call.argtypes = [ctypes.py_object] * 3
api.PyObject_Vectorcall.restype = ctypes.py_object
api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]

class Drops:
    def __init__(self, drop):
        self.drop = drop
    def __index__(self):
        self.drop()
        return 3
    def __float__(self):
        self.drop()
        return 1.0

def call(case):
    if case == "insert":
        held = [Vectorstore(3), [None, 2.0, 3.0], int(str(2**40))]
        held[1][0] = Drops(held.clear)
        args = (ctypes.c_void_p * 3)(*map(id, held))
        return api.PyObject_Vectorcall(Vectorstore.__dict__["insert"], args, 3, None)
    kw = {}
    rows = [([1.0, 2.0, 3.0], int(str(2**40 + i))) for i in range(3)]
    if case == "vector_size":
        kw.update(vector_size=Drops(kw.clear), vectors=rows)
    else:
        rows[0] = ([Drops(kw.clear), 2.0, 3.0], int(str(2**40)))
        kw.update(vector_size=3, vectors=rows)
    del rows
    return len(api.PyObject_Call(Vectorstore, (), kw))

def main(case):
    print(repr(call(case)))
    gc.collect()
    before = getattr(sys, "gettotalrefcount", int)()
    for _ in range(300):
        call(case)
    gc.collect()
    print(getattr(sys, "gettotalrefcount", int)() - before)
"""


@pytest.mark.parametrize("case, result", [("vector_size", "3"), ("vectors", "3"), ("insert", "None")])
def test_arguments_outlive_the_callers_hold(run_python, case, result):
    done = run_python(NATIVE_CALLER + f"main({case!r})\n")
    assert done.returncode == 0, done.stderr
    printed, lost = done.stdout.split()
    assert printed == result
    assert int(lost) < 50

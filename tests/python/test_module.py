"""The module object, the call boundary and PanicException."""
import math
import struct
import sys

import pytest

import tessaray
from helpers import FloatHook, IndexHook
from tessaray import Vectorstore, cosine_similarity


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def test_module_surface():
    assert tessaray.__name__ == "tessaray"
    assert tessaray.__doc__ == ""
    assert tessaray.__all__ == ["Vectorstore", "cosine_similarity"]
    assert cosine_similarity.__module__ == "tessaray"
    assert cosine_similarity.__self__ is None
    assert cosine_similarity.__text_signature__ == "(vec1, vec2)"
    assert cosine_similarity.__doc__ is None
    assert not hasattr(tessaray, "PanicException")


def test_exec_step_twice_appends_all_again():
    import importlib.util

    import ctypes

    spec = tessaray.__spec__
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    # The import system runs the step once per module object; run it again
    # through the C API.
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    assert api.PyModule_ExecDef(fresh, api.PyModule_GetDef(fresh)) == 0
    assert fresh.__all__ == ["Vectorstore", "cosine_similarity"] * 2
    assert fresh.Vectorstore is Vectorstore


def test_exec_step_with_foreign_all():
    import importlib.util

    spec = tessaray.__spec__
    fresh = importlib.util.module_from_spec(spec)
    fresh.__all__ = ("x",)
    with pytest.raises(TypeError, match=r"^'tuple' object is not an instance of 'list'$"):
        spec.loader.exec_module(fresh)


def test_reimport_gives_same_class():
    before = sys.modules.pop("tessaray")
    try:
        import tessaray as again

        assert again is not before
        assert again.Vectorstore is before.Vectorstore
    finally:
        sys.modules["tessaray"] = before


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([], [], 0.0),
        ([0.0, 0.0], [1.0, 2.0], 0.0),
        ([1.0, 0.0], [0.0, 1.0], 0.0),
        ([1.0, 0.0], [-0.0, -1.0], -0.0),
        ([1.0, 1.0], [1.0, 1.0], 1.0000001192092896),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.9999999403953552),
        ([3.0, 4.0], [4.0, 3.0], 0.9599999785423279),
        ([1.0, 2.0], [2.0, 4.0], 1.0),
        ([float("nan")], [0.0], 0.0),
        ([1e-30], [1e-30], 0.0),
        ([1e20, 0.0], [0.0, 1.0], 0.0),
    ],
)
def test_cosine_examples_bit_exact(a, b, expected):
    for x, y in ((a, b), (b, a)):
        got = cosine_similarity(x, y)
        assert type(got) is float
        assert struct.pack("<d", got) == struct.pack("<d", expected), (x, y, got)


@pytest.mark.parametrize("a, b", [([float("nan"), 1.0], [1.0, 1.0]), ([1e20], [1e20])])
def test_cosine_nan(a, b):
    assert math.isnan(cosine_similarity(a, b))
    assert math.isnan(cosine_similarity(b, a))


def test_cosine_is_float32_arithmetic():
    # Products and sums rounded to 32 bits one at a time, in index order.
    a = [0.1, 0.2, 0.3, 1e-3, 7.5]
    b = [0.7, -0.3, 0.9, 4.0, -2.25]
    fa, fb = [f32(x) for x in a], [f32(x) for x in b]

    def dot(x, y):
        acc = -0.0
        for u, v in zip(x, y):
            acc = f32(acc + f32(u * v))
        return acc

    ra, rb = f32(math.sqrt(dot(fa, fa))), f32(math.sqrt(dot(fb, fb)))
    expected = f32(dot(fa, fb) / f32(ra * rb))
    assert cosine_similarity(a, b) == expected


def test_cosine_length_mismatch():
    with pytest.raises(ValueError) as info:
        cosine_similarity([1.0, 2.0, 3.0], [1.0, 2.0])
    assert info.value.args == ("vectors have different dimensions (3 vs 2)",)


def test_cosine_vec1_reported_before_vec2():
    with pytest.raises(TypeError, match=r"^argument 'vec1': "):
        cosine_similarity("a", None)
    with pytest.raises(TypeError, match=r"^argument 'vec2': "):
        cosine_similarity([1.0], None)


def test_module_errors_have_one_message_arg(store3):
    for call in (
        lambda: cosine_similarity([1.0], []),
        lambda: store3.insert([1.0], 1),
        lambda: store3.search([1.0], 1),
        lambda: store3.insert("x", 1),
        lambda: cosine_similarity(),
        lambda: store3.insert([1.0, 2.0, 3.0], 1.5),
    ):
        with pytest.raises(Exception) as info:
            call()
        assert len(info.value.args) == 1 and isinstance(info.value.args[0], str)


def panic_exception_class():
    # The class is made on first need (here: the first error taken from
    # Python code) and is reachable only as a subclass of BaseException.
    with pytest.raises(TypeError):
        cosine_similarity([object()], [1.0])
    (cls,) = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]
    return cls


def test_panic_exception_class():
    cls = panic_exception_class()
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert len(cls.__doc__.splitlines()) == 6


# Every place where a conversion runs Python code, with the number it converts.
PANIC_CALLS = {
    "insert": lambda store, e: store.insert([1.0, FloatHook(exc=e), 2.0], 1),
    "insert_id": lambda store, e: store.insert([1.0, 1.0, 2.0], IndexHook(exc=e)),
    "search": lambda store, e: store.search([FloatHook(exc=e), 1.0, 2.0], 1),
    "parallel_search": lambda store, e: store.parallel_search([1.0, 1.0, 2.0], 1, IndexHook(exc=e)),
    "cosine": lambda store, e: cosine_similarity([1.0], [FloatHook(exc=e)]),
    "constructor": lambda store, e: Vectorstore(2, [([1.0, FloatHook(exc=e)], 1)]),
}


@pytest.mark.parametrize("call", PANIC_CALLS.values(), ids=PANIC_CALLS)
def test_panic_from_python_code_is_resumed(capfd, store3, call):
    cls = panic_exception_class()
    raised = cls("the message")
    with pytest.raises(BaseException) as info:
        try:
            call(store3, raised)
        except Exception:  # a PanicException is no Exception
            pytest.fail("caught by except Exception")
    assert type(info.value) is cls
    assert info.value is not raised
    assert info.value.args == ("the message",)
    err = capfd.readouterr().err
    assert "resuming a panic" in err
    assert "Python stack trace below:" in err
    assert "the message" in err and "Traceback" in err
    assert len(store3) == 0
    store3.insert([1.0, 2.0, 3.0], 1)  # the borrow was given back


def test_panic_subclass_is_not_resumed(store3):
    sub = type("SubPanic", (panic_exception_class(),), {})
    raised = sub("m")
    with pytest.raises(sub) as info:
        store3.search([FloatHook(exc=raised), 1.0, 2.0], 1)
    assert info.value is raised


def test_panic_with_failing_str(capfd):
    cls = panic_exception_class()
    bad = type("BadStr", (), {"__str__": lambda self: 1 / 0})()
    with pytest.raises(cls) as info:
        cosine_similarity([FloatHook(exc=cls(bad))], [1.0])
    assert info.value.args == ("Unwrapped panic from Python code",)
    capfd.readouterr()

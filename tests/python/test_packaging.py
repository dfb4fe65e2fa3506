"""The pip metadata, the type stub against the module, and (when the
packaging stage passes TESSARAY_INSTALLED) the installed copy."""
import ast
import glob
import importlib
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap
import tomllib

import pytest

import tessaray

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SRC = os.path.join(ROOT, "src")
STUB = os.path.join(SRC, "tessaray.pyi")
INSTALLED = os.environ.get("TESSARAY_INSTALLED")


def pyproject():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)


def cmake_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tessaray VERSION (\S+)", f.read()).group(1)


@pytest.mark.parametrize(
    "key, expected",
    [
        (("build-system", "build-backend"), "scikit_build_core.build"),
        (("project", "name"), "tessaray"),
        (("project", "version"), "0.1.0"),
        (("project", "license"), "MIT"),
        (("project", "requires-python"), ">=3.14"),
        (("tool", "scikit-build", "cmake", "define", "TESSARAY_BUILD_TESTS"), "OFF"),
        (("tool", "scikit-build", "cmake", "define", "TESSARAY_BUILD_BENCH"), "OFF"),
        (("project", "optional-dependencies", "numpy"), ["numpy>=1.25"]),
        (("project", "optional-dependencies", "dask"), ["distributed>=2024.12.1", "numpy>=1.25"]),
        (("project", "optional-dependencies", "test"), ["pytest>=8", "hypothesis>=6", "numpy>=1.25", "distributed>=2024.12.1"]),
    ],
)
def test_pyproject(key, expected):
    value = pyproject()
    for part in key:
        value = value[part]
    assert value == expected


def test_versions_agree():
    assert pyproject()["project"]["version"] == cmake_version()
    assert "Programming Language :: Python :: 3.14" in pyproject()["project"]["classifiers"]
    assert not pyproject()["project"].get("dependencies"), "numpy or anything else must not be required"


def stub_tree():
    with open(STUB) as f:
        return ast.parse(f.read())


def stub_params(fn):
    args = fn.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    present = [False] * (len(args.args) - len(args.defaults)) + [True] * len(args.defaults)
    return [(a.arg, p, d) for a, p, d in zip(args.args, present, defaults)]


def runtime_params(obj, drop_first=False):
    params = list(inspect.signature(obj).parameters.values())
    if drop_first:
        params = params[1:]
    out = []
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, p
        has = p.default is not inspect.Parameter.empty
        out.append((p.name, has, p.default if has else None))
    return out


def stub_definitions():
    tree = stub_tree()
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    return functions, classes


@pytest.mark.parametrize(
    "name, runtime, drop",
    [
        ("cosine_similarity", lambda: tessaray.cosine_similarity, False),
        ("Vectorstore.__new__", lambda: tessaray.Vectorstore, False),
        ("Vectorstore.insert", lambda: tessaray.Vectorstore.insert, True),
        ("Vectorstore.search", lambda: tessaray.Vectorstore.search, True),
        ("Vectorstore.parallel_search", lambda: tessaray.Vectorstore.parallel_search, True),
    ],
)
def test_stub_parameters_match_module(name, runtime, drop):
    functions, classes = stub_definitions()
    if "." in name:
        cls, method = name.split(".")
        fn = {n.name: n for n in classes[cls].body if isinstance(n, ast.FunctionDef)}[method]
        params = stub_params(fn)[1:]  # self or cls
    else:
        params = stub_params(functions[name])
    assert params == runtime_params(runtime(), drop)


def test_stub_class_shape():
    functions, classes = stub_definitions()
    cls = classes["Vectorstore"]
    assert [ast.unparse(d) for d in cls.decorator_list] == ["final"]
    with pytest.raises(TypeError):
        type("Sub", (tessaray.Vectorstore,), {})
    members = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
    public = {name for name in dir(tessaray.Vectorstore) if not name.startswith("_")}
    assert public == {name for name in members if not name.startswith("_")}
    assert [ast.unparse(d) for d in members["vector_size"].decorator_list] == ["property"]
    assert "__len__" in members
    all_node = next(n for n in stub_tree().body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(all_node.value) == tessaray.__all__


@pytest.mark.parametrize("module", ["tessaray", "tessaray_bulk"])
def test_module_exports_only_its_init_function(module):
    """The dynamic symbol table defines the module's PyInit and nothing else:
    no core function, test hook or standard-library instantiation."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    path = importlib.import_module(module).__file__
    listing = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in listing.stdout.splitlines()] == ["PyInit_" + module], listing.stdout


needs_install = pytest.mark.skipif(INSTALLED is None, reason="runs in the pip-install stage")


@needs_install
def test_installed_files():
    for module in ("tessaray", "tessaray_bulk"):
        package = os.path.join(INSTALLED, module)
        assert len(glob.glob(os.path.join(package, "__init__.cpython-314*.so"))) == 1
        assert os.path.isfile(os.path.join(package, "py.typed"))
        with open(os.path.join(package, "__init__.pyi")) as a, open(os.path.join(SRC, module + ".pyi")) as b:
            assert a.read() == b.read()
    companion = os.path.join(INSTALLED, "tessaray_dask")
    assert set(os.listdir(companion)) - {"__pycache__"} == {
        "__init__.py", "_distributed.py", "arguments.py", "load.py", "merge.py", "placement.py", "py.typed", "service.py",
        "shard.py", "sharded.py", "store_files.py", "tasks.py"
    }
    (metadata,) = glob.glob(os.path.join(INSTALLED, "tessaray-0.1.0.dist-info", "METADATA"))
    with open(metadata) as f:
        text = f.read()
    for line in ["Name: tessaray", "Version: 0.1.0", "License-Expression: MIT", "Requires-Python: >=3.14"]:
        assert line in text.splitlines()


@needs_install
def test_tests_use_installed_copy():
    assert os.path.realpath(tessaray.__file__).startswith(os.path.realpath(INSTALLED) + os.sep)


USAGE = """
import array
from tessaray import Vectorstore, cosine_similarity

store = Vectorstore(3, [([1.0, 2.0, 3.0], 1), (array.array("f", [1, 2, 3]), 2)])
store.insert(b"abc", 3)
hits: list[tuple[float, int]] = store.search(vector=[1.0, 0.0, 0.0], top_k=2)
more = store.parallel_search([1, 2, 3], 2, n_threads=None)
size: int = store.vector_size + len(store)
score: float = cosine_similarity(memoryview(b"ab"), (1, 2))
from tessaray_dask import merge
best: list[tuple[float, int]] = merge([hits, more], 2)
"""


@needs_install
@pytest.mark.parametrize(
    "extra, errors",
    [
        ("", []),
        ("store.vector_size = 4", ['Property "vector_size" defined in "Vectorstore" is read-only']),
        ("store.search([1.0], k=1)", ['Unexpected keyword argument "k"']),
        ("cosine_similarity('abc', [1.0])", ['incompatible type "str"']),
        ("x: str = store.search([1.0], 1)", ['Incompatible types in assignment']),
        ("class Sub(Vectorstore): pass", ['Cannot inherit from final class "Vectorstore"']),
    ],
)
def test_type_checker_sees_stub(tmp_path, extra, errors):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(USAGE + extra + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH",)}
    env["PYTHONPATH"] = INSTALLED
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable, "use.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    out = done.stdout + done.stderr
    assert "import-not-found" not in out and "import-untyped" not in out, out
    assert (done.returncode == 0) == (not errors), out
    for text in errors:
        assert text in out, out

import os
import subprocess
import sys
import textwrap

import pytest

import tessaray


@pytest.fixture
def store3():
    return tessaray.Vectorstore(3)


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter that imports the same module."""

    def run(code, **kwargs):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
            **kwargs,
        )

    return run

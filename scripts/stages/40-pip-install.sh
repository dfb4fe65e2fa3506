#!/usr/bin/env bash
# Installs the module with pip (scikit-build-core driving the CMake build)
# into a fresh folder, imports it from there alone, checks the type stub
# against it with mypy's stubtest, and runs the packaging and buffer tests
# against the installed copy (numpy present).
set -euo pipefail
cd "$(dirname "$0")/../.."
python=$(bash scripts/provision-python.sh python3-scikit-build-core python3-pip python3-mypy python3-numpy)
target=$(mktemp -d)
trap 'rm -rf "$target"' EXIT
"$python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check --root-user-action=ignore \
  --target "$target" . >&2
# Imported from the target folder and nothing else.
PYTHONPATH="$target" "$python" -I -c '
import sys, os
sys.path.insert(0, sys.argv[1])
import tessaray, tessaray_bulk, tessaray_dask
for module in (tessaray, tessaray_bulk, tessaray_dask):
    where = os.path.realpath(module.__file__)
    assert where.startswith(os.path.realpath(sys.argv[1]) + os.sep), where
print("imported", where, tessaray.cosine_similarity([3.0, 4.0], [4.0, 3.0]))
' "$target"
# The stub against the installed module; run from an empty folder so that
# nothing but the target can be found.
(cd "$target" && PYTHONPATH="$target" "$python" -m mypy.stubtest tessaray tessaray_bulk)
TESSARAY_INSTALLED="$target" PYTHONPATH="$target" "$python" -m pytest -q -p no:cacheprovider \
  tests/python/test_packaging.py tests/python/test_buffers.py tests/python/test_bulk.py

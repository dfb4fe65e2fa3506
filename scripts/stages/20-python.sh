#!/usr/bin/env bash
# The Python tests against the release build.
set -euo pipefail
cd "$(dirname "$0")/../.."
python=$(bash scripts/build.sh)
PYTHONPATH="$PWD/build/python" "$python" -m pytest -q -p no:cacheprovider tests/python

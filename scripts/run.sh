#!/usr/bin/env bash
# The main job: builds the module and runs the example program with it.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/build.sh)
PYTHONPATH="$PWD/build/python" "$python" examples/example.py

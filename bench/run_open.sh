#!/usr/bin/env bash
# Runs the benchmark of stores opened in place from their files (bench/open_bench.py):
#   bash bench/run_open.sh [open_bench.py options, e.g. --quick, --sections open,cached]
#
# With numpy in the benchmark's own interpreter prefix (bench/lib/peers.sh).
# The larger-than-memory section makes a cgroup v1 memory group: run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib/peers.sh
peers_build
peers_exec bench/open_bench.py "$@"

#!/usr/bin/env bash
# Runs every test.  The stages in scripts/stages/ run in the order of their
# names; the first one that fails stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."
for stage in scripts/stages/[0-9]*.sh; do
  echo "== ${stage##*/}"
  bash "$stage"
done
echo "== all stages passed"

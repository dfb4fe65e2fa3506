#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter that has its development
# headers and the Python packages named on the command line.
#
# Order of preference:
#   1. $PYTHON, when set (the packages are then the caller's business);
#   2. a python3.14 on PATH whose headers are installed;
#   3. a private prefix under the user's cache folder, filled from the binary
#      packages of the Debian suite "forky" (testing at the time of writing;
#      pinned by name, so it does not move on to the next testing suite when
#      forky is released), never installed system-wide: they would replace
#      the system's libc.  The prefix is reused between runs and only fetched
#      again when a package is asked for that it does not have yet.
#
# Usage: scripts/provision-python.sh [--dbg] [debian-package ...]
#   --dbg   print the debug interpreter (python3.14d) of the private prefix
# All progress goes to standard error; standard output is the interpreter path.
set -euo pipefail

want_dbg=0
if [ "${1:-}" = "--dbg" ]; then want_dbg=1; shift; fi
# What the tests need: headers, pytest, hypothesis, numpy for the reference
# computations of the search tests, and dask.distributed (with tqdm) for the
# sharded store of tessaray_dask.
base_pkgs=(python3.14-dev python3-pytest python3-hypothesis python3-numpy python3-distributed python3-dask python3-tqdm)
[ "$want_dbg" = 1 ] && base_pkgs+=(python3.14-dbg)
pkgs=("${base_pkgs[@]}" "$@")

log() { echo "provision: $*" >&2; }

has_headers() {
  "$1" - <<'EOF' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.version_info[:2] == (3, 14)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
EOF
}

if [ "$want_dbg" = 0 ] && [ -n "${PYTHON:-}" ]; then
  [ $# -eq 0 ] || log "using PYTHON=$PYTHON as it is; not adding $*"
  echo "$PYTHON"; exit 0
fi
if [ "$want_dbg" = 0 ] && [ $# -eq 0 ]; then
  if command -v python3.14 >/dev/null 2>&1 && has_headers "$(command -v python3.14)"; then
    command -v python3.14; exit 0
  fi
fi

prefix="${TESSARAY_PY_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tessaray/py314}"
root="$prefix/root"
stamp="$prefix/packages.txt"
mkdir -p "$prefix"

missing=()
for p in "${pkgs[@]}"; do
  grep -qxF "$p" "$stamp" 2>/dev/null || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  # One fetch at a time per prefix.
  exec 9>"$prefix/lock"
  flock 9
  log "fetching ${missing[*]} into $prefix"
  if ! command -v patchelf >/dev/null 2>&1; then
    log "installing patchelf"
    apt-get update -qq >&2 && apt-get install -y -qq patchelf >&2
  fi
  mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  if [ -z "$mirror" ]; then
    mirror=$(awk '/^deb / && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list 2>/dev/null || true)
  fi
  [ -n "$mirror" ] || { log "no Debian mirror found in the apt sources"; exit 1; }

  apt_dir="$prefix/apt"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/sources.d"
  : > "$apt_dir/status"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror forky main" > "$apt_dir/sources.list"
  apt_opts=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::State::status=$apt_dir/status"
    -o "Dir::Cache::archives=$apt_dir/archives"
    -o "Dir::Cache=$apt_dir"
    -o "APT::Install-Recommends=false"
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root"
  )
  all=()
  [ -f "$stamp" ] && mapfile -t all < "$stamp"
  all+=("${missing[@]}")
  apt-get "${apt_opts[@]}" update -qq >&2
  apt-get "${apt_opts[@]}" --download-only -y -qq install "${all[@]}" >&2
  mkdir -p "$root"
  # The debug headers were turned into real copies on an earlier fetch (see
  # below); the packages bring them back as links, which cannot replace folders.
  rm -rf "$root/usr/include/python3.14d"
  for deb in "$apt_dir"/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done

  lib="$root/usr/lib/x86_64-linux-gnu"
  for exe in "$root"/usr/bin/python3.14 "$root"/usr/bin/python3.14d; do
    [ -f "$exe" ] || continue
    patchelf --set-interpreter "$lib/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$lib" "$exe"
  done
  for flavour in python3.14 python3.14d; do
    multiarch="$root/usr/include/x86_64-linux-gnu/$flavour/pyconfig.h"
    [ -f "$multiarch" ] && cp "$multiarch" "$root/usr/include/$flavour/pyconfig.h"
  done
  # The debug headers are links into the release folder, where a quoted
  # include would then find the release pyconfig.h: make them real copies.
  if [ -d "$root/usr/include/python3.14d" ]; then
    find "$root/usr/include/python3.14d" -type l | while read -r link; do
      target=$(readlink -f "$link")
      rm "$link"
      cp -r "$target" "$link"
    done
  fi
  # dpkg-deb does not run the alternatives system: point the generic BLAS
  # names at the threaded OpenBLAS when it is there.
  if [ -d "$lib/openblas-pthread" ]; then
    for so in libblas.so.3 liblapack.so.3 libopenblas.so.0; do
      [ -e "$lib/openblas-pthread/$so" ] && ln -sf "openblas-pthread/$so" "$lib/$so"
    done
  fi
  printf '%s\n' "${all[@]}" | sort -u > "$stamp"
  rm -f "$apt_dir"/archives/*.deb
fi

if [ "$want_dbg" = 1 ]; then
  echo "$root/usr/bin/python3.14d"
else
  echo "$root/usr/bin/python3.14"
fi

#!/usr/bin/env bash
# The main job: install the `corvanedb` command into the project's virtual environment (.venv)
# and index a Python tree with it (default: this interpreter's standard library). Run it again
# to see the incremental re-index: only files changed since are read.
# Usage: scripts/run.sh [PATH] [corvanedb index options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
source scripts/venv.sh

# (Re)install when the command is missing or older than any of the sources.
installed="$venv/bin/corvanedb"
if [ ! -x "$installed" ] || [ -n "$(find src CMakeLists.txt pyproject.toml -newer "$installed" -print -quit)" ]; then
  echo "Building the C++ module and installing corvanedb into $venv (pip install .; a few minutes on a first run) ..." >&2
  "$py" -m pip install -q .
  touch "$installed"
fi

if [ $# -eq 0 ] || [[ "$1" == -* ]]; then
  stdlib="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')"
  echo "Indexing the standard library at $stdlib (skipping its test suites and site-packages)"
  "$installed" index "$stdlib" --exclude site-packages --exclude dist-packages --exclude test \
    --exclude tests --exclude idle_test "$@"
  # What the engine answers about one definition everybody uses (queries find the index of
  # the folder they run in).
  cd "$stdlib"
  answer="$(mktemp)"
  trap 'rm -f "$answer"' EXIT
  for query in "show posixpath.py:join" "callers posixpath.py:join" "callees json/__init__.py:loads" \
               "blast posixpath.py:join --depth 2" "search urlsplit"; do
    echo
    echo "$ corvanedb $query"
    # shellcheck disable=SC2086
    "$installed" $query >"$answer"
    head -n 12 "$answer"
    lines="$(wc -l <"$answer")"
    [ "$lines" -le 12 ] || echo "... ($lines lines in all)"
  done
else
  "$installed" index "$@"
fi

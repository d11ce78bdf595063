#!/usr/bin/env bash
# The main job: index a Python tree (default: this interpreter's standard library) and show
# what the engine answers. Run it twice with the same --workspace to see the restore and the
# incremental re-index.
# Usage: scripts/run.sh [PATH] [--workspace DIR] [--focus ID] [--search WORD]
#                       [--blast-svg ID --out FILE]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh

# (Re)install the module when it is missing or older than any of its sources.
so="$(python3 -c 'import corvanedb; print(corvanedb.__file__)' 2>/dev/null || true)"
if [ -z "$so" ] || [ -n "$(find src CMakeLists.txt pyproject.toml -newer "$so" -print -quit)" ]; then
  echo "Building and installing corvanedb (pip install .) ..." >&2
  PIP_ROOT_USER_ACTION=ignore python3 -m pip install -q --disable-pip-version-check .
fi

# Graphviz only when a drawing was asked for.
for arg in "$@"; do
  if [ "$arg" = "--blast-svg" ] && ! command -v dot >/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends graphviz >/dev/null
  fi
done

exec python3 examples/index_tree.py "$@"

#!/usr/bin/env bash
# Builds and installs the module (pip install .) and runs the Python test suite under every
# CPython from 3.10 to 3.13 that pyenv has, each in its own virtual environment under
# build/pythons/. A version that is not installed is skipped, and so is the version of the
# project environment (.venv), which scripts/test.sh has just tested. The C++ unit tests do not
# depend on the interpreter and are left to scripts/test.sh.
# Usage: scripts/test-pythons.sh [pytest arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

if ! command -v pyenv >/dev/null; then
  echo "test-pythons: pyenv not found, no interpreters to test" >&2
  exit 0
fi
versions="$(pyenv root)/versions"
command -v ccache >/dev/null && export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

tested=() skipped=()
covered=""
[ -x .venv/bin/python ] && covered="$(.venv/bin/python -c 'import sys; print(sys.version_info[1])')"
for minor in 10 11 12 13; do
  # The newest patch release installed for 3.<minor>.
  release="$(pyenv versions --bare | grep -E "^3\.$minor\.[0-9]+$" | sort -V | tail -n 1 || true)"
  python="$versions/$release/bin/python3"
  if [ "$minor" = "$covered" ]; then
    echo "== Python 3.$minor: tested by scripts/test.sh in .venv =="
    continue
  fi
  if [ -z "$release" ] || [ ! -x "$python" ]; then
    skipped+=("3.$minor")
    continue
  fi
  venv="build/pythons/3.$minor"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  echo "== Python $release: installing the test tools and the module (pip install .) =="
  "$venv/bin/python" -m pip install -q pytest hypothesis
  "$venv/bin/python" -m pip install -q .
  echo "== Python $release: tests =="
  # From the repository root the installed module is the one imported (nothing on PYTHONPATH).
  env -u PYTHONPATH "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" tests
  tested+=("$release")
done
echo "test-pythons: tested ${tested[*]:-none}${skipped[*]:+; not installed: ${skipped[*]}}"

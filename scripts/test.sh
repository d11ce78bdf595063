#!/usr/bin/env bash
# Builds the module and the C++ unit tests, then runs both test suites with the project's
# virtual environment (.venv), into which it installs the test tools and the indexer's
# dependencies.
# Usage: scripts/test.sh [pytest arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
source scripts/venv.sh
install_test_tools

build="${CORVANE_TEST_BUILD_DIR:-build/test}"
echo "Building the module and the C++ unit tests in $build ..." >&2
cmake -S . -B "$build" -G Ninja -DCORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
  -DPython3_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j"$(nproc)"

"$build/corvane_unit_tests" --gtest_brief=1
PYTHONPATH="$root/$build/python:$root/src/python${PYTHONPATH:+:$PYTHONPATH}" "$py" -m pytest -q "$@" tests

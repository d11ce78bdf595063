#!/usr/bin/env bash
# Builds the module and the C++ unit tests, then runs both test suites.
# Usage: scripts/test.sh [pytest arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh

build="${CORVANE_TEST_BUILD_DIR:-build/test}"
cmake -S . -B "$build" -G Ninja -DCORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"

"$build/corvane_unit_tests" --gtest_brief=1
PYTHONPATH="$root/$build/python:$root/src/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q "$@" tests

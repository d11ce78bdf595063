#!/usr/bin/env bash
# Builds the module and the C++ unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs both test suites under them. The interpreter itself is not instrumented, so the
# ASan runtime is preloaded into it; leak detection is off because CPython leaks at exit.
# Usage: scripts/sanitize.sh [pytest arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
source scripts/venv.sh
install_test_tools

build="${CORVANE_ASAN_BUILD_DIR:-build/asan}"
cmake -S . -B "$build" -G Ninja -DCORVANE_BUILD_TESTS=ON -DCORVANE_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=0:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Tests that cannot run under ASan (address-space limits) skip themselves when this is set.
export CORVANE_UNDER_ASAN=1

"$build/corvane_unit_tests" --gtest_brief=1

preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" PYTHONPATH="$root/$build/python:$root/src/python${PYTHONPATH:+:$PYTHONPATH}" \
    "$py" -m pytest -q -p no:cacheprovider "$@" tests

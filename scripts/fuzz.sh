#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the core instrumented for coverage, ASan and
# UBSan) and runs each for a bounded time, starting from the seeds in fuzz/corpus/<name>.
# New inputs go to a working corpus in the build directory, so the seeds stay small.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target names...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/setup.sh
# libFuzzer comes with clang's runtime.
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-dev 2>/dev/null | grep -q "install ok installed"; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
fi

seconds="${1:-60}"
shift || true
build="${CORVANE_FUZZ_BUILD_DIR:-build/fuzz}"
sanitizers="address,undefined"

# Seed directory of each target.
declare -A corpus=(
  [fuzz_snapshot_decode]=snapshot
  [fuzz_json]=json
  [fuzz_resolution]=resolution
  [fuzz_hex]=hex
  [fuzz_node_record]=node_record
  [fuzz_incremental_restart]=incremental_restart
)
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(fuzz_snapshot_decode fuzz_json fuzz_resolution fuzz_hex fuzz_node_record fuzz_incremental_restart)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_FUZZERS=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,$sanitizers" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,$sanitizers -fno-sanitize-recover=undefined" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
printf '%-22s %12s %10s %8s\n' target execs corpus result
for t in "${targets[@]}"; do
  seeds="fuzz/corpus/${corpus[$t]}"
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  extra=()
  [ -f "fuzz/${corpus[$t]}.dict" ] && extra+=("-dict=fuzz/${corpus[$t]}.dict")
  log="$build/$t.log"
  result=ok
  "$build/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" "${extra[@]}" "$work" "$seeds" >"$log" 2>&1 || result=FAILED
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
  printf '%-22s %12s %10s %8s\n' "$t" "$execs" "$(ls "$work" | wc -l)" "$result"
  if [ "$result" != ok ]; then
    failed+=("$t")
    tail -n 40 "$log"
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "failing targets: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi

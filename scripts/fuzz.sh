#!/usr/bin/env bash
# Builds the libFuzzer targets with the `fuzz` preset (clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each of them for a
# bounded time, two at a time at the lowest priority.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# Targets are the names of fuzz/<name>_fuzz.cpp (all of them by default). Each
# run starts from the committed seeds in fuzz/corpus/<name>/ and writes what it
# finds to build/fuzz-runs/<name>/corpus/, its log to build/fuzz-runs/<name>/log
# and any crashing input to build/fuzz-runs/<name>/crash-*. The summary names
# each target's executions, coverage and speed; the exit status is 1 when any
# target found a crash, a leak, a time-out or ran out of memory.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    targets+=("$name")
  done
fi

./scripts/setup.sh
cmake --preset fuzz
cmake --build --preset fuzz

# Symbolised stacks in the logs; UndefinedBehaviorSanitizer prints its stack too.
if [[ -x /usr/lib/llvm-19/bin/llvm-symbolizer ]]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-19/bin/llvm-symbolizer
fi
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

run_target() {
  local name=$1
  local dir=build/fuzz-runs/$name
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  local status=0
  nice -n 19 "build/fuzz/fuzz/vexa_codegen_fuzz_$name" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/" "$dir/corpus" "fuzz/corpus/$name" >"$dir/log" 2>&1 || status=$?
  echo "$status" >"$dir/status"
}

# Two at a time: the machine this runs on is shared.
pids=()
for name in "${targets[@]}"; do
  if [[ ! -f "fuzz/${name}_fuzz.cpp" ]]; then
    echo "unknown fuzz target: $name" >&2
    exit 2
  fi
  run_target "$name" &
  pids+=($!)
  if ((${#pids[@]} == 2)); then
    wait "${pids[0]}"
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid"
done

failed=0
for name in "${targets[@]}"; do
  dir=build/fuzz-runs/$name
  status=$(cat "$dir/status")
  last=$(grep -E '^#[0-9]+' "$dir/log" | tail -n 1 || true)
  runs=$(grep -E '^stat::number_of_executed_units' "$dir/log" | awk '{print $2}' || true)
  echo "$name: status=$status executions=${runs:-?} last: ${last:-none}"
  if [[ $status -ne 0 ]]; then
    failed=1
    grep -E 'ERROR|broken promise|SUMMARY|Test unit written' "$dir/log" | head -n 5 || true
  fi
done
exit "$failed"

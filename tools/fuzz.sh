#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang-19, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 30) on its
# seed corpus, cut from the test volumes by tools/fuzz-seeds.py. A crash,
# leak, timeout or sanitizer report fails the run; the input that caused it
# is copied to tests/fuzz/regressions/<harness>/, which the unit tests
# replay (commit it with the fix).
#
# Usage: tools/fuzz.sh [SECONDS] [HARNESS...]
#   harnesses: boot record index usn logfile image collection (default: all)
#   FUZZ_JOBS=N runs N harnesses at once (default 2); FUZZ_BUILD=DIR (default build-fuzz).
#   The corpora grow in DIR/fuzz-corpus/<harness> and are kept between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=(boot record index usn logfile image collection)
build=${FUZZ_BUILD:-build-fuzz}
jobs=${FUZZ_JOBS:-2}

tools/ensure-packages.sh fuzz
cxx=clang++-19
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx is not installed" >&2; exit 1; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
      -DQUILLON_FUZZ=ON -DQUILLON_TESTS=OFF -DQUILLON_FUZZ_IMAGE="$PWD/$build/fuzz-seeds/sample.img" >/dev/null
ninja -C "$build" $(printf 'fuzz_%s ' "${harnesses[@]}") >/dev/null
python3 tools/fuzz-seeds.py "$build/fuzz-seeds"

run_one() {
  local h=$1 corpus="$build/fuzz-corpus/$1" crashes="$build/fuzz-crashes/$1" log="$build/fuzz-$1.log"
  mkdir -p "$corpus" "$crashes"
  local status=0
  # -rss_limit_mb: the image harness keeps a volume in memory beside ASan's shadow.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/fuzz_$h" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$corpus" "$build/fuzz-seeds/$h" >"$log" 2>&1 || status=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    mkdir -p "tests/fuzz/regressions/$h"
    for f in "$crashes"/*; do [ -f "$f" ] && cp "$f" "tests/fuzz/regressions/$h/"; done
    echo "fuzz $h: FAILED after ${execs:-?} runs (status $status); inputs copied to tests/fuzz/regressions/$h/"
    grep -m1 -E "ERROR: |runtime error|SUMMARY" "$log" || true
    echo "  log: $log"
    return 1
  fi
  echo "fuzz $h: ${execs:-?} runs in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs, no finding"
}

failed=0
pids=()
names=()
for h in "${harnesses[@]}"; do
  run_one "$h" >"$build/fuzz-$h.summary" &
  pids+=($!)
  names+=("$h")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    cat "$build/fuzz-${names[0]}.summary"
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed=1
  cat "$build/fuzz-${names[$i]}.summary"
done
exit $failed

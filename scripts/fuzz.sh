#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, and runs each for SECONDS
# (default 60) from the seed corpus in fuzz/corpus/<target>. New inputs go to
# build-fuzz/corpus/<target>; a failing input is kept in build-fuzz/ as crash-*.
# Prints the executions of each target; exits non-zero if any target failed.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#   VELK_FUZZ_KEEP_GOING=1: report only: a broken invariant is reported once and
#   the run goes on; only crashes and sanitizer findings fail it.
#   VELK_FUZZ_JOBS=N: run N targets at once (default 1).
set -uo pipefail

seconds="${1:-60}"
shift || true
if [ $# -gt 0 ]; then targets=("$@"); else targets=(fuzz_codec fuzz_download fuzz_upload fuzz_listing); fi
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${VELK_FUZZ_JOBS:-1}"
case "$jobs" in
  '' | *[!0-9]* | 0) echo "fuzz.sh: VELK_FUZZ_JOBS must be a whole number of at least 1, not '$jobs'" >&2; exit 2 ;;
esac
build_dir="$source_dir/build-fuzz"

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
mkdir -p "$build_dir"
CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" -DVELK_FUZZ=ON -DVELK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build_dir/configure.log" 2>&1 \
  || { cat "$build_dir/configure.log" >&2; exit 1; }
cmake --build "$build_dir" --target "${targets[@]}" -j2 >"$build_dir/build.log" 2>&1 \
  || { tail -40 "$build_dir/build.log" >&2; exit 1; }

status=0
run_one() {
  local target="$1" corpus="$build_dir/corpus/$1" log="$build_dir/$1.log"
  mkdir -p "$corpus"
  # Leaks are no concern here (and libFuzzer would count every allocation to
  # look for them); a hang beyond 20 s is.
  ASAN_OPTIONS=detect_leaks=0 "$build_dir/bin/$target" -max_total_time="$seconds" -timeout=20 -detect_leaks=0 \
    -artifact_prefix="$build_dir/$target-" -print_final_stats=1 "$corpus" "$source_dir/fuzz/corpus/$target" \
    >"$log" 2>&1
  local code=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  local broken
  broken=$(grep -h "invariant broken" "$log" | sort -u)
  [ -n "$broken" ] && sed "s/^/$target: /" <<<"$broken"
  if [ $code -eq 0 ]; then
    echo "$target: ${runs:-?} executions in ${seconds} s, ${broken:+broken invariants reported above, }no crash"
  else
    echo "$target: FAILED after ${runs:-?} executions (exit $code); see $log"
    grep -m1 -A3 "^==.*ERROR\|invariant broken" "$log" | sed "s/^/    /"
  fi
  return $code
}

# At most $jobs targets at once: each should have a core of its own, or its
# executions a minute would tell the machine's share, not the code's speed.
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_one "$target" >"$build_dir/$target.summary" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
for target in "${targets[@]}"; do cat "$build_dir/$target.summary"; done
exit $status

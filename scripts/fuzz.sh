#!/usr/bin/env bash
# Builds the libFuzzer targets of the two file loaders into build/fuzz and runs
# each for a bounded time (FUZZ_SECONDS, 60 by default) on a working copy of
# the seed corpus, so that new inputs collect in build/fuzz, not in the repo.
# Exits non-zero when a target crashes, hangs or breaks a check; the input is
# then in build/fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DRILVET_BUILD_GUI=OFF -DRILVET_BUILD_TESTS=OFF -DRILVET_BUILD_BENCH=OFF -DRILVET_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target table_file_fuzz settings_file_fuzz

# The targets' files go to a RAM folder when there is one: every save flushes
# to the disk, which would otherwise be most of the run time.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
summary=()
run() {
  local target=$1 seeds=$2 max_len=$3
  local corpus="$build/corpus/$seeds" findings="$build/findings/$target" log="$build/$target.log"
  mkdir -p "$corpus" "$findings"
  cp fuzz/corpus/"$seeds"/* "$corpus"/
  echo "fuzz: $target for ${seconds} s (log in $log)"
  local rc=0 start=$SECONDS
  "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
    -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || rc=$?
  local runs time=$((SECONDS - start))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "fuzz: $target FAILED (exit $rc); the input is in $findings/:" >&2
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|.*threw)' "$log" >&2 || tail -20 "$log" >&2
    ls "$findings" >&2
  fi
  summary+=("$(printf '%-20s %10s executions in %s s, corpus %s files%s' "$target" "${runs:-?}" \
    "${time:-?}" "$(ls "$corpus" | wc -l)" "$([ "$rc" -eq 0 ] || echo ', FAILED')")")
}

run table_file_fuzz table 65536
run settings_file_fuzz settings 128

echo "fuzz: summary"
printf '  %s\n' "${summary[@]}"
exit $status

#!/usr/bin/env bash
# Builds the benchmarks in Release (build/release) and runs them all, then
# prints every figure next to its goal. Each program prints its figures as
# "@goal" / "@info" lines; they are gathered into one table at the end.
# Exits non-zero when a program fails or a goal is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release --target rilvet_bench_core rilvet_bench_ui rilvet_bench_live \
  rilvet_bench_port rilvet_bench_answer

bin=build/release/bench
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export QT_QPA_PLATFORM=offscreen
# Scratch files on a memory file system where there is one, so that the disk
# does not time itself into the file figures.
if [ -z "${RILVET_BENCH_DIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export RILVET_BENCH_DIR=/dev/shm
fi

failed=0
run() {
  echo "== $*"
  "$@" | tee -a "$log" || failed=1
}
run "$bin/rilvet_bench_core"
run "$bin/rilvet_bench_ui"
run "$bin/rilvet_bench_live" live
run "$bin/rilvet_bench_live" memory
run "$bin/rilvet_bench_port"
run "$bin/rilvet_bench_answer"
run "$bin/rilvet_bench_answer" latch
# The frame through the Linux backend and a real 8250 driver, in the rig's
# QEMU guest (skipped where QEMU cannot run).
echo "== scripts/hil.sh --bench"
scripts/hil.sh --bench --optional | tr -d '\r' | sed 's/\x1b\[[0-9;]*m//g' | tee -a "$log"

echo
echo "== Figures ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), Release)"
grep -E '^@(goal|info)' "$log" | awk -F'\t' '
  { printf "%-84s %22s   %-14s %s\n", $2, $3, ($4 == "-" ? "" : $4), ($5 == "-" ? "" : $5) }'
missed=$(grep -c $'^@goal.*\tMISSED$' "$log" || true)
echo "goals missed: $missed"
[ "$failed" -eq 0 ] || echo "a benchmark program failed"
[ "$missed" -eq 0 ] && [ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Starts the program in ./run, a working folder of its own (gitignored): the
# program keeps its table and settings files in its current folder.
set -euo pipefail
build="${1:-build/dev}"
top="$(cd "$(dirname "$0")/.." && pwd)"
exe="$top/$build/src/app/rilvet48"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "make run: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Start it on a desktop, or under a virtual display: xvfb-run -a make run" >&2
  exit 1
fi
mkdir -p "$top/run"
cd "$top/run"
echo "Rilvet-48: working folder $top/run"
exec "$exe"

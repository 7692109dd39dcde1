#!/usr/bin/env bash
# Runs the program's windows under a virtual X display, plays a short saved
# sequence on the virtual board and writes the pictures into ./screenshots.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build/dev}"
out="$top/screenshots"
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1600x1500x24" "$top/$build/tools/screenshots/rilvet48_screenshots" "$out"
echo "screenshots: written to $out"

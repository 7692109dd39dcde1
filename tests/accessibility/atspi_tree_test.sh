#!/usr/bin/env bash
# Runs atspi_tree.py against PROGRAM under a virtual display, in a D-Bus
# session of its own with the accessibility bus started on demand. Exits 77
# (skipped) with the reason when something it needs is missing.
set -euo pipefail
program=$1
here="$(cd "$(dirname "$0")" && pwd)"

skip() {
  echo "SKIP: $* (scripts/bootstrap.sh test installs it)"
  exit 77
}
# Debian's own Python: pyatspi is a Debian package, not on pip's Pythons.
python=/usr/bin/python3
[ -x "$python" ] || skip "no /usr/bin/python3 (Debian package python3)"
"$python" -c 'import pyatspi' 2>/dev/null || skip "no pyatspi (Debian package python3-pyatspi)"
command -v xvfb-run >/dev/null || skip "no xvfb-run (Debian package xvfb)"
command -v dbus-run-session >/dev/null || skip "no dbus-run-session (Debian package dbus)"
[ -x /usr/libexec/at-spi-bus-launcher ] || skip "no AT-SPI bus launcher (Debian package at-spi2-core)"

# Searching from a number of our own, not from 99: another test run on the
# same machine may be starting its own xvfb-run at this moment.
exec xvfb-run -a -n "$((100 + $$ % 800))" -s "-screen 0 1280x1024x24" \
  dbus-run-session -- "$python" -u "$here/atspi_tree.py" "$program"

#!/usr/bin/env bash
# The program started in a folder where neither data file can be read, on an
# X server without a window manager, where nothing restacks a window: each
# start-up error's box must be mapped above the main window, the second one
# after the first is closed. The stacking order is the server's own (the
# root's children as XQueryTree gives them; xwininfo lists the top-most
# first), printed as read. Exits 77 (skipped) when a tool is missing.
#
#   startup_boxes_test.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")

skip() {
  echo "SKIP: $* (scripts/bootstrap.sh test installs it)"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if [ "${2:-}" != inside ]; then
  for tool in xvfb-run:xvfb xauth:xauth xdotool:xdotool xwininfo:x11-utils; do
    command -v "${tool%%:*}" >/dev/null || skip "no ${tool%%:*} (Debian package ${tool#*:})"
  done
  # Searching from a number of our own: another test may be starting its own
  # xvfb-run at this moment.
  exec xvfb-run -a -n "$((100 + $$ % 800))" -s "-screen 0 1280x1024x24" "$0" "$program" inside
fi

readonly main_title="Rilvet-48 программа управления драйвером hc595"
readonly box_title="Rilvet-48"

work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# Folders where the files should be: the table file's error comes from the
# main window's start-up, the settings file's from the dialog made after it.
mkdir "$work/Rilvet_код.txt" "$work/Rilvet.dat"
(cd "$work" && unset QT_QPA_PLATFORM && exec "$program") >"$work.log" 2>&1 &
pid=$!

# The viewable window with this exact title, other than `but`, waiting up
# to 30 s; its id in hex.
wait_window() {
  local title=$1 but=${2:-} i id
  for i in $(seq 1 150); do
    for id in $(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null || true); do
      id=$(printf '0x%x' "$id")
      if [ "$id" != "$but" ]; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.2
  done
  return 1
}

# The viewable top-level windows, top-most first, as "id title" lines.
stacking() {
  local id
  local -A viewable=()
  for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null || true); do
    viewable[$(printf '0x%x' "$id")]=1
  done
  xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) "\(.*\)": .*/\1 \2/p' |
    while read -r id title; do
      if [ -n "${viewable[$id]:-}" ]; then echo "$id $title"; fi
    done
}

# The box must be above the main window.
expect_above() {
  local box=$1 main=$2 what=$3 order
  sleep 0.5  # whatever the program maps next has had its time
  order=$(stacking)
  echo "stacking, top-most first ($what):"
  sed 's/^/  /' <<<"$order"
  local box_at main_at
  box_at=$(grep -n "^$box " <<<"$order" | cut -d: -f1 || true)
  main_at=$(grep -n "^$main " <<<"$order" | cut -d: -f1 || true)
  [ -n "$box_at" ] || fail "$what: the box is not viewable"
  [ -n "$main_at" ] || fail "$what: the main window is not viewable"
  [ "$box_at" -lt "$main_at" ] || fail "$what: the box is stacked under the main window"
}

main=$(wait_window "$main_title") || { cat "$work.log"; fail "no main window"; }
first=$(wait_window "$box_title") || fail "no box for the table file's error"
expect_above "$first" "$main" "the table file's error"

xdotool windowfocus --sync "$first" key Return
second=$(wait_window "$box_title" "$first") || fail "no box for the settings file's error"
expect_above "$second" "$main" "the settings file's error"

# Files can be saved now: the close sequence ends without a box.
rmdir "$work/Rilvet_код.txt" "$work/Rilvet.dat"
xdotool windowfocus --sync "$second" key Return
kill -TERM "$pid"
wait "$pid" || fail "the program ended with status $?"
pid=
echo "PASS: both start-up error boxes were mapped above the main window"

#!/usr/bin/env bash
# The program as a user gets it: installed into a scratch DESTDIR under /usr,
# then either
#   files  the installed files, the menu entry, the metainfo and the manual
#          page validated, --help and --version answered without a display
#          and without touching a file;
#   menu   the program started from its menu entry's Exec line under a
#          virtual display, with a fresh home folder: the window appears, the
#          files are made in ~/Rilvet-48, the help opens, the exit saves there;
#          and started from a shell, it works in the current folder.
# Exits 77 (skipped) with the reason when a tool it needs is missing.
#
#   installed_program_test.sh files|menu BUILD_DIR APP_ID
set -euo pipefail

mode=$1
build=$2
app_id=$3

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
need() {
  command -v "$1" >/dev/null || skip "$1 is missing (Debian package $2; scripts/bootstrap.sh test installs it)"
}

readonly main_title="Rilvet-48 программа управления драйвером hc595"
readonly help_title="Справка — Rilvet-48"
# The table file's default content: the 48 channel prefixes and the interval
# prefix, Windows-1251 with CR LF.
default_table() {
  local k
  for k in $(seq -w 1 48); do printf '%s\xe9 \xea\xe0\xed\xe0\xeb \r\n' "$k"; done
  printf '\xd1\xea\xee\xf0\xee\xf1\xf2\xfc \r\n'
}

install_tree() {
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  root=$scratch/root
  DESTDIR=$root cmake --install "$build" --prefix /usr >"$scratch/install.log" ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
  share=$root/usr/share
  desktop=$share/applications/$app_id.desktop
}

# ---------------------------------------------------------------- files

check_files() {
  need desktop-file-validate desktop-file-utils
  need appstreamcli appstream
  need man man-db
  need file file
  install_tree

  for f in "$root/usr/bin/rilvet48" "$share/rilvet48/Rilvet.hlp" "$desktop" \
    "$share/metainfo/$app_id.metainfo.xml" "$share/man/man1/rilvet48.1.gz"; do
    [ -f "$f" ] || fail "not installed: ${f#"$root"}"
  done
  [ -x "$root/usr/bin/rilvet48" ] || fail "the program is not executable"
  grep -q 'Версия [0-9]' "$share/rilvet48/Rilvet.hlp" || fail "the installed guide has no version"
  local size
  for size in 16 24 32 48 64 128 256; do
    local icon=$share/icons/hicolor/${size}x${size}/apps/$app_id.png
    [ -f "$icon" ] || fail "no ${size}x${size} icon"
    local kind
    kind=$(file -b "$icon")
    [[ "$kind" == "PNG image data, $size x $size, 8-bit/color RGBA"* ]] ||
      fail "${size}x${size} icon is $kind"
  done
  echo "installed: $(cd "$root" && find . -type f | sort | tr '\n' ' ')"

  desktop-file-validate "$desktop" || fail "desktop-file-validate"
  grep -qx "Icon=$app_id" "$desktop" || fail "the menu entry names another icon"
  grep -qx "Exec=rilvet48 --data-folder" "$desktop" || fail "the menu entry starts the program otherwise"
  appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli validate"
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$share/man/man1/rilvet48.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "the manual page: $warnings"
  local manual
  manual=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$share/man/man1/rilvet48.1.gz")
  grep -q -- '--data-folder' <<<"$manual" || fail "the manual page does not name --data-folder"

  # --help and --version: no display, no file, no folder.
  local home=$scratch/home here=$scratch/here out
  mkdir -p "$home" "$here"
  out=$(cd "$here" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" "$root/usr/bin/rilvet48" --version)
  grep -qx 'Rilvet-48 [0-9][0-9.]*' <<<"$out" || fail "--version printed: $out"
  out=$(cd "$here" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" "$root/usr/bin/rilvet48" --data-folder --help)
  grep -q '^Usage: rilvet48' <<<"$out" || fail "--help printed: $out"
  local left
  left=$(find "$home" "$here" -mindepth 1)
  [ -z "$left" ] || fail "--help or --version left files: $left"
  echo "PASS: installed files, menu entry, metainfo, manual page, --help and --version"
}

# ---------------------------------------------------------------- menu

# The window with this exact title, waiting up to 30 s.
wait_window() {
  local title=$1 i
  for i in $(seq 1 150); do
    local id
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# Clicks the tool panel's button whose right side is `distance` pixels from
# the window's right edge (the help and exit buttons follow that edge).
click_right_button() {
  local window=$1 distance=$2 WIDTH HEIGHT X Y SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --window "$window" $((WIDTH - distance - 41 + 20)) 28 click 1
}

wait_exit() {
  local pid=$1 i
  for i in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid"; return $?; }
    sleep 0.2
  done
  kill "$pid"
  fail "the program did not end after its exit button"
}

run_menu_inside() {
  # The program on the virtual display, whatever platform the tests around
  # it were given.
  unset QT_QPA_PLATFORM
  local home=$scratch/home elsewhere=$scratch/elsewhere shell_folder=$scratch/shell
  mkdir -p "$home" "$elsewhere" "$shell_folder"
  local exec_line
  exec_line=$(sed -n 's/^Exec=//p' "$desktop")
  [ -n "$exec_line" ] || fail "no Exec line"
  case "$exec_line" in *%*) fail "unexpected field code in: $exec_line" ;; esac
  read -r -a command <<<"$exec_line"

  # From the menu: the launcher's folder is not the program's.
  (cd "$elsewhere" && HOME=$home PATH=$root/usr/bin:$PATH exec "${command[@]}") \
    >"$scratch/menu.log" 2>&1 &
  local pid=$! window
  window=$(wait_window "$main_title") || { cat "$scratch/menu.log"; fail "no main window"; }
  echo "main window $window from: $exec_line"
  local data=$home/Rilvet-48
  [ -d "$data" ] || fail "no data folder $data"
  cmp -s "$data/Rilvet_код.txt" <(default_table) || fail "the table file in $data is not the default one"
  click_right_button "$window" 103  # the help button
  wait_window "$help_title" >/dev/null || fail "the help did not open"
  echo "help window open"
  click_right_button "$window" 7  # the exit button
  wait_exit "$pid" || fail "the program ended with status $?"
  [ "$(stat -c %s "$data/Rilvet.dat")" = 64 ] || fail "no 64-byte Rilvet.dat in $data at exit"
  [ -z "$(ls -A "$elsewhere")" ] || fail "files in the launcher's folder: $(ls -A "$elsewhere")"
  local stray
  stray=$(find "$home" -name 'Rilvet*' ! -path "$data" ! -path "$data/*")
  [ -z "$stray" ] || fail "files outside the data folder: $stray"
  echo "data folder: $(ls -A "$data" | tr '\n' ' ')"

  # From a shell: the current folder.
  (cd "$shell_folder" && HOME=$home PATH=$root/usr/bin:$PATH exec rilvet48) >"$scratch/shell.log" 2>&1 &
  pid=$!
  window=$(wait_window "$main_title") || { cat "$scratch/shell.log"; fail "no main window from a shell"; }
  cmp -s "$shell_folder/Rilvet_код.txt" <(default_table) || fail "no table file in the shell's folder"
  click_right_button "$window" 7
  wait_exit "$pid" || fail "the program ended with status $?"
  echo "PASS: started from the menu entry in $data, from a shell in its current folder; help opened"
}

check_menu() {
  need xvfb-run xvfb
  need xdotool xdotool
  need xauth xauth
  install_tree
  export scratch root share desktop
  # Searching from a number of our own, not from 99: another test run on the
  # same machine may be starting its own xvfb-run at this moment. -noreset:
  # the server would otherwise reset when the first program leaves, and the
  # second one, started at once, could find no display.
  xvfb-run -a -n "$((100 + $$ % 800))" -s "-screen 0 1280x1024x24 -noreset" "$0" menu-inside "$build" "$app_id" "$scratch"
}

case "$mode" in
  files) check_files ;;
  menu) check_menu ;;
  menu-inside)
    # Under the virtual display, in the tree check_menu installed.
    scratch=$4
    root=$scratch/root
    share=$root/usr/share
    desktop=$share/applications/$app_id.desktop
    run_menu_inside
    ;;
  *) fail "unknown mode $mode" ;;
esac

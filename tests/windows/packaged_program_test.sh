#!/usr/bin/env bash
# The Windows program as a user gets it: the portable zip unpacked into a
# fresh folder and started there under wine on a virtual display.
#   - the main window appears with its Russian caption (a screenshot is kept);
#   - VIRTUAL chosen, Start, Pause and Stop play on the virtual board: the
#     table's header turns red, yellow and silver as the run state says;
#   - the help button opens the guide;
#   - a second instance in the same folder is refused with a message box;
#   - the exit writes "Rilvet_код.txt" byte-exact (one cell set) and a
#     64-byte "Rilvet.dat";
#   - Windows ending the session (logging off) runs the same close sequence.
# With --installer SETUP.exe, the installer too, in a wine prefix of its own
# whose Documents is a scratch folder: a silent per-user install puts the
# program and its Start-menu entry in place; the program started as that
# entry starts it works in Documents\Rilvet-48; the uninstaller removes the
# program and leaves that folder alone.
# Exits 77 (skipped) with the reason when a tool it needs is missing.
#
#   packaged_program_test.sh ZIP WINEPREFIX [SCREENSHOT_FOLDER]
#   packaged_program_test.sh --installer SETUP.exe
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  [ -z "${shots:-}" ] || "$here/screen.py" shot "$shots/failure.png" 2>/dev/null || true
  exit 1
}
need() {
  command -v "$1" >/dev/null || skip "$1 is missing (Debian package $2; scripts/bootstrap.sh test installs it)"
}

readonly main_title="Rilvet-48 программа управления драйвером hc595"
readonly help_title="Справка — Rilvet-48"

# The table file with one cell set: channel 1 on in the first step.
expected_table() {
  local k
  printf '01\xe9 \xea\xe0\xed\xe0\xeb 1\r\n'
  for k in $(seq -w 2 48); do printf '%s\xe9 \xea\xe0\xed\xe0\xeb 0\r\n' "$k"; done
  printf '\xd1\xea\xee\xf0\xee\xf1\xf2\xfc 100\r\n'
}

wait_window() {
  local title=$1 i id
  for i in $(seq 1 300); do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  return 1
}

wait_exit() {
  local pid=$1 i
  for i in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid"; return $?; }
    sleep 0.2
  done
  kill "$pid"
  fail "the program did not end"
}

# A point of the window, in screen coordinates.
click() {
  local window=$1 x=$2 y=$3
  xdotool mousemove --window "$window" "$x" "$y" click 1
  sleep 0.7  # apart, never a double click
}

# Channel 1 on in the first step. A press on the current cell (channel 1's)
# would open its editor as well, so the press toggles channel 2's cell first
# and back again last.
set_first_cell() {
  local window=$1
  click "$window" "$cell_x" $((cell_y + row_height))
  click "$window" "$cell_x" "$cell_y"
  click "$window" "$cell_x" $((cell_y + row_height))
}

# The colour of the table's header row, in the second column (the marker
# "v" may stand in the first).
header_colour() {
  local window=$1 X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  "$here/screen.py" pixel $((X + header_x)) $((Y + header_y))
}

expect_header() {
  local window=$1 colour=$2 what=$3 i seen
  for i in $(seq 1 50); do
    seen=$(header_colour "$window")
    [ "$seen" = "$colour" ] && return 0
    sleep 0.2
  done
  fail "the table's header is $seen, not $colour ($what)"
}

run_inside() {
  local folder=$1 window pid
  cd "$folder"
  "$scripts/wine-run.sh" --prefix "$prefix" ./rilvet48.exe >"$scratch/first.log" 2>&1 &
  pid=$!
  window=$(wait_window "$main_title") || { cat "$scratch/first.log"; fail "no main window"; }
  sleep 1
  [ -z "$shots" ] || "$here/screen.py" shot "$shots/main.png"
  echo "main window $window: $(xdotool getwindowgeometry "$window" | tr '\n' ' ')"

  # A second instance in the same folder: refused, files untouched.
  "$scripts/wine-run.sh" --prefix "$prefix" ./rilvet48.exe >"$scratch/second.log" 2>&1 &
  local second=$! box status=0
  box=$(wait_window "Rilvet-48") || fail "no message box for a second instance"
  [ -z "$shots" ] || "$here/screen.py" shot "$shots/second-instance.png"
  xdotool windowactivate "$box" 2>/dev/null || true
  xdotool key Return
  wait_exit "$second" || status=$?
  [ "$status" = 1 ] || fail "the second instance ended with status $status, not 1"
  echo "second instance refused"

  # VIRTUAL typed into the port box, one cell set, then Start, Pause, Stop.
  click "$window" "$port_x" "$port_y"
  xdotool key ctrl+a
  xdotool type VIRTUAL
  set_first_cell "$window"
  expect_header "$window" "#C0C0C0" "before the start"
  click "$window" "$start_x" "$button_y"
  expect_header "$window" "#FF0000" "running"
  sleep 2
  [ -z "$shots" ] || "$here/screen.py" shot "$shots/running.png"
  click "$window" "$start_x" "$button_y"
  expect_header "$window" "#FFFF00" "paused"
  click "$window" "$stop_x" "$button_y"
  expect_header "$window" "#C0C0C0" "stopped"
  echo "played on the virtual board: running, paused, stopped"

  local X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  click "$window" $((WIDTH - 103 - 41 + 20)) "$button_y"
  wait_window "$help_title" >/dev/null || fail "the help did not open"
  [ -z "$shots" ] || "$here/screen.py" shot "$shots/help.png"
  echo "help window open"

  click "$window" $((WIDTH - 7 - 41 + 20)) "$button_y"
  status=0
  wait_exit "$pid" || status=$?
  [ "$status" = 0 ] || fail "the program ended with status $status"
  cmp "$folder/Rilvet_код.txt" <(expected_table) || fail "Rilvet_код.txt is not as expected"
  [ "$(stat -c %s "$folder/Rilvet.dat")" = 64 ] || fail "no 64-byte Rilvet.dat at exit"
  echo "exit: Rilvet_код.txt byte-exact, Rilvet.dat 64 bytes"

  # The session ends (Windows logging off): the cell set again is saved.
  rm "$folder/Rilvet_код.txt"
  "$scripts/wine-run.sh" --prefix "$prefix" ./rilvet48.exe >"$scratch/third.log" 2>&1 &
  pid=$!
  window=$(wait_window "$main_title") || fail "no main window the third time"
  sleep 1
  set_first_cell "$window"
  "$scripts/wine-run.sh" --prefix "$prefix" wineboot.exe --end-session >/dev/null 2>&1 || true
  wait_exit "$pid" || true
  cmp "$folder/Rilvet_код.txt" <(expected_table) || fail "the end of the session did not save the table"
  echo "end of session: the table saved"
  echo "PASS: the packaged program under wine"
}

run_installer_inside() {
  local setup=$1 home=$scratch/home user programs window pid
  user=$(id -un)
  programs=$prefix/drive_c/users/$user/AppData/Local/Programs/Rilvet-48
  "$scripts/wine-run.sh" --prefix "$prefix" "$setup" /S || fail "the installer failed"
  local file
  for file in rilvet48.exe Rilvet.hlp rilvet48.ico Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
    platforms/qwindows.dll styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_seh-1.dll \
    libwinpthread-1.dll uninstall.exe; do
    [ -f "$programs/$file" ] || fail "not installed: $file"
  done
  local menu=$prefix/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs
  [ -f "$menu/Rilvet-48.lnk" ] || fail "no Start-menu entry"
  strings -el "$menu/Rilvet-48.lnk" | grep -qx -- '--data-folder' ||
    fail "the Start-menu entry does not start the program with --data-folder"
  echo "installed: $(cd "$programs" && find . -type f | sort | tr '\n' ' ')"

  # As the Start-menu entry starts it, from a folder that is not its own.
  (cd "$scratch" && exec "$scripts/wine-run.sh" --prefix "$prefix" "$programs/rilvet48.exe" \
    --data-folder) >"$scratch/installed.log" 2>&1 &
  pid=$!
  window=$(wait_window "$main_title") || { cat "$scratch/installed.log"; fail "no main window"; }
  local X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  click "$window" $((WIDTH - 7 - 41 + 20)) 28
  wait_exit "$pid" || fail "the installed program ended with status $?"
  [ -f "$home/Documents/Rilvet-48/Rilvet_код.txt" ] && [ -f "$home/Documents/Rilvet-48/Rilvet.dat" ] ||
    fail "no files in Documents\\Rilvet-48: $(find "$home" -type f)"
  echo "the installed program works in Documents\\Rilvet-48"

  # _?= runs the uninstaller where it is, so that it ends when it is done.
  "$scripts/wine-run.sh" --prefix "$prefix" "$programs/uninstall.exe" /S \
    "_?=C:\\users\\$user\\AppData\\Local\\Programs\\Rilvet-48" ||
    fail "the uninstaller failed"
  local left
  left=$(find "$programs" -type f ! -name uninstall.exe 2>/dev/null)
  [ -z "$left" ] || fail "left after uninstalling: $left"
  [ ! -e "$menu/Rilvet-48.lnk" ] || fail "the Start-menu entry is left after uninstalling"
  [ -f "$home/Documents/Rilvet-48/Rilvet_код.txt" ] || fail "the uninstaller removed the user's table"
  echo "PASS: installed per user, started from its Start-menu entry, uninstalled; the data folder stays"
}

case "${1:-}" in
  --installer)
    need xvfb-run xvfb
    need xdotool xdotool
    need strings binutils
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    mkdir -p "$scratch/home/Documents"
    setup=$(realpath "$2")
    # A prefix made here: wine links its Documents to $HOME/Documents.
    HOME=$scratch/home xvfb-run -a -n "$((100 + $$ % 800))" -s "-screen 0 1280x1024x24 -noreset" \
      "$0" installer-display "$scratch" "$setup"
    ;;
  installer-display)
    export RILVET_WINE_DISPLAY=$DISPLAY
    exec "$scripts/wine-run.sh" --prefix "$2/prefix" --session "$0" installer-inside "$2" "$3"
    ;;
  installer-inside)
    scratch=$2
    prefix=$scratch/prefix
    run_installer_inside "$3"
    ;;
  inside)
    # Under the virtual display and one wineserver.
    scratch=$2
    prefix=$3
    shots=$4
    # Positions in the main window (its client area starts at its top left
    # here: no window manager, no frame).
    readonly button_y=28 start_x=148 stop_x=196 port_x=80 port_y=38 cell_x=38 cell_y=89 row_height=16
    readonly header_x=52 header_y=74
    run_inside "$scratch/program"
    ;;
  display)
    # Under the virtual display: wine is given it, and one wineserver.
    export RILVET_WINE_DISPLAY=$DISPLAY
    exec "$scripts/wine-run.sh" --prefix "$3" --session "$0" inside "$2" "$3" "$4"
    ;;
  *)
    [ $# -ge 2 ] || fail "usage: packaged_program_test.sh ZIP WINEPREFIX [SCREENSHOT_FOLDER]"
    zip=$1
    prefix=$2
    shots=${3:-}
    need xvfb-run xvfb
    need xdotool xdotool
    need xwd x11-apps
    need python3 python3
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    zip=$(realpath "$zip")
    (cd "$scratch" && cmake -E tar xf "$zip")
    mv "$scratch"/Rilvet-48-* "$scratch/program"
    # The program runs in its own folder: the pictures' folder is made absolute.
    [ -z "$shots" ] || { mkdir -p "$shots" && shots=$(cd "$shots" && pwd); }
    xvfb-run -a -n "$((100 + $$ % 800))" -s "-screen 0 1280x1024x24 -noreset" \
      "$0" display "$scratch" "$prefix" "$shots"
    ;;
esac

#!/usr/bin/env bash
# CTest fixture of the Windows tests under wine: three pseudo-terminals that
# the test prefix shows as COM ports (pty_loopback.c):
#   LOOP_PORT     its far end sends everything back;
#   BOARD_PORT    the board: its modem lines and bytes are answered inside
#                 wine by the board model (tests/hil/board_shim.c, built here
#                 for the host as STATE_DIR/board_shim.so and preloaded into
#                 the test programs by scripts/wine-run.sh);
#   CONTROL_PORT  the model's control line, bridged to STATE_DIR/control.sock,
#                 where the model connects.
# The model finds the board's pty through the link STATE_DIR/board.tty.
#
#   wine_pty_fixture.sh start PREFIX STATE_DIR LOOP_PORT BOARD_PORT CONTROL_PORT
#   wine_pty_fixture.sh stop  PREFIX STATE_DIR LOOP_PORT BOARD_PORT CONTROL_PORT
#
# RILVET_WINEPREFIX overrides PREFIX, as for scripts/wine-run.sh.
set -euo pipefail

die() {
  echo "wine_pty_fixture: $*" >&2
  exit 1
}

[ $# -eq 6 ] ||
  die "usage: wine_pty_fixture.sh start|stop PREFIX STATE_DIR LOOP_PORT BOARD_PORT CONTROL_PORT"
action=$1
prefix=${RILVET_WINEPREFIX:-$2}
dir=$3
ports=("$4" "$5" "$6")
roles=(loop board control)
here=$(cd "$(dirname "$0")" && pwd)
cc=${CC:-cc}

# COM1 to COM9 may be the machine's own serial devices in a wine prefix.
for port in "${ports[@]}"; do
  [[ $port =~ ^COM[1-9][0-9]+$ ]] || die "the ports must be COM10 or above, not $port"
done

stop() {
  local i link pid
  for i in 0 1 2; do
    link="$prefix/dosdevices/${ports[i],,}"
    if [ -L "$link" ]; then rm -f "$link"; fi
    if [ -f "$dir/${roles[i]}/pid" ]; then
      pid=$(cat "$dir/${roles[i]}/pid")
      # Only the helper an earlier start left running.
      if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q pty_loopback; then
        kill "$pid"
      fi
      rm -f "$dir/${roles[i]}/pid"
    fi
    rm -f "$dir/${roles[i]}/slave" "$dir/${roles[i]}/slave.tmp"
  done
  rm -f "$dir/board.tty" "$dir/control.sock"
}

build() {  # OUTPUT SOURCE FLAGS-OR-MORE-SOURCES...
  local out=$1 source=$2 newer=0
  shift 2
  for file in "$source" "$@"; do
    if [ -f "$file" ] && [ "$file" -nt "$out" ]; then newer=1; fi
  done
  if [ ! -e "$out" ] || [ $newer -eq 1 ]; then
    "$cc" -O2 -Wall -Wextra "$@" -o "$out.tmp" "$source" && mv -f "$out.tmp" "$out"
  fi
}

case $action in
  start)
    stop
    mkdir -p "$dir"
    build "$dir/pty_loopback" "$here/pty_loopback.c"
    # A Linux library although the tests are Windows programs: it lives in
    # wine's own (Linux) process, under its serial driver.
    build "$dir/board_shim.so" "$here/../../hil/board_shim.c" "$here/../../hil/chain_model.c" \
      -shared -fPIC -Wno-format-truncation -pthread -ldl
    [ -d "$prefix/dosdevices" ] || "$here/../../../scripts/wine-run.sh" --prefix "$prefix" --init
    for i in 0 1 2; do
      sub="$dir/${roles[i]}"
      mkdir -p "$sub"
      args=("$sub")
      if [ "${roles[i]}" = control ]; then args+=("$dir/control.sock"); fi
      "$dir/pty_loopback" "${args[@]}" </dev/null >"$sub/log" 2>&1 &
      echo $! >"$sub/pid"
    done
    for i in 0 1 2; do
      sub="$dir/${roles[i]}"
      for _ in $(seq 100); do
        [ -f "$sub/slave" ] && break
        sleep 0.1
      done
      [ -f "$sub/slave" ] || die "pty_loopback did not start: $(cat "$sub/log")"
      slave=$(cat "$sub/slave")
      [ -c "$slave" ] || die "$slave is not a terminal device"
      ln -sfn "$slave" "$prefix/dosdevices/${ports[i],,}"
      echo "${ports[i]} -> $slave (${roles[i]})"
    done
    ln -sfn "$(cat "$dir/board/slave")" "$dir/board.tty"
    ;;
  stop)
    stop
    ;;
  *)
    die "unknown action $action"
    ;;
esac

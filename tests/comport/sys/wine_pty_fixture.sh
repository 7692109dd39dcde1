#!/usr/bin/env bash
# CTest fixture of the Windows tests under wine: a looped-back pseudo-terminal
# (pty_loopback.c) that the test prefix shows as a COM port.
#
#   wine_pty_fixture.sh start PREFIX STATE_DIR COMnn
#   wine_pty_fixture.sh stop  PREFIX STATE_DIR COMnn
#
# RILVET_WINEPREFIX overrides PREFIX, as for scripts/wine-run.sh.
set -euo pipefail

die() {
  echo "wine_pty_fixture: $*" >&2
  exit 1
}

[ $# -eq 4 ] || die "usage: wine_pty_fixture.sh start|stop PREFIX STATE_DIR COMnn"
action=$1
prefix=${RILVET_WINEPREFIX:-$2}
dir=$3
port=$4
here=$(cd "$(dirname "$0")" && pwd)

# COM1 to COM9 may be the machine's own serial devices in a wine prefix.
[[ $port =~ ^COM[1-9][0-9]+$ ]] || die "the port must be COM10 or above, not $port"
link="$prefix/dosdevices/${port,,}"

stop() {
  if [ -L "$link" ]; then rm -f "$link"; fi
  if [ -f "$dir/pid" ]; then
    local pid
    pid=$(cat "$dir/pid")
    # Only the helper an earlier start left running.
    if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q pty_loopback; then
      kill "$pid"
    fi
    rm -f "$dir/pid"
  fi
  rm -f "$dir/slave" "$dir/slave.tmp"
}

case $action in
  start)
    stop
    mkdir -p "$dir"
    if [ ! -x "$dir/pty_loopback" ] || [ "$here/pty_loopback.c" -nt "$dir/pty_loopback" ]; then
      "${CC:-cc}" -O2 -Wall -Wextra -o "$dir/pty_loopback" "$here/pty_loopback.c"
    fi
    [ -d "$prefix/dosdevices" ] || "$here/../../scripts/wine-run.sh" --prefix "$prefix" --init
    "$dir/pty_loopback" "$dir" </dev/null >"$dir/pty_loopback.log" 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 100); do
      [ -f "$dir/slave" ] && break
      sleep 0.1
    done
    [ -f "$dir/slave" ] || die "pty_loopback did not start: $(cat "$dir/pty_loopback.log")"
    slave=$(cat "$dir/slave")
    [ -c "$slave" ] || die "$slave is not a terminal device"
    ln -sfn "$slave" "$link"
    echo "$port -> $slave (looped back)"
    ;;
  stop)
    stop
    ;;
  *)
    die "unknown action $action"
    ;;
esac

#!/usr/bin/env bash
# Runs Windows programs of the cross build under wine; CMake uses it as the
# emulator of build/mingw (test discovery and every test go through it).
#
#   wine-run.sh --prefix DIR PROGRAM.exe [ARGS...]   run a program
#   wine-run.sh --prefix DIR --init                  only create the prefix
#   wine-run.sh --prefix DIR --session CMD [ARGS...] run CMD (e.g. ctest) with
#                                                    one wineserver kept alive
#
# The prefix is the build's own (RILVET_WINEPREFIX overrides --prefix; the
# user's WINEPREFIX and ~/.wine are never used). It is created on first use.
# RILVET_WINE_PRELOAD names a Linux library to preload into the program's own
# wine process (the Windows tests' board model), and into nothing else.
#
# Wine runs as on a Russian Windows: ANSI code page 1251, OEM 866, so file
# names and texts go through the same conversions as for the program's users.
#
# Wine maps the machine's own serial devices (/dev/ttyS*, ttyUSB*, ttyACM*) to
# COM1, COM2 …, and nothing run from a test may ever reach them. So wine only
# runs in a private mount namespace in which each of those devices is /dev/null;
# if that cannot be arranged, nothing is run.
set -euo pipefail

die() {
  echo "wine-run: $*" >&2
  exit 125
}

prefix=""
if [ "${1:-}" = "--prefix" ]; then
  [ $# -ge 2 ] || die "--prefix needs a directory"
  prefix=$2
  shift 2
fi
prefix=${RILVET_WINEPREFIX:-$prefix}
[ -n "$prefix" ] || die "no wine prefix: pass --prefix DIR or set RILVET_WINEPREFIX"
[ $# -ge 1 ] || die "usage: wine-run.sh --prefix DIR (--init | --session CMD... | PROGRAM.exe...)"
case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac

# Ports the prefix lists in HARDWARE\DEVICEMAP\SERIALCOMM besides the machine's
# own, for the port-list test. They point at /dev/null and nothing opens them;
# their registry order (COM230, COM99, COM100) is neither textual nor numeric.
extra_ports=(COM99 COM100 COM230)

# ------------------------------------------------------------ serial devices

serial_devices() {
  local d
  for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    if [ -e "$d" ]; then echo "$d"; fi
  done
}

serial_devices_hidden() {
  local null d
  null=$(stat -Lc '%t:%T' /dev/null)
  while read -r d; do
    [ "$(stat -Lc '%t:%T' "$d")" = "$null" ] || return 1
  done < <(serial_devices)
}

if ! serial_devices_hidden; then
  if [ "${RILVET_WINE_HIDING:-}" = 1 ]; then
    # The copy of this script started in the new namespace: cover the devices.
    while read -r d; do
      mount --bind /dev/null "$d" || die "cannot cover $d in the private namespace"
    done < <(serial_devices)
    serial_devices_hidden || die "serial devices still visible in the private namespace"
  else
    command -v unshare >/dev/null || die "unshare (util-linux) is needed to hide the serial devices"
    if [ "$(id -u)" -eq 0 ]; then
      ns=(unshare --mount --propagation private)
    else
      ns=(unshare --map-root-user --mount --propagation private)
    fi
    RILVET_WINE_HIDING=1 exec "${ns[@]}" "$0" --prefix "$prefix" "$@"
  fi
fi
unset RILVET_WINE_HIDING

# ------------------------------------------------------------ locale

# A Russian UTF-8 locale: the system's, or one compiled once beside the prefix.
# RILVET_WINE_LOCALE names another (C.UTF-8: code page 1252, as on a Windows
# set to English), for the tests that must not depend on 1251.
russian_locale() {
  if [ -n "${RILVET_WINE_LOCALE:-}" ]; then
    export LC_ALL=$RILVET_WINE_LOCALE
    return
  fi
  local dir=$prefix.locale tmp
  if locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
    export LC_ALL=ru_RU.UTF-8
    return
  fi
  if [ ! -d "$dir/ru_RU.UTF-8" ] && command -v localedef >/dev/null; then
    mkdir -p "$(dirname "$dir")"
    tmp=$(mktemp -d "$dir.XXXXXX")
    if localedef -i ru_RU -f UTF-8 "$tmp/ru_RU.UTF-8" >/dev/null 2>&1; then
      mv -T "$tmp" "$dir" 2>/dev/null || rm -rf "$tmp"  # another run was quicker
    else
      rm -rf "$tmp"
    fi
  fi
  if [ -d "$dir/ru_RU.UTF-8" ]; then
    export LOCPATH=$dir
    export LC_ALL=ru_RU.UTF-8 2>/dev/null  # bash itself cannot load it: no matter
  else
    echo "wine-run: no ru_RU.UTF-8 locale (Debian package locales): wine's ANSI code" \
      "page is not 1251 here" >&2
  fi
}
russian_locale

# ------------------------------------------------------------ wine

export WINEPREFIX=$prefix
export WINEDEBUG=${RILVET_WINEDEBUG:--all}
# No Mono or Gecko install prompts, no menu entries written into $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# No display unless one is named for wine (the program's own test on a
# virtual display): nothing else may open windows on the user's screen.
unset DISPLAY WAYLAND_DISPLAY
if [ -n "${RILVET_WINE_DISPLAY:-}" ]; then export DISPLAY=$RILVET_WINE_DISPLAY; fi
command -v wine >/dev/null || die "wine is not installed"

create_prefix() {
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    echo "wine-run: creating wine prefix $prefix" >&2
    wineboot -i >/dev/null 2>&1 || die "wineboot failed for $prefix"
    local port
    for port in "${extra_ports[@]}"; do
      wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /d /dev/null /f >/dev/null 2>&1 ||
        die "cannot register $port in $prefix"
    done
    # Wine publishes the ports when its next session starts: end this one.
    wineserver -w
    [ -f "$prefix/system.reg" ] || die "wine did not create $prefix"
  fi
  flock -u 9
  exec 9>&-
}

[ -f "$prefix/system.reg" ] || create_prefix

case $1 in
  --init)
    exit 0
    ;;
  --session)
    shift
    [ $# -ge 1 ] || die "--session needs a command"
    export RILVET_WINEPREFIX=$prefix RILVET_WINE_SESSION=$prefix
    # Any server left by an earlier run may come from outside this namespace.
    # (`wineserver -k` ends the server and every wine process of the prefix; a
    # server stopped with SIGTERM instead leaves wine's services behind.)
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1
    # Start wine's own services now, detached from CMD's pipes: started by the
    # first test instead, they would hold its output open until the end.
    wineboot </dev/null >/dev/null 2>&1
    status=0
    "$@" || status=$?
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    exit $status
    ;;
esac

# Outside a session, start the services here for the same reason; in one
# they are running already.
if [ "${RILVET_WINE_SESSION:-}" != "$prefix" ]; then
  wineboot </dev/null >/dev/null 2>&1
fi
# The test of the port list reads which extra ports to expect from here.
export RILVET_WINE_EXTRA_PORTS="${extra_ports[*]}"
# A library for the program's process only (the board model of the Windows
# tests): set here, not by the caller, so that neither this script's tools nor
# wine's services load it.
if [ -n "${RILVET_WINE_PRELOAD:-}" ]; then
  export LD_PRELOAD=$RILVET_WINE_PRELOAD
fi
unset RILVET_WINE_PRELOAD
exec wine "$@"

#!/usr/bin/env bash
# The Windows check: builds the Qt-free libraries and their tests as Windows
# programs (mingw-w64, build/mingw) and runs them under wine, against the real
# Win32 API. Exits 0 with "Windows check skipped: …" when the tools are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/mingw
prefix=${RILVET_WINEPREFIX:-$PWD/$build/wineprefix}

skip() {
  echo "Windows check skipped: $*"
  exit 0
}

command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
  skip "no mingw-w64 cross compiler (Debian package g++-mingw-w64-x86-64)"
command -v wine >/dev/null && command -v wineserver >/dev/null ||
  skip "no wine (Debian packages wine, wine64)"
# The CTest fixtures build their helpers for Linux (tests/comport/sys).
command -v "${CC:-cc}" >/dev/null || skip "no C compiler for the host (Debian package gcc)"
[ -f /usr/src/googletest/CMakeLists.txt ] ||
  skip "no GoogleTest sources in /usr/src/googletest (Debian package googletest)"
# wine-run.sh hides the machine's serial devices from wine in a private mount
# namespace; without one, wine must not run at all.
if compgen -G '/dev/tty[SUA]*' >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare --mount true); else ns=(unshare --map-root-user --mount true); fi
  "${ns[@]}" 2>/dev/null ||
    skip "cannot hide this machine's serial devices from wine (unshare: no private mount namespace)"
fi

echo "== Windows check: cross build in $build"
# No build type: neither optimised nor with debug information, which would
# double the time the static test programs take to build.
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE= \
  -DRILVET_BUILD_GUI=OFF \
  -DRILVET_WERROR=ON >/dev/null
cmake --build "$build" -j2

echo "== Windows check: tests under wine (prefix $prefix)"
scripts/wine-run.sh --prefix "$prefix" --init
# Now and then wine fails to start one of the ~250 test processes (it ends
# at once, before the program prints a line); such a test gets one more run.
# A test that fails in its own code fails both runs and is reported.
scripts/wine-run.sh --prefix "$prefix" --session \
  ctest --test-dir "$build" --output-on-failure -j2 --timeout 120 --repeat until-pass:2

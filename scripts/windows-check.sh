#!/usr/bin/env bash
# The Windows check, under wine against the real Win32 API:
#   1. the Qt-free libraries and their tests as Windows programs (mingw-w64,
#      build/mingw, linked static);
#   2. the Qt program and its widget tests for Windows (build/windows, against
#      the Qt that scripts/mingw-qt.sh cross-builds once into a cache: about
#      half an hour the first time);
#   3. the portable zip and the installer, the packaged program started from
#      the zip on a virtual display, and the installer installing, starting
#      and uninstalling it (tests/windows/packaged_program_test.sh).
# Exits 0 with "Windows check skipped: …" when the tools are missing.
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
status=0
scripts/wine-run.sh --prefix "$prefix" --session \
  ctest --test-dir "$build" --output-on-failure -j2 --timeout 120 --repeat until-pass:2 || status=$?

echo "== Windows check: the Qt program and its widget tests (build/windows)"
scripts/windows-build.sh rilvet_qt_tests
qt=$(scripts/mingw-qt.sh --path)
windows_path() { echo "Z:${1//\//\\}"; }
mingw_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
winpthread=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
# The tests find the Qt DLLs and mingw's runtime where they were built (Qt
# finds its plugins beside its DLLs); the packaged program carries its own.
WINEPATH="$(windows_path "$qt/qt/bin");$(windows_path "$mingw_runtime");$(windows_path "$winpthread")" \
  scripts/wine-run.sh --prefix "$prefix" --session \
  ctest --test-dir build/windows -L 'qt|ui_support_tests' --output-on-failure -j2 --timeout 180 \
  --repeat until-pass:2 || status=$?

echo "== Windows check: the packages, and the program from the zip"
scripts/windows-package.sh
zip=$(ls build/windows/package/rilvet48-*-windows-x64.zip)
tests/windows/packaged_program_test.sh "$zip" "$prefix" build/windows/screenshots || status=$?
echo "== Windows check: the installer"
tests/windows/packaged_program_test.sh --installer build/windows/package/rilvet48-*-setup.exe ||
  status=$?
exit $status

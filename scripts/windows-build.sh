#!/usr/bin/env bash
# The Qt program for Windows, cross-built with mingw-w64 into build/windows
# against the Qt and libjpeg that scripts/mingw-qt.sh builds once (and then
# reuses from its cache). Extra arguments are more targets to build, e.g.
# rilvet_qt_tests for the widget tests.
#
#   scripts/windows-build.sh [TARGET...]
#
# Prints nothing but the build's own progress; the program ends up in
# build/windows/src/app/rilvet48.exe.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/windows
qt=$(scripts/mingw-qt.sh)

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DRILVET_MINGW_STATIC=OFF -DRILVET_MINGW_QT="$qt" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DRILVET_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target rilvet48 "$@"

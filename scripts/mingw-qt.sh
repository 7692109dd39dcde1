#!/usr/bin/env bash
# Qt and libjpeg for the Windows build, cross-built once with mingw-w64 from
# Debian's own sources into a cache outside the checkout, and reused by every
# later build (clean clones included):
#
#   scripts/mingw-qt.sh            build what is missing, print the cache folder
#   scripts/mingw-qt.sh --path     only print the cache folder (may not exist yet)
#
# The cache is keyed by the versions: Qt's is the host's (its moc, rcc and uic
# build the Windows program, so the two must match), libjpeg-turbo's is the
# one Debian ships. Qt is built with shared DLLs, so that users may replace
# them, and only with the modules and plugins the program needs.
#
# The sources come through a private apt configuration (its own lists folder
# and a one-line deb-src file), so the machine's apt sources are left alone.
# The first build takes about half an hour on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

die() {
  echo "mingw-qt: $*" >&2
  exit 1
}

# Bump when the recipe below changes, so that an old cache is not reused.
recipe=1
upstream() { sed -e 's/^[0-9]*://' -e 's/[+~-].*//'; }
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null | upstream)
jpeg_version=$(dpkg-query -W -f='${Version}' libjpeg62-turbo-dev 2>/dev/null | upstream)
[ -n "$qt_version" ] || die "qt6-base-dev is not installed (scripts/bootstrap.sh run)"
[ -n "$jpeg_version" ] || die "libjpeg62-turbo-dev is not installed (scripts/bootstrap.sh run)"

cache_root=${RILVET_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rilvet48}
cache=$cache_root/mingw-qt-$qt_version-jpeg-$jpeg_version-r$recipe
if [ "${1:-}" = "--path" ]; then
  echo "$cache"
  exit 0
fi
if [ -f "$cache/complete" ]; then
  echo "$cache"
  exit 0
fi

command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
  die "no mingw-w64 cross compiler (Debian package g++-mingw-w64-x86-64)"
mkdir -p "$cache_root"
exec 9>"$cache.lock"
flock 9
if [ -f "$cache/complete" ]; then # built by another run meanwhile
  echo "$cache"
  exit 0
fi
rm -rf "$cache"
mkdir -p "$cache"
started=$(date +%s)
echo "mingw-qt: building Qt $qt_version and libjpeg-turbo $jpeg_version for Windows into $cache" \
  "(once; about half an hour on two cores)" >&2

# ------------------------------------------------------------ sources

mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/* *$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
  head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\?\(http[^ ]*\/debian\)\/* .*/\2/p' \
  /etc/apt/sources.list 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$cache/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  >"$apt_dir/sources.list"
apt_opts=(-o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o Dir::Etc::SourceParts=/dev/null -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update || die "apt-get update of the source list failed ($mirror)"
(cd "$cache/src" && apt-get "${apt_opts[@]}" -qq source --download-only qt6-base libjpeg-turbo) ||
  die "apt-get source failed"
qt_tar=$(ls "$cache/src"/qt6-base_"$qt_version"*.orig.tar.* 2>/dev/null | head -n 1)
jpeg_tar=$(ls "$cache/src"/libjpeg-turbo_"$jpeg_version"*.orig.tar.* 2>/dev/null | head -n 1)
[ -n "$qt_tar" ] || die "Debian's source of qt6-base is not version $qt_version"
[ -n "$jpeg_tar" ] || die "Debian's source of libjpeg-turbo is not version $jpeg_version"
tar -xf "$qt_tar" -C "$cache/src"
tar -xf "$jpeg_tar" -C "$cache/src"
qt_src=$(find "$cache/src" -maxdepth 1 -type d -name 'qtbase-everywhere-src-*' | head -n 1)
jpeg_src=$(find "$cache/src" -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -n 1)
[ -d "$qt_src" ] && [ -d "$jpeg_src" ] || die "unexpected layout of the source archives"

toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRILVET_MINGW_STATIC=OFF)

# ------------------------------------------------------------ libjpeg-turbo

# Static: the program is its only user. No SIMD (no nasm here); the program
# decodes one small picture.
cmake -S "$jpeg_src" -B "$cache/build/jpeg" -G Ninja "${toolchain[@]}" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$cache/jpeg" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF \
  -DWITH_JPEG8=OFF >/dev/null
cmake --build "$cache/build/jpeg" --target install >/dev/null

# ------------------------------------------------------------ Qt

# Debian's repacked source has no src/3rdparty/wintab, hence no tablet events;
# OpenGL stays on because the Windows plugin of 6.4 does not build without it
# (it is then loaded at run time, "dynamic OpenGL").
cmake -S "$qt_src" -B "$cache/qt" -G Ninja "${toolchain[@]}" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_tabletevent=OFF \
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
  -DFEATURE_system_freetype=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_doubleconversion=OFF >"$cache/qt-configure.log" 2>&1 ||
  die "Qt's configure failed; see $cache/qt-configure.log"
# The program is used from this build folder: Qt's CMake files there point at
# it, so it needs no install step that would want every module built.
ninja -C "$cache/qt" Core Gui Widgets Test EntryPointImplementation \
  QWindowsIntegrationPlugin QWindowsVistaStylePlugin QOffscreenIntegrationPlugin \
  >"$cache/qt-build.log" 2>&1 || die "Qt's build failed; see the end of $cache/qt-build.log"
rm -rf "$cache/build" "$cache/apt" "$cache/src"/*.tar.* "$cache/src"/*.dsc

echo "Qt $qt_version, libjpeg-turbo $jpeg_version, built in $(($(date +%s) - started)) s" \
  >"$cache/complete"
echo "mingw-qt: done in $(($(date +%s) - started)) s" >&2
echo "$cache"

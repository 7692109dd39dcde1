#!/usr/bin/env bash
# Installs the Debian packages that Rilvet-48 needs for one or more purposes;
# packages already installed are skipped and nothing else is changed.
#
#   scripts/bootstrap.sh [PURPOSE...]     (default: run)
#
#   run          build and run the program (make run)
#   test         + the tests: GoogleTest, virtual display, desktop file and
#                  metainfo checks, the accessibility tree, the Windows
#                  check, the QEMU rig (make test)
#   check        the sanitizer builds (make check): what test needs
#   bench        + Google Benchmark, and the rig for its frame figure (make bench)
#   fuzz         + clang and its libFuzzer runtime (make fuzz)
#   hil          + QEMU, busybox and Google Benchmark for the hardware-in-the-loop
#                  rig (make hil)
#   screenshots  + a virtual display (make screenshots)
#   package      + the Debian package tools (make package)
#   windows      + the mingw-w64 cross compiler and NSIS (make windows)
#   artwork      + ImageMagick, for redrawing the about box's picture
#   lint         clang-format and clang-tidy (make lint, make tidy)
#   all          every one of these
set -euo pipefail

run=(
  # build
  cmake ninja-build g++ make pkg-config
  # the program: Qt 6 Widgets (with its display plugins), libjpeg, fonts
  # with Cyrillic glyphs
  qt6-base-dev qt6-base-dev-tools libjpeg62-turbo-dev fonts-dejavu-core fonts-liberation
  # the FTDI fast path (left out of the build where it is missing)
  libftdi1-dev libusb-1.0-0-dev
)
virtual_display=(xvfb xauth x11-utils)
# the hardware-in-the-loop rig: QEMU and a static busybox for the guest (its
# kernel is fetched by scripts/hil.sh with apt-get download), and Google
# Benchmark for the frame benchmark it runs once, libftdi for the emulated FT232R's
# bit-bang tests
hil=(qemu-system-x86 busybox-static xz-utils libbenchmark-dev libftdi1-dev)
package=(dpkg-dev file)
# the Windows build: Qt and libjpeg are cross-built from Debian's sources
# (scripts/mingw-qt.sh), the installer made with NSIS
windows=(g++-mingw-w64-x86-64 xz-utils nsis)
test=(
  "${run[@]}"
  # unit and widget tests
  libgtest-dev libgmock-dev googletest
  # the installed program started from its menu entry under a virtual display
  "${virtual_display[@]}" xdotool desktop-file-utils appstream man-db file
  # the Windows program's screenshots and colours (xwd)
  x11-apps
  # the accessibility tree as a screen reader sees it (xdotool moves the pointer)
  dbus at-spi2-core python3 python3-pyatspi
  # the Windows check: cross compiler, wine, and the locale sources from
  # which a Russian locale is made for wine (ANSI code page 1251)
  "${windows[@]}" wine64 wine locales
  "${hil[@]}"
)

packages=()
add() { packages+=("$@"); }
[ $# -gt 0 ] || set -- run
for purpose in "$@"; do
  case "$purpose" in
    run) add "${run[@]}" ;;
    test | check) add "${test[@]}" ;;
    # the benchmarks include the frame through the rig's guest
    bench) add "${run[@]}" libbenchmark-dev libgtest-dev libgmock-dev googletest "${hil[@]}" ;;
    fuzz) add "${run[@]}" clang libclang-rt-14-dev ;;
    hil) add "${run[@]}" libgtest-dev libgmock-dev googletest "${hil[@]}" ;;
    screenshots) add "${run[@]}" "${virtual_display[@]}" ;;
    package) add "${run[@]}" "${package[@]}" ;;
    windows) add "${run[@]}" "${windows[@]}" ;;
    artwork) add python3 imagemagick ;;
    lint) add clang-format clang-tidy ;;
    all) add "${test[@]}" libbenchmark-dev clang libclang-rt-14-dev imagemagick clang-format clang-tidy ;;
    *)
      echo "bootstrap: unknown purpose '$purpose' (run, test, check, bench, fuzz, hil, screenshots, package, windows, artwork, lint, all)" >&2
      exit 2
      ;;
  esac
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap ($*): all ${#packages[@]} Debian packages are installed"
  exit 0
fi

echo "bootstrap ($*): installing ${#missing[@]} missing Debian packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    sudo="sudo"
  else
    echo "bootstrap: not root and no sudo; install these packages first: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
echo "bootstrap: done"

#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Rilvet-48
# needs. Packages already installed are skipped; nothing else is changed.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ make pkg-config
  # the program: Qt 6 Widgets, libjpeg, fonts with Cyrillic glyphs
  qt6-base-dev qt6-base-dev-tools libjpeg62-turbo-dev fonts-dejavu-core fonts-liberation
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # screenshots under a virtual display
  xvfb xauth x11-utils imagemagick
  # the Windows check: cross compiler, wine, and the locale sources from which
  # a Russian locale is made for wine (ANSI code page 1251)
  g++-mingw-w64-x86-64 wine64 wine locales
  # the hardware-in-the-loop rig: QEMU and a static busybox for the guest (its
  # kernel is fetched by scripts/hil.sh with apt-get download)
  qemu-system-x86 busybox-static xz-utils
  # sanitizers and fuzzing
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap: all ${#packages[@]} Debian packages are installed"
  exit 0
fi

echo "bootstrap: installing ${#missing[@]} missing Debian packages: ${missing[*]}"
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

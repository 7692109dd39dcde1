#!/usr/bin/env bash
# The hardware-in-the-loop rig: the Linux serial path on the kernel's own
# drivers, in a QEMU guest (see docs/hil.md).
#
#   scripts/hil.sh            build, boot, run the guest's tests (make hil)
#   scripts/hil.sh --bench    the same with the frame benchmark (make bench)
#   scripts/hil.sh --optional as the first, but skip with a message where QEMU
#                             cannot run here (make test)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=test
optional=0
for arg in "$@"; do
  case "$arg" in
    --bench) mode=bench ;;
    --optional) optional=1 ;;
    *) echo "hil: unknown argument $arg" >&2; exit 2 ;;
  esac
done

skip() {
  if [ $optional -eq 1 ]; then
    echo "== HIL rig skipped: $*"
    exit 0
  fi
  echo "hil: $*" >&2
  exit 1
}

[ "$(uname -s)" = Linux ] && [ "$(uname -m)" = x86_64 ] || skip "needs an x86_64 Linux host"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
[ -x /bin/busybox ] && file_is_static=$(ldd /bin/busybox 2>&1 || true) &&
  [[ "$file_is_static" == *"not a dynamic"* ]] || skip "busybox-static is not installed"

work=build/hil
mkdir -p "$work"

# The guest kernel: the image Debian's linux-image-amd64 names, taken apart
# once. Booted uncompressed through its PVH entry (no firmware, about 2 s).
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
if [ -z "$kernel_package" ]; then
  apt-get update -qq || true
  kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
fi
[ -n "$kernel_package" ] || skip "no Debian kernel package found (apt-cache depends linux-image-amd64)"
kernel_dir="$work/$kernel_package"
# The USB serial path, and the software USB device controller with the
# gadget framework on which the emulated FT232R runs.
modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio
         configfs udc-core libcomposite usb_f_fs dummy_hcd)
complete=1
[ -s "$kernel_dir/vmlinux" ] || complete=0
for module in "${modules[@]}"; do [ -s "$kernel_dir/modules/$module.ko" ] || complete=0; done
if [ $complete -eq 0 ]; then
  echo "hil: fetching $kernel_package"
  rm -rf "$kernel_dir" && mkdir -p "$kernel_dir/deb"
  (cd "$kernel_dir/deb" && { apt-get download "$kernel_package" 2>/dev/null ||
     { apt-get update -qq && apt-get download "$kernel_package"; }; })
  dpkg-deb -x "$kernel_dir"/deb/*.deb "$kernel_dir/root"
  vmlinuz=$(ls "$kernel_dir"/root/boot/vmlinuz-*)
  # As the kernel's scripts/extract-vmlinux does: find the xz stream and
  # unpack it (the bytes after the stream are not ours to care about).
  offset=$(LC_ALL=C grep -aobUP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || skip "no xz stream in $vmlinuz"
  tail -c +$((offset + 1)) "$vmlinuz" | xz -dc > "$kernel_dir/vmlinux.part" 2>/dev/null || true
  [ "$(head -c 4 "$kernel_dir/vmlinux.part" | od -An -c | tr -d ' ')" = "177ELF" ] ||
    skip "could not extract an ELF kernel from $vmlinuz"
  mkdir -p "$kernel_dir/modules"
  for module in "${modules[@]}"; do
    found=$(find "$kernel_dir/root/lib/modules" -name "$module.ko*" | head -n 1)
    [ -n "$found" ] || skip "module $module missing from $kernel_package"
    case "$found" in
      *.xz) xz -dc "$found" > "$kernel_dir/modules/$module.ko" ;;
      *.zst) zstd -qdc "$found" > "$kernel_dir/modules/$module.ko" ;;
      *) cp "$found" "$kernel_dir/modules/$module.ko" ;;
    esac
  done
  rm -rf "$kernel_dir/deb" "$kernel_dir/root"
  mv "$kernel_dir/vmlinux.part" "$kernel_dir/vmlinux"
fi

# The programs: the guest's tests from the debug build, the benchmark from
# the release build.
if [ $mode = bench ]; then
  build=build/release
  cmake --preset release >/dev/null
  cmake --build --preset release --target hil_frame_bench hil_rig hil_board_shim hil_ft232r_gadget
  guest_programs=(bench/hil_frame_bench tests/hil/hil_ft232r_gadget)
  run_list="frame_bench /tests/hil_frame_bench --benchmark_color=false"
else
  build=build/dev
  cmake --preset dev >/dev/null
  cmake --build --preset dev --target comport_tests sequencer_tests hil_tests hil_rig hil_board_shim \
    hil_ft232r_gadget hil_ft232r_tests
  guest_programs=(tests/comport/comport_tests tests/sequencer/sequencer_tests tests/hil/hil_tests
                  tests/hil/hil_ft232r_gadget tests/hil/hil_ft232r_tests)
  # The frame benchmark's every path once, untimed, so that `make bench`
  # does not break unnoticed (Google Benchmark installed: scripts/bootstrap.sh hil).
  cmake --preset release >/dev/null
  cmake --build --preset release --target hil_frame_bench
  guest_programs+=(../release/bench/hil_frame_bench)
  # The adapters' unplugging runs last: QEMU's does not come back.
  run_list="comport_tests /tests/comport_tests --gtest_brief=1 --gtest_color=no
sequencer_tests /tests/sequencer_tests --gtest_brief=1 --gtest_color=no
hil_tests /tests/hil_tests --gtest_brief=1 --gtest_color=no --gtest_filter=-*AdapterUnplugTest.*
hil_ft232r_tests /tests/hil_ft232r_tests --gtest_brief=1 --gtest_color=no
frame_bench_once /tests/hil_frame_bench --once
hil_unplug_tests /tests/hil_tests --gtest_brief=1 --gtest_color=no --gtest_filter=*AdapterUnplugTest.*"
fi

# The initramfs: busybox, the init script, the programs with the shared
# libraries they load, the USB serial modules.
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,tests,lib/modules}
cp /bin/busybox "$root/bin/busybox"
cp tests/hil/init "$root/init"
cp "$kernel_dir"/modules/*.ko "$root/lib/modules/"
printf '%s\n' "$run_list" > "$root/tests/run.list"
for program in "${guest_programs[@]}"; do
  cp "$build/$program" "$root/tests/"
  for library in $(ldd "$build/$program" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
done
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initramfs.cpio.gz"

echo "== HIL rig: QEMU guest, ttyS1 on the 8250 driver, ttyUSB0 on ftdi_sio, ttyUSB1 on ftdi_sio (emulated FT232R)"
started=$(date +%s)
status=0
"$build/tests/hil/hil_rig" qemu-system-x86_64 "$PWD/$build/tests/hil/hil_board_shim.so" \
  "$kernel_dir/vmlinux" "$work/initramfs.cpio.gz" "$PWD/$work/run" 300 || status=$?
echo "== HIL rig: $(( $(date +%s) - started )) s"
exit $status

#!/usr/bin/env bash
# The board shim refuses every device of the machine QEMU runs on, by name or
# through links, and lets everything else through. Only names that do not
# exist are tried: a shim that failed to refuse would open nothing.
set -euo pipefail
shim=$1
probe=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ln -s /dev/ttyACM97 "$scratch/link-to-acm"
ln -s link-to-acm "$scratch/link-to-link"
ln -s /dev/serial/by-id/usb-none-if00 "$scratch/by-id"
refused=(/dev/ttyS97 /dev/ttyUSB97 /dev/ttyACM97 /dev/ttyAMA97 /dev/tty97 /dev/serial/by-id/none
         "$scratch/link-to-acm" "$scratch/link-to-link" "$scratch/by-id")
passed=("$scratch/missing" /dev/pts/999999)
out=$(LD_PRELOAD="$shim" "$probe" "${refused[@]}" "${passed[@]}")
status=0
for path in "${refused[@]}"; do
  grep -qxF "$path 13" <<<"$out" || { echo "not refused: $(grep -F "$path " <<<"$out")"; status=1; }
done
for path in "${passed[@]}"; do
  grep -qxF "$path 2" <<<"$out" || { echo "refused or opened: $(grep -F "$path " <<<"$out")"; status=1; }
done
[ $status -eq 0 ] && echo "the shim refused all ${#refused[@]} machine device names"
exit $status

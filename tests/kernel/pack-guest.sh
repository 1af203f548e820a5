#!/usr/bin/env bash
# Packs the kernel tier's guest (without a kernel's modules, which tier.sh adds per kernel) into
# a gzipped cpio archive: busybox-static, the programs with every library ldd names, the guest's
# scripts and the chip table. Run by the build (target kernel-guest):
#
#   pack-guest.sh OUTPUT RENUMBER DOCTOR MOTOR_SIM ADAPTER_LAYER USB_CHIP TTY_TX
set -euo pipefail
[ $# -eq 7 ] || { echo "usage: pack-guest.sh OUTPUT RENUMBER DOCTOR MOTOR_SIM LAYER USB_CHIP TTY_TX" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
output=$1
tree=$(mktemp -d "${TMPDIR:-/tmp}/kernel-guest.XXXXXX")
trap 'rm -rf "$tree"' EXIT

# The guest has no libraries of its own for the shell: Debian's dynamically linked busybox
# (package busybox) will not do.
if [ ! -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then
    echo "pack-guest: /bin/busybox is missing or not statically linked: install busybox-static" >&2
    exit 1
fi

# Copies program $1 to $2 in the tree, with every library ldd names at its own path.
install_program() {
    local library
    mkdir -p "$tree$(dirname "$2")"
    cp "$1" "$tree$2"
    for library in $(ldd "$1" | awk '/=> \// { print $3 } /^\t\// { print $1 }'); do
        mkdir -p "$tree$(dirname "$library")"
        cp -L "$library" "$tree$library"
    done
}

mkdir -p "$tree"/{bin,usr/bin,etc,proc,sys,dev,tmp,run,kernel}
cp /bin/busybox "$tree/bin/busybox"
install_program "$2" /usr/bin/renumber
install_program "$3" /usr/bin/renumber-doctor
install_program "$4" /usr/bin/motor-sim
# motor-sim preloads its layer from ../lib/renumber/, as when installed.
install_program "$5" /usr/lib/renumber/libmotor-sim-adapter.so
install_program "$6" /usr/bin/usb-chip
install_program "$7" /usr/bin/tty-tx
# operator: a user of the bench, in dialout only, for cases that must not lean on root.
printf 'root:x:0:0:root:/root:/bin/sh\noperator:x:1000:1000::/tmp:/bin/sh\n' >"$tree/etc/passwd"
printf 'root:x:0:\ndialout:x:20:operator\noperator:x:1000:\n' >"$tree/etc/group"
install -m 0755 "$here/guest/init" "$tree/init"
cp "$here/guest/lib.sh" "$here/guest/cases.sh" "$here/chips.tsv" "$tree/kernel/"
(cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$output.new"
mv "$output.new" "$output"

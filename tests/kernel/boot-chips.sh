#!/bin/bash
# Boots a Debian kernel under qemu with the chips' case script as its only job and prints the
# guest's "observed" lines. A small harness of its own until the VM tier's lands.
#   boot-chips.sh KERNEL_ROOT BUILD_DIR
# KERNEL_ROOT is a linux-image-*.deb unpacked with dpkg-deb -x.
set -euo pipefail
kernel_root=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d /tmp/chips-boot.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root"/{bin,sbin,etc/renumber,proc,sys,dev,tmp,run,lib/modules}

modules=$(find "$kernel_root" -path '*/lib/modules/*' -maxdepth 3 -mindepth 3 -type d | head -n 1)
vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-*)

# The modules the chips need, each after the modules it depends on (modinfo's depends=).
declare -A seen=()
order=()
add_module() {
    local name=$1 file dep
    [[ -n ${seen[$name]:-} ]] && return
    seen[$name]=1
    file=$(find "$modules/kernel" -name "$name.ko*" | head -n 1)
    [[ -n $file ]] || file=$(find "$modules/kernel" -name "${name//_/-}.ko*" | head -n 1)
    [[ -n $file ]] || { echo "boot-chips: no module $name in $modules" >&2; exit 1; }
    for dep in $(modinfo -F depends "$file" | tr ',' ' '); do
        add_module "$dep"
    done
    case $file in
    *.xz) xz -dc "$file" >"$root/lib/modules/$name.ko" ;;
    *.zst) zstd -qdc "$file" >"$root/lib/modules/$name.ko" ;;
    *) cp "$file" "$root/lib/modules/$name.ko" ;;
    esac
    order+=("$name")
}
for name in configfs usb_f_fs dummy_hcd ftdi_sio ch341 cp210x pl2303 cdc_acm; do
    add_module "$name"
done

cp /bin/busybox "$root/bin/busybox"
for tool in sh mount insmod sleep grep sed tail cat kill printf basename readlink test mkdir \
    poweroff dmesg echo ls; do
    ln -s busybox "$root/bin/$tool"
done
for program in "$build/src/app/renumber" "$build/src/doctor/renumber-doctor" \
    "$build/sim/motor-sim" "$build/sim/usb-chip/usb-chip"; do
    cp "$program" "$root/bin/"
    for library in $(ldd "$program" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
done
# motor-sim looks for its adapter layer beside it; --serve does not preload it, but keep it there.
[[ -f $build/sim/libmotor-sim-adapter.so ]] && cp "$build/sim/libmotor-sim-adapter.so" "$root/bin/"
cp "$here/chips.tsv" "$root/etc/renumber/chips.tsv"
cp "$here/chips-guest.sh" "$root/bin/chips-guest"

{
    echo '#!/bin/sh'
    echo 'mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev'
    echo 'mount -t tmpfs tmp /tmp; mount -t tmpfs run /run; mkdir -p /dev/pts; mount -t devpts devpts /dev/pts'
    for name in "${order[@]}"; do
        echo "insmod /lib/modules/$name.ko"
    done
    echo 'mount -t configfs none /sys/kernel/config'
    echo "CHIPS_VERBOSE=${CHIPS_VERBOSE:-} chips-guest"
    echo 'poweroff -f'
} >"$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$scratch/initramfs.gz"

accel=tcg
[[ -w /dev/kvm && -z ${CHIPS_TCG:-} ]] && accel=kvm
timeout "${CHIPS_BOOT_LIMIT:-600}" qemu-system-x86_64 -accel "$accel" -m 512 -smp 1 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$scratch/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" </dev/null

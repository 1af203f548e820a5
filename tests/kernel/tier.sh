#!/usr/bin/env bash
# The kernel tier's host side, for one kernel: fetches Debian N's kernel image (apt-get download,
# unpacked, never installed; cached), adds the modules the cases need to the guest that the build
# packed (target kernel-guest), boots it under qemu-system-x86_64 and counts the results the guest
# sends back as TAP. Every verdict is the guest's; this script only boots, collects and counts.
#
#   tier.sh --kernel 12|13 --guest FILE [--accel kvm|tcg] [--case NAME]...
#
#   --kernel N     Debian N's kernel: 12 (bookworm, 6.1) or 13 (trixie, 6.12)
#   --guest FILE   the guest archive (BUILD/tests/kernel/guest.cpio.gz)
#   --accel A      kvm or tcg; by default kvm where /dev/kvm can be opened and brings the guest
#                  up within 10 s, tcg otherwise
#   --case NAME    run only this case (repeatable), as the results name it
#
#   RENUMBER_KERNEL_CACHE=DIR        downloads kept between runs (default under $XDG_CACHE_HOME)
#   RENUMBER_DEBIAN_MIRROR=URL       the Debian archive to fetch from (default: the one apt uses)
#   RENUMBER_KERNEL_GUEST_LIMIT=S    stop a guest that has not powered off after S s (300)
#   RENUMBER_KERNEL_KEEP=1           keep the scratch folder (initramfs, console log, results)
#   RENUMBER_KERNEL_NO_SKIP=1        a missing tool or guest fails instead of skipping
#
# Exit status: 0 when every case passed, 1 when one failed or the guest did not finish, 77 (a
# skip to ctest) when a tool it needs or the guest archive is missing. Apt's lists and the kernel
# packages are fetched with a private apt configuration, so the host's apt setup is never changed.
set -euo pipefail

release=
guest=
accel=
cases=()
readonly GUEST_LIMIT_S=${RENUMBER_KERNEL_GUEST_LIMIT:-300}
readonly SKIP=77
# A guest under KVM is up within a few seconds even on a loaded machine.
readonly KVM_PROBE_S=10
# The modules the cases need; modprobe adds what each depends on, in load order.
readonly MODULES=(xhci-pci usbserial ftdi_sio ch341 cp210x pl2303 cdc-acm configfs dummy_hcd
                  libcomposite usb_f_acm usb_f_fs)

say() { printf 'kernel-tier[%s]: %s\n' "${release:-?}" "$*" >&2; }
fail() { say "$*"; exit 1; }
# CI sets RENUMBER_KERNEL_NO_SKIP=1: there, a missing tool is a failure.
skip() { say "SKIP: $*"; [ "${RENUMBER_KERNEL_NO_SKIP:-0}" = 1 ] && exit 1; exit "$SKIP"; }
usage() { sed -n '/^#   tier.sh/,/^#   RENUMBER_KERNEL_NO_SKIP/s/^# \{0,1\}//p' "$0" >&2; exit "$1"; }

while [ $# -gt 0 ]; do
    case $1 in
    --kernel) release=${2:?}; shift 2 ;;
    --guest) guest=${2:?}; shift 2 ;;
    --accel) accel=${2:?}; shift 2 ;;
    --case) cases+=("${2:?}"); shift 2 ;;
    -h | --help) usage 0 ;;
    *) say "unknown argument: $1"; usage 64 ;;
    esac
done
case $release in
12) suite=bookworm ;;
13) suite=trixie ;;
*) say "--kernel 12 or 13"; usage 64 ;;
esac

missing=()
for tool in qemu-system-x86_64:qemu-system-x86 cpio:cpio depmod:kmod modprobe:kmod \
            dpkg-deb:dpkg apt-get:apt xz:xz-utils; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
[ ${#missing[@]} -eq 0 ] || skip "not installed: ${missing[*]} (scripts/ci-kernel.sh installs them)"
[ -f "$guest" ] || skip "no guest archive '$guest': build it with cmake --build --preset kernel (needs busybox-static and cpio)"

# apt-get and apt-cache with lists, cache and sources of their own under the cache folder: the
# host's sources, preferences, lists and package database are neither read nor changed.
private_apt() {
    local tool=$1
    shift
    "$tool" -q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/empty" \
        -o Dir::Etc::Preferences="$apt/empty/none" -o Dir::Etc::PreferencesParts="$apt/empty" \
        -o Dir::State="$apt/state" -o Dir::State::Lists="$apt/state/lists" \
        -o Dir::State::status="$apt/state/status" -o Dir::Cache="$apt/cache" \
        -o Acquire::Languages=none -o APT::Sandbox::User=root "$@"
}

# The kernel package linux-image-amd64 depends on, fetched into the cache; prints its path.
# Refreshes the lists each run; offline, an earlier download serves.
fetch_kernel() {
    local package deb
    mkdir -p "$apt/empty" "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/debs"
    touch "$apt/state/status"
    printf 'deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
        "$mirror" "$suite" >"$apt/sources.list"
    if ! private_apt apt-get update >"$work/apt.log" 2>&1; then
        deb=$(find "$apt/debs" -name 'linux-image-*.deb' | sort | tail -n 1)
        [ -n "$deb" ] || { tail -n 20 "$work/apt.log" >&2; fail "apt-get update for $suite failed"; }
        say "apt-get update for $suite failed; using the kernel fetched before: ${deb##*/}"
        echo "$deb"
        return
    fi
    package=$(private_apt apt-cache depends linux-image-amd64 |
              awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
    [ -n "$package" ] || fail "$suite: linux-image-amd64 depends on no kernel image"
    deb=$(find "$apt/debs" -name "${package}_*.deb" | sort | tail -n 1)
    if [ -z "$deb" ]; then
        say "fetching $package from $suite"
        (cd "$apt/debs" && private_apt apt-get download "$package") >>"$work/apt.log" 2>&1 ||
            { tail -n 20 "$work/apt.log" >&2; fail "download of $package failed"; }
        deb=$(find "$apt/debs" -name "${package}_*.deb" | sort | tail -n 1)
        # Older kernels of this suite are of no more use.
        find "$apt/debs" -maxdepth 1 -name 'linux-image-*' ! -name "${deb##*/}*" -exec rm -rf {} +
    fi
    echo "$deb"
}

# Unpacks the kernel image of package $1 into $2/vmlinuz, and the modules the cases need,
# uncompressed, with /modules/order (the files to load, one a line, dependencies first) into the
# archive $2/modules.cpio.gz.
unpack_kernel() {
    local unpacked=$work/unpacked tree=$work/modules-tree version line name
    mkdir -p "$unpacked" "$tree/modules"
    dpkg-deb --fsys-tarfile "$1" |
        tar -x -C "$unpacked" --wildcards '*/vmlinuz-*' '*/modules.builtin*' '*/modules.order' \
            '*/kernel/drivers/usb/*' '*/kernel/fs/configfs/*'
    # Debian 12 ships /lib/modules, Debian 13 /usr/lib/modules.
    if [ -d "$unpacked/usr/lib/modules" ]; then
        mkdir -p "$unpacked/lib"
        ln -sfn ../usr/lib/modules "$unpacked/lib/modules"
    fi
    version=$(ls "$unpacked/lib/modules")
    depmod -b "$unpacked" "$version"
    : >"$tree/modules/order"
    for module in "${MODULES[@]}"; do
        modprobe -d "$unpacked" -S "$version" --show-depends "$module" | while read -r line; do
            [ "${line%% *}" = insmod ] || continue # built in
            line=${line#insmod }
            line=${line%% *}
            name=$(basename "$line")
            name=${name%.xz}
            name=${name%.zst}
            grep -qx "$name" "$tree/modules/order" && continue
            case $line in
            *.xz) xz -dc "$line" >"$tree/modules/$name" ;;
            *.zst) zstd -qdc "$line" >"$tree/modules/$name" ;;
            *) cp "$line" "$tree/modules/$name" ;;
            esac
            echo "$name" >>"$tree/modules/order"
        done
    done
    mkdir -p "$2"
    (cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$2/modules.cpio.gz"
    cp "$unpacked/boot/vmlinuz-$version" "$2/vmlinuz"
    echo "$version" >"$2/version"
}

# Boots the kernel in $kernel with the guest and its modules; the results come back on a PCI
# serial port into $work/results, the console goes to $work/console.log.
boot() {
    local accel_args=() tenths=0
    case $accel in
    kvm) accel_args=(-accel kvm -smp 2) ;;
    # One CPU: with two, Debian 13's kernel now and then died early under TCG ("Oops: int3" in
    # sched_clock_cpu while it patched its code on both CPUs), and the cases only wait anyway.
    tcg) accel_args=(-accel tcg -smp 1) ;;
    esac
    : >"$work/results"
    # ttyS0 is the console; ttyS1 a second 16550A with its 1,843,200 Hz clock; qemu's FTDI model on
    # xhci, which attaches only once its backend is open (a file). The guest judges what reached
    # those lines by the drivers' own counts.
    qemu-system-x86_64 "${accel_args[@]}" -m 512 -nodefaults -no-reboot -display none \
        -kernel "$kernel/vmlinuz" -initrd "$work/initrd" \
        -append "console=ttyS0 loglevel=3 panic=-1 kernel_tier.cases=$(IFS=,; echo "${cases[*]}")" \
        -chardev file,id=console,path="$work/console.log" -serial chardev:console \
        -chardev null,id=uart -serial chardev:uart \
        -chardev file,id=results,path="$work/results" -device pci-serial,chardev=results \
        -chardev file,id=ftdi,path="$work/ftdi.line" \
        -device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=ftdi &
    qemu_pid=$!
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [ "$tenths" -ge $((GUEST_LIMIT_S * 10)) ]; then
            say "the guest did not power off within $GUEST_LIMIT_S s; stopping it"
            kill "$qemu_pid" 2>/dev/null || true
            break
        fi
        # Some hosts offer a /dev/kvm that cannot run a guest (nested virtualisation that hides
        # the CPU's features): the guest then never comes up.
        if [ "$accel" = kvm ] && [ "$accel_chosen" = auto ] && [ "$tenths" -eq $((KVM_PROBE_S * 10)) ] &&
            ! grep -q '^# up' "$work/results"; then
            say "KVM did not bring the guest up within $KVM_PROBE_S s; falling back to TCG"
            kill "$qemu_pid" 2>/dev/null || true
            wait "$qemu_pid" || true
            accel=tcg
            boot
            return
        fi
        sleep 0.1
        tenths=$((tenths + 1))
    done
    wait "$qemu_pid" || true
    qemu_pid=
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "${qemu_pid:-}" ]; then
        kill "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    if [ "${RENUMBER_KERNEL_KEEP:-0}" = 1 ]; then
        say "kept $work"
    else
        rm -rf "$work"
    fi
    exit "$status"
}

accel_chosen=${accel:-auto}
if [ -z "$accel" ]; then
    if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then accel=kvm; else accel=tcg; fi
fi
# The first Debian archive among apt's sources, as apt reads them; security and other archives
# end in something other than /debian.
# shellcheck disable=SC2016 # apt's own format, not the shell's
mirror=${RENUMBER_DEBIAN_MIRROR:-$(apt-get indextargets --no-release-info --format '$(REPO_URI)' |
    sed -n 's#/debian/$#/debian#p' | head -n 1)}
[ -n "$mirror" ] || fail "no Debian archive in /etc/apt/sources.list*; set RENUMBER_DEBIAN_MIRROR"
apt=${RENUMBER_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/renumber-kernel-tier}/apt-$suite

qemu_pid=
work=$(mktemp -d "${TMPDIR:-/tmp}/renumber-kernel-tier.XXXXXX")
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

start=$SECONDS
deb=$(fetch_kernel)
# The unpacked kernel is kept beside its package: a flock keeps two runs from making it at once.
kernel=$deb.d
exec 9>"$deb.lock"
flock 9
[ -f "$kernel/modules.cpio.gz" ] || unpack_kernel "$deb" "$kernel"
flock -u 9
cat "$guest" "$kernel/modules.cpio.gz" >"$work/initrd"
prepared=$SECONDS
say "kernel $(cat "$kernel/version"), $accel: booting"
boot

# The guest's TAP: its result lines and the details after them, each shown with the kernel's
# release; the plan comes last, once every case selected has run.
sed 's/\r$//' "$work/results" | grep -v '^# up$' | sed "s/^/kernel-tier[$release]: /" || true
passed=$(sed 's/\r$//' "$work/results" | grep -c '^ok ' || true)
failed=$(sed 's/\r$//' "$work/results" | grep -c '^not ok ' || true)
planned=$(sed -n 's/\r$//; s/^1\.\.\([0-9]*\)$/\1/p' "$work/results")
if [ -z "$planned" ] || [ "$planned" -ne $((passed + failed)) ]; then
    say "the guest did not finish; the console's last lines:"
    tail -n 30 "$work/console.log" >&2
    failed=$((failed + 1))
fi
if grep -q -i -e 'kernel panic' -e 'BUG:' -e 'Oops' "$work/console.log"; then
    say "the kernel complained:"
    grep -i -e 'kernel panic' -e 'BUG:' -e 'Oops' "$work/console.log" >&2
fi
say "$passed passed, $failed failed; $((prepared - start)) s to fetch and unpack, $((SECONDS - prepared)) s in the guest"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]

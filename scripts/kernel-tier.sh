#!/usr/bin/env bash
# The kernel tier: renumber, renumber-doctor and motor-sim against Linux's own serial drivers.
# Builds an initramfs from Debian's packages (busybox-static; Debian's kernel image and modules,
# fetched with apt-get download and unpacked, never installed) and the build's binaries with the
# libraries ldd names, boots it under qemu-system-x86_64 once per kernel and runs every case of
# tests/kernel/cases/ in that one boot. Each case reports its own line; a failure names the case
# and shows what differed.
#
#   scripts/kernel-tier.sh [--build DIR] [--kernel 12|13]... [--accel kvm|tcg] [--case NAME]...
#
#   --build DIR    the build folder holding renumber, renumber-doctor and motor-sim (build/)
#   --kernel N     Debian N's kernel: 12 (bookworm, 6.1) or 13 (trixie, 6.12); both by default
#   --accel A      kvm or tcg; by default kvm where /dev/kvm can be opened and starts the guest
#                  within 10 s, tcg otherwise
#   --case NAME    run only this case (repeatable); the names are those the results print
#   --program FILE also put this program, with its libraries, in the guest's /usr/bin (repeatable)
#
#   RENUMBER_KERNEL_CACHE=DIR        downloads kept between runs (default under $XDG_CACHE_HOME)
#   RENUMBER_DEBIAN_MIRROR=URL       the Debian archive to fetch from (default: the one apt uses)
#   RENUMBER_KERNEL_GUEST_LIMIT=S    stop a guest that has not powered off after S s (300)
#   RENUMBER_KERNEL_KEEP=1           keep the scratch folder (initramfs, console log) for a look
#
# Exit status: 0 when every case passed on every kernel, 1 when one failed or a guest did not
# finish, 77 (skipped) when qemu-system-x86_64 or another tool it needs is missing; the ctest
# entry kernel_tier maps 77 to a skip. Apt's lists and the kernel packages are fetched with a
# private apt configuration of their own, so the host's apt setup is never changed.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$source_dir/build
kernels=()
accel=
cases=()
programs=()
# A guest that has not powered off by then is stuck; every case has its own, shorter limits.
readonly GUEST_LIMIT_S=${RENUMBER_KERNEL_GUEST_LIMIT:-300}
readonly SKIP=77
# A guest under KVM reaches its init within a few seconds even on a loaded machine.
readonly KVM_PROBE_S=10

say() { printf 'kernel-tier: %s\n' "$*" >&2; }
fail() { say "$*"; exit 1; }
usage() { sed -n '/^#   scripts/,/^#   RENUMBER_KERNEL_KEEP/s/^# \{0,1\}//p' "$0" >&2; exit "$1"; }

while [ $# -gt 0 ]; do
    case $1 in
    --build) build_dir=$(cd "${2:?}" && pwd); shift 2 ;;
    --kernel) kernels+=("${2:?}"); shift 2 ;;
    --accel) accel=${2:?}; shift 2 ;;
    --case) cases+=("${2:?}"); shift 2 ;;
    --program) programs+=("$(realpath "${2:?}")"); shift 2 ;;
    -h | --help) usage 0 ;;
    *) say "unknown argument: $1"; usage 64 ;;
    esac
done
[ ${#kernels[@]} -gt 0 ] || kernels=(12 13)

# Where the tools are missing the tier cannot run at all: a skip, with the packages to install.
require_tools() {
    local missing=() tool package
    for tool in qemu-system-x86_64:qemu-system-x86 cpio:cpio depmod:kmod modprobe:kmod \
                dpkg-deb:dpkg apt-get:apt xz:xz-utils; do
        command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
    done
    # The guest has no libraries of its own for the shell: Debian's dynamically linked busybox
    # (package busybox) will not do.
    dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q 'ok installed' ||
        missing+=(busybox-static)
    if [ ${#missing[@]} -gt 0 ]; then
        package=$(printf '%s\n' "${missing[@]}" | sort -u | tr '\n' ' ')
        say "SKIP: not installed: ${package% } (scripts/ci-kernel.sh installs them)"
        exit "$SKIP"
    fi
}


suite_of() {
    case $1 in
    12) echo bookworm ;;
    13) echo trixie ;;
    *) fail "no such kernel: $1 (12 or 13)" ;;
    esac
}

# apt-get and apt-cache with lists, cache and sources of their own under the cache folder: the
# host's sources, preferences, lists and package database are neither read nor changed.
private_apt() {
    local tool=$1 root=$2
    shift 2
    "$tool" -q -o Dir::Etc::SourceList="$root/sources.list" -o Dir::Etc::SourceParts="$root/empty" \
        -o Dir::Etc::Preferences="$root/empty/none" -o Dir::Etc::PreferencesParts="$root/empty" \
        -o Dir::State="$root/state" -o Dir::State::Lists="$root/state/lists" \
        -o Dir::State::status="$root/state/status" -o Dir::Cache="$root/cache" \
        -o Acquire::Languages=none -o APT::Sandbox::User=root "$@"
}

# Fetches Debian release $1's kernel package (the one linux-image-amd64 depends on) into the
# cache and prints its path. Refreshes the lists each run; offline, an earlier download serves.
fetch_kernel() {
    local release=$1 suite root package deb
    suite=$(suite_of "$release")
    root=$cache/apt-$suite
    mkdir -p "$root/empty" "$root/state/lists/partial" "$root/cache/archives/partial" "$root/debs"
    touch "$root/state/status"
    printf 'deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
        "$mirror" "$suite" >"$root/sources.list"
    if ! private_apt apt-get "$root" update >"$work/apt-$suite.log" 2>&1; then
        deb=$(find "$root/debs" -name 'linux-image-*.deb' | sort | tail -n 1)
        if [ -n "$deb" ]; then
            say "apt-get update for $suite failed; using the kernel fetched before: ${deb##*/}"
            echo "$deb"
            return
        fi
        tail -n 20 "$work/apt-$suite.log" >&2
        fail "apt-get update for $suite failed (log above)"
    fi
    package=$(private_apt apt-cache "$root" depends linux-image-amd64 |
              awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
    [ -n "$package" ] || fail "$suite: linux-image-amd64 depends on no kernel image"
    deb=$(find "$root/debs" -name "${package}_*.deb" | sort | tail -n 1)
    if [ -z "$deb" ]; then
        say "fetching $package from $suite"
        (cd "$root/debs" && private_apt apt-get "$root" download "$package") \
            >>"$work/apt-$suite.log" 2>&1 || { tail -n 20 "$work/apt-$suite.log" >&2; fail "download of $package failed"; }
        deb=$(find "$root/debs" -name "${package}_*.deb" | sort | tail -n 1)
        # Older kernels of this suite are of no more use.
        find "$root/debs" -name 'linux-image-*.deb' ! -name "${deb##*/}" -delete
    fi
    echo "$deb"
}

# The modules the cases need; modprobe adds what each depends on, in load order.
readonly MODULES=(xhci-pci usbserial ftdi_sio ch341 cp210x pl2303 cdc-acm configfs dummy_hcd
                  libcomposite usb_f_acm usb_f_fs)

# Unpacks the kernel image and the modules the cases need from $1 into $2, uncompressed, and
# writes $2/modules/order: the files to load, one a line, dependencies first.
unpack_kernel() {
    local deb=$1 root=$2 unpacked=$2/unpacked version line module name
    mkdir -p "$unpacked" "$root/modules"
    dpkg-deb --fsys-tarfile "$deb" |
        tar -x -C "$unpacked" --wildcards '*/vmlinuz-*' '*/modules.builtin*' '*/modules.order' \
            '*/kernel/drivers/usb/*' '*/kernel/fs/configfs/*'
    # Debian 12 ships /lib/modules, Debian 13 /usr/lib/modules.
    if [ -d "$unpacked/usr/lib/modules" ]; then
        mkdir -p "$unpacked/lib"
        ln -sfn ../usr/lib/modules "$unpacked/lib/modules"
    fi
    version=$(ls "$unpacked/lib/modules")
    cp "$unpacked/boot/vmlinuz-$version" "$root/vmlinuz"
    depmod -b "$unpacked" "$version"
    : >"$root/modules/order"
    for module in "${MODULES[@]}"; do
        modprobe -d "$unpacked" -S "$version" --show-depends "$module" | while read -r line; do
            [ "${line%% *}" = insmod ] || continue # built in
            line=${line#insmod }
            line=${line%% *}
            name=$(basename "$line")
            name=${name%.xz}
            name=${name%.zst}
            grep -qx "$name" "$root/modules/order" && continue
            case $line in
            *.xz) xz -dc "$line" >"$root/modules/$name" ;;
            *.zst) zstd -qdc "$line" >"$root/modules/$name" ;;
            *) cp "$line" "$root/modules/$name" ;;
            esac
            echo "$name" >>"$root/modules/order"
        done
    done
    echo "$version" >"$root/version"
}

# Copies program $1 to $2 in the guest's tree $3, with every library ldd names at its own path.
install_program() {
    local program=$1 target=$2 tree=$3 library
    mkdir -p "$tree$(dirname "$target")"
    cp "$program" "$tree$target"
    for library in $(ldd "$program" 2>/dev/null | awk '/=> \// { print $3 } /^\t\// { print $1 }'); do
        [ -e "$tree$library" ] && continue
        mkdir -p "$tree$(dirname "$library")"
        cp -L "$library" "$tree$library"
    done
}

# The guest's tree, common to both kernels: busybox, the programs, the case scripts.
build_tree() {
    local tree=$1 applet program
    mkdir -p "$tree"/{bin,sbin,usr/bin,usr/lib/renumber,etc,proc,sys,dev,tmp,run,kernel}
    cp /bin/busybox "$tree/bin/busybox"
    for applet in $(/bin/busybox --list); do
        [ "$applet" = busybox ] || ln -sf busybox "$tree/bin/$applet"
    done
    install_program "$build_dir/src/app/renumber" /usr/bin/renumber "$tree"
    install_program "$build_dir/src/doctor/renumber-doctor" /usr/bin/renumber-doctor "$tree"
    install_program "$build_dir/sim/motor-sim" /usr/bin/motor-sim "$tree"
    install_program "$build_dir/sim/libmotor-sim-adapter.so" \
        /usr/lib/renumber/libmotor-sim-adapter.so "$tree"
    install_program "$build_dir/sim/usb-chip/usb-chip" /usr/bin/usb-chip "$tree"
    for program in "${programs[@]}"; do
        install_program "$program" "/usr/bin/${program##*/}" "$tree"
    done
    # operator: a user of the bench, in dialout only, for cases that must not lean on root.
    printf 'root:x:0:0:root:/root:/bin/sh\noperator:x:1000:1000::/tmp:/bin/sh\n' >"$tree/etc/passwd"
    printf 'root:x:0:\ndialout:x:20:operator\noperator:x:1000:\n' >"$tree/etc/group"
    cp "$source_dir/tests/kernel/init" "$tree/init"
    cp -r "$source_dir/tests/kernel/cases" "$source_dir/tests/kernel/lib.sh" \
        "$source_dir/tests/kernel/chips.tsv" "$tree/kernel/"
    chmod 0755 "$tree/init"
}

# Boots kernel $1 (its folder from unpack_kernel) with the tree $2; the console goes to $3.
boot() {
    local kernel=$1 tree=$2 console=$3 initrd=$1/initrd.gz accel_args=()
    rm -rf "$tree/modules"
    cp -r "$kernel/modules" "$tree/modules"
    (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd"
    case $accel in
    kvm) accel_args=(-accel kvm -smp 2) ;;
    # One CPU: with two, Debian 13's kernel now and then died early under TCG ("Oops: int3" in
    # sched_clock_cpu while it patched its code on both CPUs), and the cases only wait anyway.
    tcg) accel_args=(-accel tcg -smp 1) ;;
    esac
    : >"$kernel/ftdi.line"
    : >"$kernel/uart.line"
    # ttyS0 is the console; ttyS1 a second 16550A with its 1,843,200 Hz clock; qemu's FTDI model
    # on xhci. Both lines are files: the FTDI model attaches only once its backend is open, and
    # whatever renumber sends on them lands there.
    qemu-system-x86_64 "${accel_args[@]}" -m 512 -nodefaults -no-reboot -display none \
        -kernel "$kernel/vmlinuz" -initrd "$initrd" \
        -append "console=ttyS0 loglevel=3 panic=-1 kernel_tier.cases=$(IFS=,; echo "${cases[*]}")" \
        -chardev file,id=console,path="$console" -serial chardev:console \
        -chardev file,id=uart,path="$kernel/uart.line" -serial chardev:uart \
        -chardev file,id=ftdi,path="$kernel/ftdi.line" \
        -device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=ftdi &
    qemu_pid=$!
    local tenths=0
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [ "$tenths" -ge $((GUEST_LIMIT_S * 10)) ]; then
            say "the guest did not power off within $GUEST_LIMIT_S s; stopping it"
            kill "$qemu_pid" 2>/dev/null || true
            break
        fi
        # Some hosts offer a /dev/kvm that cannot run a guest (nested virtualisation that hides
        # the CPU's features): the guest then never starts. TCG it is, for this kernel and the next.
        if [ "$accel" = kvm ] && [ "$accel_chosen" = auto ] && [ "$tenths" -eq $((KVM_PROBE_S * 10)) ] &&
            ! grep -q '^kernel-tier: up' "$console"; then
            say "KVM did not start the guest within $KVM_PROBE_S s; falling back to TCG"
            kill "$qemu_pid" 2>/dev/null || true
            wait "$qemu_pid" || true
            accel=tcg
            boot "$@"
            return
        fi
        sleep 0.1
        tenths=$((tenths + 1))
        [ $((tenths % 10)) -ne 0 ] || show_results "$console" "$kernel/results"
    done
    wait "$qemu_pid" || true
    qemu_pid=
}

# The guest's own lines so far, one per case and the details of a failure after it, into $2;
# prints those not shown yet, prefixed with the kernel's release. A line still being written
# waits for the next call.
show_results() {
    local console=$1 results=$2
    sed -n 's/\r$//; /^kernel-tier: /p' "$console" | grep -v '^kernel-tier: up$' >"$results" || true
    if [ -s "$console" ] && [ -n "$(tail -c 1 "$console")" ]; then
        sed -i '$d' "$results"
    fi
    sed -n "$((shown + 1)),\$ s/^kernel-tier/kernel-tier[$release]/p" "$results"
    shown=$(wc -l <"$results")
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "${qemu_pid:-}" ]; then
        kill "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    if [ -n "${work:-}" ]; then
        if [ "${RENUMBER_KERNEL_KEEP:-0}" = 1 ]; then
            say "kept $work"
        else
            rm -rf "$work"
        fi
    fi
    exit "$status"
}

require_tools
for program in src/app/renumber src/doctor/renumber-doctor sim/motor-sim sim/usb-chip/usb-chip; do
    [ -x "$build_dir/$program" ] ||
        fail "$build_dir/$program is missing: build it first (cmake --preset dev; cmake --build --preset dev)"
done
accel_chosen=${accel:-auto}
if [ -z "$accel" ]; then
    if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then accel=kvm; else accel=tcg; fi
fi
# The first Debian archive among apt's sources, as apt reads them; security and other archives
# end in something other than /debian.
mirror=${RENUMBER_DEBIAN_MIRROR:-$(apt-get indextargets --no-release-info --format '$(REPO_URI)' |
    sed -n 's#/debian/$#/debian#p' | head -n 1)}
[ -n "$mirror" ] || fail "no Debian archive in /etc/apt/sources.list*; set RENUMBER_DEBIAN_MIRROR"
cache=${RENUMBER_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/renumber-kernel-tier}
mkdir -p "$cache"

qemu_pid=
work=$(mktemp -d "${TMPDIR:-/tmp}/renumber-kernel-tier.XXXXXX")
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

build_tree "$work/tree"
passed=0
failed=0
for release in "${kernels[@]}"; do
    start=$SECONDS
    kernel=$work/kernel-$release
    mkdir -p "$kernel"
    unpack_kernel "$(fetch_kernel "$release")" "$kernel"
    prepared=$SECONDS
    say "Debian $release, kernel $(cat "$kernel/version"), $accel: booting"
    shown=0
    boot "$kernel" "$work/tree" "$kernel/console.log"
    show_results "$kernel/console.log" "$kernel/results"
    release_passed=$(grep -c '^kernel-tier: PASS ' "$kernel/results" || true)
    release_failed=$(grep -c '^kernel-tier: FAIL ' "$kernel/results" || true)
    if ! grep -q '^kernel-tier: done' "$kernel/results"; then
        say "Debian $release: the guest did not finish; the console's last lines:"
        tail -n 30 "$kernel/console.log" >&2
        release_failed=$((release_failed + 1))
    fi
    if [ -n "$(grep -v '^kernel-tier' "$kernel/console.log" | grep -i -e 'panic' -e 'BUG' -e 'Oops' || true)" ]; then
        say "Debian $release: the kernel complained:"
        grep -i -e 'panic' -e 'BUG' -e 'Oops' "$kernel/console.log" >&2
    fi
    # What renumber sent on the lines whose driver substituted the rate: nothing, when it stopped
    # at the rate. Judged here, where qemu's side of those lines is.
    for line in ftdi:ftdi/rate-substituted uart:uart/rate-substituted; do
        grep -q "^kernel-tier: [A-Z]* ${line#*:}\$" "$kernel/results" || continue
        if [ -s "$kernel/${line%%:*}.line" ]; then
            printf 'kernel-tier[%s]: FAIL %s/nothing-on-the-line\n' "$release" "${line#*:}"
            printf 'kernel-tier[%s]:     renumber sent %s\n' "$release" "$(od -An -tx1 "$kernel/${line%%:*}.line" | tr -d '\n' | cut -c1-200)"
            release_failed=$((release_failed + 1))
        else
            printf 'kernel-tier[%s]: PASS %s/nothing-on-the-line\n' "$release" "${line#*:}"
            release_passed=$((release_passed + 1))
        fi
    done
    passed=$((passed + release_passed))
    failed=$((failed + release_failed))
    say "Debian $release: $release_passed passed, $release_failed failed; $((prepared - start)) s to fetch and unpack, $((SECONDS - prepared)) s in the guest"
done
printf 'kernel-tier: %d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]

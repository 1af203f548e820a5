#!/usr/bin/env bash
# CI: renumber for the robot's own computer. For each ARM architecture, on this amd64 machine as
# root: cross-builds everything with Debian's cross compiler and warnings as errors (the CMake
# preset of the architecture, cmake/toolchains/), runs the whole test suite under qemu user-mode
# emulation and makes the .deb of that architecture. With 64-bit file offsets and time, as
# 32-bit systems built for 64-bit time compile it (Debian's armhf from 13 on, Raspberry Pi OS
# based on it): "armhf-time64" cross-builds and runs the suite so, and "lfs64" does the same
# natively.
#
#   scripts/ci-arm.sh [arm64|armhf|armhf-time64|lfs64|all]...     (default: all)
#
# The tests and motor-sim start target programs by path, so the qemu interpreters are registered
# with binfmt_misc for the run (mounting it if needed); on every exit, failure included,
# binfmt_misc is put back exactly as found, and the script fails if it is not.
set -euo pipefail
cd "$(dirname "$0")/.."

BINFMT=/proc/sys/fs/binfmt_misc
PACKAGE=renumber

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'ci-arm: %s\n' "$*" >&2; exit 1; }

# Debian architecture -> GNU triplet of its cross compiler, and qemu's name for it.
triplet() { case $1 in arm64) echo aarch64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }
qemu_name() { case $1 in arm64) echo aarch64 ;; armhf) echo arm ;; esac; }
# What `file` says of a program built for the architecture.
machine() { case $1 in arm64) echo 'ARM aarch64' ;; armhf) echo 'ARM, EABI5' ;; esac; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ] || [ "${targets[*]}" = all ]; then
    targets=(arm64 armhf armhf-time64 lfs64)
fi
for target in "${targets[@]}"; do
    case $target in
    arm64 | armhf | armhf-time64 | lfs64) ;;
    *) fail "unknown target $target (arm64, armhf, armhf-time64, lfs64 or all)" ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    fail "needs root: it adds architectures to dpkg and registers qemu with binfmt_misc"
fi

# --- binfmt_misc, left as found ---------------------------------------------------------------
# Everything of binfmt_misc a run could change: mounted or not, enabled or not, every entry.
binfmt_state() {
    if ! mountpoint -q "$BINFMT"; then
        echo "not mounted"
        return
    fi
    echo "mounted"
    local entry
    for entry in "$BINFMT"/*; do
        [ "$(basename "$entry")" = register ] && continue
        echo "-- $(basename "$entry")"
        cat "$entry"
    done
}

binfmt_before=$(binfmt_state)
binfmt_mounted_here=0
binfmt_enabled_here=0
binfmt_registered_here=()
scratch=()

restore_machine() {
    local status=$?
    local entry
    for entry in "${binfmt_registered_here[@]}"; do
        echo -1 >"$BINFMT/$entry" || status=1
    done
    if [ "$binfmt_enabled_here" = 1 ]; then
        echo 0 >"$BINFMT/status" || status=1
    fi
    if [ "$binfmt_mounted_here" = 1 ]; then
        umount "$BINFMT" || status=1
    fi
    local dir
    for dir in "${scratch[@]}"; do
        rm -rf "$dir"
    done
    if [ "$(binfmt_state)" != "$binfmt_before" ]; then
        printf 'ci-arm: binfmt_misc is not as it was before the run\n' >&2
        printf -- '--- before\n%s\n--- after\n%s\n' "$binfmt_before" "$(binfmt_state)" >&2
        status=1
    else
        echo "ci-arm: binfmt_misc left as found ($(head -n1 <<<"$binfmt_before"))"
    fi
    exit "$status"
}
trap restore_machine EXIT
# A stopped run restores too: the signal becomes an exit, which runs the trap above.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Registers qemu for the architecture unless an entry of that name is already there.
register_qemu() {
    local conf
    conf=/usr/lib/binfmt.d/qemu-$(qemu_name "$1").conf
    [ -f "$conf" ] || fail "$conf is missing (qemu-user-static)"
    if ! mountpoint -q "$BINFMT"; then
        mount -t binfmt_misc binfmt_misc "$BINFMT"
        binfmt_mounted_here=1
    fi
    if [ "$(cat "$BINFMT/status")" != enabled ]; then
        echo 1 >"$BINFMT/status"
        binfmt_enabled_here=1
    fi
    local line name
    line=$(grep -m1 '^:' "$conf")
    name=$(cut -d: -f2 <<<"$line")
    if [ -e "$BINFMT/$name" ]; then
        echo "binfmt_misc: $name already registered, used as found"
    else
        printf '%s' "$line" >"$BINFMT/register"
        binfmt_registered_here+=("$name")
        echo "binfmt_misc: registered $name for this run"
    fi
}

# --- steps ------------------------------------------------------------------------------------
dependencies() {
    local arch=$1 gnu
    gnu=$(triplet "$arch")
    step "$arch: dependencies"
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
    fi
    # install-deps.sh updates the package lists, which a new architecture needs, whenever
    # something is missing. qemu-user-static ships the interpreters and their binfmt_misc
    # lines; dpkg-shlibdeps (dpkg-dev) finds the package's Depends among the target's libraries.
    scripts/install-deps.sh "g++-$gnu" "libserialport-dev:$arch" "libacl1-dev:$arch" \
        "libgtest-dev:$arch" "libstdc++6:$arch" qemu-user-static dpkg-dev file
    register_qemu "$arch"
}

# programs DIR ARCH: the cross build made programs for the architecture.
programs() {
    local program
    for program in "$1/src/app/renumber" "$1/sim/motor-sim"; do
        file -L "$program" | grep -q "$(machine "$2")" || fail "$program is not an $2 program"
    done
}

# package DIR ARCH: the .deb, its name, Architecture, Depends and programs checked.
package() {
    local dir=$1 arch=$2
    step "$dir: package"
    rm -f "$dir/$PACKAGE"_*.deb
    (cd "$dir" && cpack -G DEB)
    local debs=("$dir/$PACKAGE"_*.deb)
    if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
        fail "expected one .deb in $dir, found: ${debs[*]}"
    fi
    local deb=${debs[0]}
    # The release suffix names the Debian release the package was built on (cmake/Packaging.cmake).
    [[ $(basename "$deb") =~ ^${PACKAGE}_[0-9][^_]*-1(~deb[0-9]+u1)?_${arch}\.deb$ ]] ||
        fail "$(basename "$deb") is not named ${PACKAGE}_<version>-1~deb<release>u1_$arch.deb"
    dpkg-deb --info "$deb"
    local field depends needed
    field=$(dpkg-deb --field "$deb" Architecture)
    depends=$(dpkg-deb --field "$deb" Depends)
    printf '%s\nArchitecture: %s\nDepends: %s\n' "$(basename "$deb")" "$field" "$depends"
    [ "$field" = "$arch" ] || fail "Architecture is $field, not $arch"
    local names
    names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
    for needed in libserialport0 libc6 libstdc++6; do
        grep -Fqx "$needed" <<<"$names" || fail "Depends lacks $needed: $depends"
    done
    # Every program and library in it is built for the architecture, motor-sim's layer included.
    local unpacked binary elf_count=0
    unpacked=$(mktemp -d)
    scratch+=("$unpacked")
    dpkg-deb -x "$deb" "$unpacked"
    while IFS= read -r -d '' binary; do
        file "$binary" | grep -q ELF || continue
        file "$binary" | grep -q "$(machine "$arch")" ||
            fail "${binary#"$unpacked"/} in the package is not built for $arch"
        elf_count=$((elf_count + 1))
    done < <(find "$unpacked" -type f -print0)
    for binary in usr/bin/renumber usr/bin/motor-sim usr/lib/renumber/libmotor-sim-adapter.so; do
        [ -f "$unpacked/$binary" ] || fail "the package lacks $binary"
    done
    echo "$elf_count programs and libraries in the package, all built for $arch"
}

# timed LABEL COMMAND...: runs the command and notes how long it took.
durations=()
timed() {
    local label=$1 begin=$SECONDS
    shift
    "$@"
    durations+=("$label: $((SECONDS - begin)) s")
}

# The builds and the suite are CMake workflow presets (cross builds with warnings as errors; the
# tests under qemu with the termios2 shim of tests/qemu/, their trees on tmpfs because 32-bit
# readdir on ext4 fails with EOVERFLOW under qemu 7.2, and fewer runs at once, since every
# emulated program translates its code as it starts).
for target in "${targets[@]}"; do
    begin=$SECONDS
    arch=${target%-time64}
    case $target in
    arm64 | armhf | armhf-time64)
        timed "$target dependencies" dependencies "$arch"
        step "$target: cross build and the suite under qemu"
        timed "$target build and tests" cmake --workflow --preset "$target"
        programs "build-$target" "$arch"
        if [ "$target" != armhf-time64 ]; then
            timed "$target package" package "build-$target" "$arch"
        fi
        ;;
    lfs64)
        timed "$target dependencies" scripts/install-deps.sh
        step "$target: build and the suite"
        timed "$target build and tests" cmake --workflow --preset lfs64
        ;;
    esac
    durations+=("$target in all: $((SECONDS - begin)) s")
done

step "times"
printf '%s\n' "${durations[@]}"

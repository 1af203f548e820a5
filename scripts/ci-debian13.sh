#!/usr/bin/env bash
# CI: builds and runs the whole test suite on Debian 13 (trixie) as well, from a Debian 12 host.
# Bootstraps a minimal trixie root file system into a temporary folder from the Debian mirror the
# host's apt already uses, mounts /proc, /sys, a small /dev and a private devpts (motor-sim needs
# pseudo-terminals), copies the source tree in and runs scripts/test.sh inside as root. Everything
# is unmounted and deleted on every exit, failures and interruptions included; nothing is cached.
#
#   RENUMBER_DEBIAN_MIRROR=http://host/debian  use this mirror instead of the one apt uses
#   RENUMBER_KEEP_ROOT=1                       keep the root file system (for looking around)
set -euo pipefail
cd "$(dirname "$0")/.."
source_tree=$PWD
suite=trixie

fail() { printf 'ci-debian13: %s\n' "$*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount and chroot); run it as root"

# The first Debian archive among apt's sources, as apt reads them; security and other archives
# end in something other than /debian.
mirror=${RENUMBER_DEBIAN_MIRROR:-$(apt-get indextargets --no-release-info --format '$(REPO_URI)' |
    sed -n 's#/debian/$#/debian#p' | head -n 1)}
[ -n "$mirror" ] ||
    fail "no Debian archive in /etc/apt/sources.list*; set RENUMBER_DEBIAN_MIRROR=http://.../debian"

scripts/install-deps.sh debootstrap

start=$SECONDS
work=$(mktemp -d "${TMPDIR:-/var/tmp}/renumber-debian13.XXXXXX")
root=$work/root
mounts_under() { awk -v r="$1" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts; }

# Stops whatever still runs inside the root (a hung test, a motor-sim), unmounts in reverse order
# and deletes the folder. rm never crosses into another file system, so a mount that could not be
# undone keeps its contents.
teardown() {
    local status=$? round pid point found
    trap - EXIT INT TERM HUP
    # A few rounds, for children forked while the first were being stopped.
    for round in 1 2 3 4 5; do
        found=0
        for pid in /proc/[0-9]*; do
            if [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ]; then
                kill -KILL "${pid#/proc/}" 2>/dev/null || true
                found=1
            fi
        done
        [ "$found" = 1 ] || break
        sleep 0.2
    done
    # Every mount under the root, debootstrap's own included, innermost first.
    while read -r point; do
        umount "$point" 2>/dev/null || umount --lazy "$point" ||
            echo "ci-debian13: could not unmount $point" >&2
    done < <(mounts_under "$root" | tac)
    if [ -n "$(mounts_under "$root")" ]; then
        echo "ci-debian13: something is still mounted under $root; leaving $work" >&2
    elif [ "${RENUMBER_KEEP_ROOT:-0}" = 1 ]; then
        echo "ci-debian13: kept $work" >&2
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# In the background and waited for, so that a signal to this script is handled at once rather
# than after the command ends; the teardown then stops what runs inside the root.
interruptible() {
    "$@" &
    wait $!
}

printf '== debootstrap %s from %s into %s\n' "$suite" "$mirror" "$root"
# minbase: dpkg, apt and the essential packages; scripts/install-deps.sh inside adds the rest.
if ! interruptible debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 30 "$work/debootstrap.log" >&2
    [ ! -f "$root/debootstrap/debootstrap.log" ] || tail -n 30 "$root/debootstrap/debootstrap.log" >&2
    fail "debootstrap failed"
fi
bootstrapped=$SECONDS
printf 'ci-debian13: bootstrapped in %d s\n' $((bootstrapped - start))

mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
# A /dev of its own with the usual nodes, so nothing inside can reach the host's disks.
mount -t tmpfs -o mode=0755,nosuid,size=16m tmpfs "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 0666 "$root/dev/$name" c "$major" "$minor"
done
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mkdir -m 1777 "$root/dev/shm"
mkdir "$root/dev/pts"
# A private devpts instance: the host's terminals stay out, and its ptmx is usable by everyone.
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"

# The tree as checked out, without build folders or git's data.
mkdir -p "$root/src/renumber"
tar -C "$source_tree" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$root/src/renumber" -xf -

printf '== scripts/test.sh on Debian 13\n'
interruptible chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c 'cd /src/renumber && . /etc/os-release && echo "$PRETTY_NAME" &&
                  scripts/test.sh'

printf '\nci-debian13: test suite passed on Debian 13 in %d s (debootstrap %d s, total %d s)\n' \
    $((SECONDS - bootstrapped)) $((bootstrapped - start)) $((SECONDS - start))

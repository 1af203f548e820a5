#!/usr/bin/env bash
# CI: builds and runs the whole test suite on Debian 13 (trixie) as well, from a Debian 12 host.
# Bootstraps a minimal trixie root file system into a temporary folder from the Debian mirror the
# host's apt already uses and runs scripts/test.sh in it as root, with /proc, a read-only /sys, a
# small /dev and a private devpts (motor-sim needs pseudo-terminals). It all happens in new mount
# and PID namespaces, so however the run ends, the kernel stops whatever still runs inside and
# undoes every mount; then the folder is deleted. Nothing is cached.
#
#   RENUMBER_DEBIAN_MIRROR=http://host/debian  use this mirror instead of the one apt uses
#   RENUMBER_KEEP_ROOT=1                       keep the root file system (for looking around)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { printf 'ci-debian13: %s\n' "$*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount and chroot); run it as root"

# The first Debian archive among apt's sources, as apt reads them; security and other archives
# end in something other than /debian.
mirror=${RENUMBER_DEBIAN_MIRROR:-$(apt-get indextargets --no-release-info --format '$(REPO_URI)' |
    sed -n 's#/debian/$#/debian#p' | head -n 1)}
[ -n "$mirror" ] ||
    fail "no Debian archive in /etc/apt/sources.list*; set RENUMBER_DEBIAN_MIRROR=http://.../debian"

scripts/install-deps.sh debootstrap

work=$(mktemp -d "${TMPDIR:-/var/tmp}/renumber-debian13.XXXXXX")
inside=
# Stopping unshare stops everything in its namespaces (--kill-child), which undoes their mounts;
# rm never crosses into another file system all the same.
cleanup() {
    local status=$?
    [ -z "$inside" ] || { kill "$inside" 2>/dev/null; wait "$inside" 2>/dev/null; } || true
    if [ "${RENUMBER_KEEP_ROOT:-0}" = 1 ]; then
        echo "ci-debian13: kept $work" >&2
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# In the background and waited for, so that a signal to this script is handled at once.
unshare --mount --pid --fork --kill-child -- \
    bash -s "$work/root" trixie "$mirror" "$PWD" <<'INSIDE' &
set -euo pipefail
root=$1 suite=$2 mirror=$3 source_tree=$4
start=$SECONDS
printf '== debootstrap %s from %s into %s\n' "$suite" "$mirror" "$root"
# minbase: dpkg, apt and the essential packages; scripts/install-deps.sh inside adds the rest.
if ! debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.log" 2>&1; then
    tail -n 30 "$root.log" >&2
    [ ! -f "$root/debootstrap/debootstrap.log" ] || tail -n 30 "$root/debootstrap/debootstrap.log" >&2
    echo "ci-debian13: debootstrap failed" >&2
    exit 1
fi
bootstrapped=$SECONDS

mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
# A /dev of its own with the usual nodes, so nothing inside can reach the host's disks.
mount -t tmpfs -o mode=0755,nosuid,size=16m tmpfs "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 0666 "$root/dev/$name" c "$major" "$minor"
done
for stream in 0:stdin 1:stdout 2:stderr; do
    ln -s "/proc/self/fd/${stream%%:*}" "$root/dev/${stream#*:}"
done
ln -s /proc/self/fd "$root/dev/fd"
mkdir -m 1777 "$root/dev/shm"
mkdir "$root/dev/pts"
# A private devpts instance: the host's terminals stay out, and its ptmx is usable by everyone.
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"

# The tree as checked out, without build folders or git's data.
mkdir -p "$root/src/renumber"
tar -C "$source_tree" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$root/src/renumber" -xf -

printf '== scripts/test.sh on Debian 13\n'
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c 'cd /src/renumber && . /etc/os-release && echo "$PRETTY_NAME" && scripts/test.sh'
printf '\nci-debian13: test suite passed on Debian 13 in %d s (debootstrap %d s, total %d s)\n' \
    $((SECONDS - bootstrapped)) $((bootstrapped - start)) $((SECONDS - start))
INSIDE
inside=$!
status=0
wait "$inside" || status=$?
inside=
exit "$status"

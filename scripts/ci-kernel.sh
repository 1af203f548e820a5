#!/usr/bin/env bash
# CI: the kernel tier (scripts/kernel-tier.sh) on Debian 12's and Debian 13's kernels, against the
# build that scripts/test.sh made: installs what the tier needs, runs it and says how long it took.
# Unlike the ctest entry, a skip here is a failure: CI has just installed everything the tier needs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh qemu-system-x86 busybox-static cpio kmod xz-utils
[ -x build/src/app/renumber ] || { cmake --preset dev && cmake --build --preset dev; }
start=$SECONDS
status=0
scripts/kernel-tier.sh --build build "$@" || status=$?
printf 'ci-kernel: the kernel tier took %d s\n' $((SECONDS - start))
if [ "$status" -eq 77 ]; then
    echo "ci-kernel: the kernel tier skipped itself although its packages were just installed" >&2
    exit 1
fi
exit "$status"

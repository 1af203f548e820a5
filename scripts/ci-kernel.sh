#!/usr/bin/env bash
# CI: the kernel tier (tests/kernel/) on Debian 12's and Debian 13's kernels: installs what the
# tier needs, packs the guest and runs it (cmake --workflow --preset kernel), and says how long it
# took. Unlike a developer's ctest run, a skip here is a failure: CI has just installed everything
# the tier needs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh qemu-system-x86 busybox-static cpio kmod xz-utils
start=$SECONDS
status=0
RENUMBER_KERNEL_NO_SKIP=1 cmake --workflow --preset kernel || status=$?
printf 'ci-kernel: the kernel tier took %d s\n' $((SECONDS - start))
exit "$status"

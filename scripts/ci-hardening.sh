#!/usr/bin/env bash
# CI's hardening run, after the normal build and tests: on a fresh Debian 12 machine, as root,
# installs what it needs, then
#   1. builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
#      test suite, end-to-end included, under them;
#   2. runs each libFuzzer target for 30 s (FUZZ_SECONDS) from its checked-in seeds, as the
#      fuzz preset's ctest tests;
#   3. checks formatting, clang-tidy and cppcheck over every tracked C and C++ file;
#   4. runs renumber's typical end-to-end runs under valgrind memcheck.
# Every step runs even when an earlier one failed; the script exits non-zero if any did.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh clang libclang-rt-14-dev clang-tidy clang-format cppcheck valgrind \
    python3 libbenchmark-dev

sanitized_tests() {
    cmake --preset asan >/dev/null
    cmake --build --preset asan -j "$(nproc)" >/dev/null
    ctest --preset asan -j "$(nproc)"
}

fuzzing() {
    cmake --preset fuzz -DRENUMBER_FUZZ_SECONDS="${FUZZ_SECONDS:-30}" >/dev/null
    cmake --build --preset fuzz -j "$(nproc)" >/dev/null
    ctest --preset fuzz
}

failed=()
step() {
    local name=$1
    shift
    local start=$SECONDS
    echo "=== $name" >&2
    if "$@"; then
        echo "=== $name: passed in $((SECONDS - start)) s" >&2
    else
        echo "=== $name: FAILED after $((SECONDS - start)) s" >&2
        failed+=("$name")
    fi
}

step "sanitizer build and tests" sanitized_tests
step "fuzzing" fuzzing
step "static analysis" scripts/lint.sh
step "valgrind memcheck" scripts/valgrind.sh

if [ ${#failed[@]} -gt 0 ]; then
    echo "hardening failed: ${failed[*]}" >&2
    exit 1
fi
echo "hardening: all steps passed in $SECONDS s" >&2

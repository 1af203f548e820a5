#!/usr/bin/env bash
# Valgrind memcheck on renumber's typical runs under motor-sim: success, broadcast, silence,
# mismatch, a cut-short answer, the argument and device refusals, and adapter faults. Fails on
# any memcheck error or definite leak (scripts/valgrind.supp names the one leak by design), or
# when a run does not end with its usual status.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-valgrind
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DRENUMBER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target renumber motor-sim >/dev/null

memcheck=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite
    --errors-for-leak-kinds=definite --suppressions=scripts/valgrind.supp)
failures=0

# run EXPECTED_STATUS "MOTOR-SIM OPTIONS" RENUMBER ARGUMENTS...
run() {
    local expected=$1 options=$2
    shift 2
    local status=0
    # shellcheck disable=SC2086 # the options are words
    "$build/sim/motor-sim" --trace-file /dev/null $options -- \
        "${memcheck[@]}" "$build/src/app/renumber" "$@" >"$build/valgrind.out" 2>&1 || status=$?
    if [ "$status" -ne "$expected" ]; then
        echo "FAILED: [$options] renumber $*: status $status, expected $expected" >&2
        cat "$build/valgrind.out" >&2
        failures=$((failures + 1))
    else
        echo "ok: [$options] renumber $*" >&2
    fi
}

run 0 "--motor 0" /dev/ttyUSB0 0 1
run 0 "--motor 4" /dev/ttyUSB0 15 1 KV-R2730-4
run 255 "--no-motor" /dev/ttyUSB0 0 1
run 254 "--motor 0:reply-id=2" /dev/ttyUSB0 0 1
run 254 "--motor 3:truncate=2" /dev/ttyUSB0 3 0
run 0 "--motor 0"
run 255 "--motor 0" /dev/ttyUSB0 0 15
run 255 "--motor 0" /dev/ttyUSB0 -1 1
run 253 "--motor 0" /dev/ttyUSB0 0 1 %s%n%x
run 255 "--motor 0" /dev/ttyUSB9 0 1
run 255 "--refuse-open" /dev/ttyUSB0 0 1
run 255 "--write-limit 0" /dev/ttyUSB0 0 1
run 0 "--no-serial-info" /dev/ttyUSB0 0 1
run 254 "--hangup-after-read 16" /dev/ttyUSB0 0 1

if [ "$failures" -ne 0 ]; then
    echo "valgrind: $failures run(s) failed" >&2
    exit 1
fi
echo "valgrind: every run clean" >&2

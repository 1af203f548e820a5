#!/usr/bin/env bash
# Builds the libFuzzer targets (CMake preset "fuzz", clang, in build-fuzz/) and runs each for a
# bounded time.
#
#   scripts/fuzz.sh                    every target for 30 s (what CI runs)
#   scripts/fuzz.sh -t 3600 cli        one target for an hour
#
# The checked-in seeds (fuzz/corpus/NAME) are only read; what a run finds is kept in
# build-fuzz/corpus/NAME, so longer runs go on from where the last one stopped. A failing input
# is written to build-fuzz/artifacts/ and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
while getopts "t:" option; do
    case "$option" in
    t) seconds="$OPTARG" ;;
    *) echo "usage: $0 [-t SECONDS] [answer|codec|cli]..." >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(answer codec cli)
fi

build=build-fuzz # the preset's
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

mkdir -p "$build/artifacts"
for name in "${targets[@]}"; do
    mkdir -p "$build/corpus/$name"
    echo "fuzz_$name: ${seconds} s" >&2
    if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$name-" "$build/corpus/$name" "fuzz/corpus/$name" \
        >"$build/fuzz_$name.log" 2>&1; then
        tail -n 40 "$build/fuzz_$name.log" >&2
        echo "fuzz_$name failed; the input is in $build/artifacts/" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$build/fuzz_$name.log" >&2
done

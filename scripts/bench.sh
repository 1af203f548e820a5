#!/usr/bin/env bash
# Builds and runs every benchmark and writes a short Markdown report with the machine it ran on:
#   scripts/bench.sh [--runs N] [REPORT]
# REPORT defaults to build-bench/benchmarks.md; `scripts/bench.sh docs/benchmarks.md` refreshes
# the checked-in figures. N is the number of end-to-end rounds per case (default 11).
# Benchmarks report figures and judge none: a slow machine gives slow figures, not a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build-bench
runs=11
report=$BUILD/benchmarks.md
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=${2:?--runs needs a number}; shift 2 ;;
        -h|--help) sed -n '2,6s/^# \{0,1\}//p' "$0"; exit 0 ;;
        -*) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
        *) report=$1; shift ;;
    esac
done

scripts/install-deps.sh libbenchmark-dev

# The preset "bench" is the release build (-O2, as the Debian package is built) with the
# benchmarks, so the figures are those of the shipped binaries.
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD"/CMakeCache.txt)

# The native architecture's package: foreign-architecture copies may be installed beside it.
package_version() {
    dpkg-query -W -f='${Version}' "$1:$(dpkg --print-architecture)" 2>/dev/null ||
        echo "not installed"
}
cpu_field() { LC_ALL=C lscpu 2>/dev/null | sed -n "s/^$1: *//p" | head -n 1; }
os=$(sed -n 's/^PRETTY_NAME="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' /etc/os-release)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
    commit="$commit with uncommitted changes"
fi
governor=$(cat /sys/devices/system/cpu/cpu0/cpufreq/scaling_governor 2>/dev/null || echo "not exposed")
virtualisation=$(cpu_field 'Hypervisor vendor')
if [ -z "$virtualisation" ] && grep -qw hypervisor /proc/cpuinfo; then
    virtualisation="virtual machine (the CPU reports a hypervisor)"
fi
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

echo "bench.sh: checksums (Google Benchmark)..." >&2
micro=$BUILD/bench-checksums.txt
"$BUILD"/bench/bench-checksums --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$BUILD"/bench-checksums.json --benchmark_out_format=json >"$micro" 2>&1

echo "bench.sh: whole runs, $runs rounds per case (about $(((runs + 1) * 12)) s)..." >&2
e2e=$BUILD/bench-e2e.md
"$BUILD"/bench/bench-e2e --runs "$runs" >"$e2e"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

mkdir -p "$(dirname "$report")"
{
    echo "# Benchmarks"
    echo
    echo "Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'); run it again to"
    echo "measure your own machine (\`scripts/bench.sh docs/benchmarks.md\` rewrites this file)."
    echo "These are figures, not tests: nothing judges them and CI does not run them."
    echo
    echo "## Machine"
    echo
    echo "| | |"
    echo "|---|---|"
    echo "| CPU | $(cpu_field 'Model name'), $(nproc) cores available |"
    echo "| virtualisation | ${virtualisation:-none reported} |"
    echo "| CPU frequency governor | $governor |"
    echo "| memory | $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) |"
    echo "| system | $os, Linux $(uname -r) |"
    echo "| compiler | $(c++ --version | head -n 1), build type $build_type (-O2) |"
    echo "| libserialport0 | $(package_version libserialport0) |"
    echo "| Google Benchmark (libbenchmark-dev) | $(package_version libbenchmark-dev) |"
    echo "| source | commit $commit |"
    echo "| load average (1, 5, 15 min) | $load_before before, $load_after after |"
    echo
    echo "## A whole run against the protocol's own waits"
    echo
    echo "The protocol itself makes a run wait 1 ms + 1 s when the motor answers, and"
    echo "500 ms + 1 ms + 500 ms + 1 s + 3 s = 5001 ms when nobody answers; renumber's overhead is"
    echo "what the tool adds to that: loading its libraries, device lookup and set-up, writing,"
    echo "draining, reading and exit."
    echo
    echo "To keep the harness's own costs out of that figure, renumber runs on a bare"
    echo "pseudo-terminal without motor-sim: motor-sim's adapter layer is preloaded with no event"
    echo "channel, so it only redirects the device's lookup and open to the pseudo-terminal, and"
    echo "bench-e2e answers on the other end as an honest motor 0 (or stays silent). bench-e2e"
    echo "times each run from just before posix_spawn to the reaping by wait4, and subtracts the"
    echo "same measurement of bench-idle, a program that does nothing, spawned with the same"
    echo "environment and layer. It also times the protocol's waits in its own process (the same"
    echo "sleeps, and selects that time out as libserialport's reads do): how late the machine's"
    echo "timers end them is the kernel's and the scheduler's, not renumber's. The answers come"
    echo "from bench-e2e, so its wake-up on each frame counts in the figures, as a real motor's"
    echo "reaction time would. renumber's CPU time (user and system, from wait4) less the"
    echo "do-nothing run's is its own work, and hardly depends on what else the machine runs."
    echo "A real adapter adds its own latency (see the README's troubleshooting)."
    echo
    echo "The figures of earlier reports (13.5 ms with an answering motor) were taken under"
    echo "motor-sim, whose acknowledged event channel and process handling they counted as"
    echo "renumber's."
    echo
    echo "The machine was shared with other work while this ran (see the load average above):"
    echo "every wait ends late when the processors are busy, so single rounds scatter by many"
    echo "milliseconds. Read the medians, the ranges as the noise they are, and the CPU time as the"
    echo "figure that the load disturbs least; on a quiet machine the overhead comes out lower."
    echo
    cat "$e2e"
    echo
    echo "## Checksums"
    echo
    echo "Google Benchmark, five repetitions of each: the median and the coefficient of"
    echo "variation (all four aggregates are in $BUILD/bench-checksums.json). Control frames are"
    echo "17 bytes, pages 4 KiB; \`crc32_words/4\` is 16 bytes, \`/1024\` is 4 KiB. Where a 17-byte"
    echo "checksum runs faster per byte than a 4 KiB one, that is because each byte's table lookup"
    echo "waits for the previous one: a long buffer runs at the lookup's latency, while the"
    echo "checksums of successive short frames overlap in the processor. Debian's libbenchmark"
    echo "warns that it was built without NDEBUG; that touches only its bookkeeping between"
    echo "batches."
    echo
    echo '```'
    grep -v -e '_mean ' -e '_stddev ' "$micro"
    echo '```'
} >"$report"

echo "bench.sh: report written to $report" >&2

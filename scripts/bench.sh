#!/usr/bin/env bash
# Builds the benchmarks, runs one set of them and writes its Markdown report:
#   scripts/bench.sh [benchmarks|tap-cost] [--runs N] [--calls N] [REPORT]
# benchmarks (the default): the checksums, and N whole runs of renumber per case (default 11).
# tap-cost: what `motor-sim --tap` adds per call (N calls, default 5000) and per run (N pairs,
# default 21). REPORT defaults to build-bench/SET.md; `scripts/bench.sh SET docs/SET.md`
# refreshes the checked-in figures. The report's prose is bench/report-SET.md, filled in here.
# Figures, not tests: a slow machine gives slow figures, not a failure.
# shellcheck disable=SC2016,SC2034 # bench/report-SET.md uses the variables set here
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build-bench set=benchmarks runs='' calls=5000 report=''
while [ $# -gt 0 ]; do
    case $1 in
        benchmarks|tap-cost) set=$1; shift ;;
        --runs|--calls) declare "${1#--}=${2:?$1 needs a number}"; shift 2 ;;
        -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
        -*) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
        *) report=$1; shift ;;
    esac
done
report=${report:-$BUILD/$set.md}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

scripts/install-deps.sh libbenchmark-dev strace gettext-base
# The preset "bench" is the release build (-O2, as the Debian package is built) with the
# benchmarks, so the figures are those of the shipped binaries.
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null

# The machine. Packages are the native architecture's: foreign ones may be installed beside them.
package() { dpkg-query -W -f='${Version}' "$1:$(dpkg --print-architecture)" || echo "not installed"; }
cpu_field() { LC_ALL=C lscpu 2>/dev/null | sed -n "s/^$1: *//p" | head -n 1; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
cpu=$(cpu_field 'Model name') cores=$(nproc) kernel=$(uname -r) compiler=$(c++ --version | head -n 1)
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD"/CMakeCache.txt)
memory=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
os=$(sed -n 's/^PRETTY_NAME="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' /etc/os-release)
libserialport=$(package libserialport0 2>/dev/null) libbenchmark=$(package libbenchmark-dev 2>/dev/null)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then commit="$commit with uncommitted changes"; fi
governor=$(cat /sys/devices/system/cpu/cpu0/cpufreq/scaling_governor 2>/dev/null || echo "not exposed")
virtualisation=$(cpu_field 'Hypervisor vendor') load_before=$(loadavg)
if grep -qw hypervisor /proc/cpuinfo; then : "${virtualisation:=virtual machine (the CPU reports a hypervisor)}"; fi
: "${virtualisation:=none reported}"

benchmarks() {
    echo "bench.sh: checksums (Google Benchmark)..." >&2
    checksums=$("$BUILD"/bench/bench-checksums --benchmark_repetitions=5 \
        --benchmark_report_aggregates_only=true --benchmark_out="$BUILD"/bench-checksums.json \
        --benchmark_out_format=json 2>&1 | grep -v -e '_mean ' -e '_stddev ')
    echo "bench.sh: whole runs, ${runs:=11} rounds per case (about $(((runs + 1) * 12)) s)..." >&2
    e2e=$("$BUILD"/bench/bench-e2e --runs "$runs")
    load_after=$(loadavg)
}

tap-cost() {
    local sim=$BUILD/sim/motor-sim renumber=("$BUILD"/src/app/renumber /dev/ttyUSB0 0 1) mode
    local tap=("$sim" --tap --trace-file /dev/null --) prefix=() s=$scratch
    field() { sed -n "s/.*$1=\([0-9.-]*\).*/\1/p" "$2"; }
    us() { awk -v ns="$1" 'BEGIN { printf "%.1f", ns / 1000 }'; }
    spread() { # FILE [quartiles]: the median of the values, then (their middle half;) their range
        sort -g "$1" | awk -v q="${2:-}" '{ v[NR] = $1 } END { printf "%s (", v[int((NR + 1) / 2)]
            if (q) printf "%s–%s; ", v[int((NR + 3) / 4)], v[int((3 * NR + 3) / 4)]; print v[1] "–" v[NR] ")" }'
    }
    timed() { # FILE COMMAND...: runs COMMAND and adds its wall time in ms to FILE
        local start; start=$(date +%s%N)
        "${@:2}" >/dev/null
        awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.3f\n", (b - a) / 1e6 }' >>"$1"
    }

    echo "bench.sh: $calls calls with and without the tap..." >&2
    local inner=("$sim" --echo --no-motor --trace-file /dev/null -- "$BUILD"/bench/bench-tap-calls)
    "${inner[@]}" "$s/calls-plain" /dev/ttyUSB0 "$calls"
    "${tap[@]}" "${inner[@]}" "$s/calls-tap" /dev/ttyUSB0 "$calls"
    per_call=$(for call in "write() of 4 bytes to the device:write" "read() of the 4 bytes echoed:read" \
        "write() of 4 bytes to /dev/null (not tapped):other"; do
        m=${call##*:}
        p=$(field "${m}_median_ns" "$s/calls-plain") t=$(field "${m}_median_ns" "$s/calls-tap")
        echo "| ${call%:*} | $(us "$p") ($(us "$(field "${m}_p99_ns" "$s/calls-plain")")) |" \
            "$(us "$t") ($(us "$(field "${m}_p99_ns" "$s/calls-tap")")) | $(us $((t - p))) |"
    done)

    echo "bench.sh: renumber ${runs:=21} times with and without the tap (about $((runs * 2)) s)..." >&2
    load_before=$(loadavg)
    for _ in $(seq 0 "$runs"); do # round 0 warms up: its lines are dropped below
        for mode in plain tap; do
            prefix=("${tap[@]}") && [ $mode = tap ] || prefix=()
            timed "$s/whole-$mode" "${prefix[@]}" "$sim" --trace-file /dev/null -- \
                "$BUILD"/bench/bench-measure "$s/run" "${renumber[@]}"
            field wall_ms "$s/run" >>"$s/renumber-$mode"
        done
    done
    load_after=$(loadavg)
    # The tapping motor-sim's own start and end: it runs /bin/true, which opens nothing.
    for _ in $(seq 0 "$runs"); do timed "$s/own" "${tap[@]}" /bin/true 2>/dev/null; done
    sed -i 1d "$s"/{whole,renumber}-{plain,tap} "$s/own"
    read -r own_median own_range < <(spread "$s/own" | tr -d '()')
    per_run=$(for stem in "renumber's own:renumber" "the whole command:whole"; do
        f=$s/${stem#*:}
        # Each pair's own difference: both runs of a pair met about the same load.
        paste "$f-plain" "$f-tap" | awk '{ printf "%.3f\n", $2 - $1 }' >"$f-added"
        echo "| ${stem%%:*} | $(spread "$f-plain") | $(spread "$f-tap") | $(spread "$f-added" quartiles) |"
    done)

    # System calls of the renumber process, after its exec and (posix_spawn's signal reset) before.
    syscalls=$(for mode in plain tap; do
        prefix=("${tap[@]}") && [ $mode = tap ] || prefix=()
        strace -f -o "$s/strace" "${prefix[@]}" "$sim" --trace-file /dev/null -- "${renumber[@]}" >/dev/null
        pid=$(grep 'execve("[^"]*/renumber"' "$s/strace" | cut -d' ' -f1)
        echo "| $mode | $(awk -v p="$pid" '$1 != p || /resumed>/ { next } /execve\(/ { on = 1 }
            on { n++; s += /^[0-9]* *sendto\(/; i += /^[0-9]* *ioctl\(/; f += /fstat/ }
            !on { r += /rt_sigaction\(/ } END { printf "%d | %d | %d | %d | %d", n, s, i, f, r }' \
            "$s/strace") | $(cut -d' ' -f1 "$s/strace" | sort -u | wc -l) |"
    done)
}

"$set"
date=$(date -u '+%Y-%m-%d %H:%M UTC') load_now=$(loadavg) template=bench/report-$set.md
names=$(grep -o '\${[A-Za-z0-9_]*}' "$template" | sort -u)
# shellcheck disable=SC2046 # one word per name
export $(tr -d '${}' <<<"$names")
mkdir -p "$(dirname "$report")"
envsubst "$names" <"$template" >"$report"
echo "bench.sh: report written to $report" >&2

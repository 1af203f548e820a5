#!/usr/bin/env bash
# Measures what `motor-sim --tap` adds: per call on the tapped device and on other descriptors,
# and per run of renumber, against a simulated bus (the tap over motor-sim), and writes a short
# Markdown report:
#   scripts/tap-cost.sh [--runs N] [--calls N] [REPORT]
# REPORT defaults to build-bench/tap-cost.md; `scripts/tap-cost.sh docs/tap-cost.md` refreshes
# the checked-in figures. Figures, not tests: nothing is judged.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build-bench
runs=11
calls=5000
report=$BUILD/tap-cost.md
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=${2:?--runs needs a number}; shift 2 ;;
        --calls) calls=${2:?--calls needs a number}; shift 2 ;;
        -h|--help) sed -n '2,7s/^# \{0,1\}//p' "$0"; exit 0 ;;
        -*) echo "tap-cost.sh: unknown option $1" >&2; exit 2 ;;
        *) report=$1; shift ;;
    esac
done

scripts/install-deps.sh libbenchmark-dev
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target bench-tap-calls bench-measure motor-sim renumber \
    >/dev/null

sim=$BUILD/sim/motor-sim
tap=("$sim" --tap --trace-file /dev/null --)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

field() { sed -n "s/.*$1=\([0-9.-]*\).*/\1/p" "$2"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
range() { sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "–" hi }'; }
us() { awk -v ns="$1" 'BEGIN { printf "%.1f", ns / 1000 }'; }

echo "tap-cost.sh: $calls calls with and without the tap..." >&2
inner=("$sim" --echo --no-motor --trace-file /dev/null -- "$BUILD"/bench/bench-tap-calls)
"${inner[@]}" "$scratch/calls-plain" /dev/ttyUSB0 "$calls"
"${tap[@]}" "${inner[@]}" "$scratch/calls-tap" /dev/ttyUSB0 "$calls"

echo "tap-cost.sh: renumber $runs times with and without the tap (about $((runs * 2)) s)..." >&2
honest=("$sim" --trace-file /dev/null -- "$BUILD"/bench/bench-measure)
for i in $(seq 0 "$runs"); do # run 0 warms up and is not counted
    for mode in plain tap; do
        prefix=()
        if [ $mode = tap ]; then prefix=("${tap[@]}"); fi
        start=$(date +%s%N)
        "${prefix[@]}" "${honest[@]}" "$scratch/run" "$BUILD"/src/app/renumber /dev/ttyUSB0 0 1 \
            >/dev/null
        end=$(date +%s%N)
        if [ "$i" -gt 0 ]; then
            field wall_ms "$scratch/run" >>"$scratch/renumber-$mode"
            awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) / 1e6 }' \
                >>"$scratch/whole-$mode"
        fi
    done
done

row() { # name, metric
    local plain tapped
    plain=$(field "$2_median_ns" "$scratch/calls-plain")
    tapped=$(field "$2_median_ns" "$scratch/calls-tap")
    echo "| $1 | $(us "$plain") ($(us "$(field "$2_p99_ns" "$scratch/calls-plain")")) |" \
        "$(us "$tapped") ($(us "$(field "$2_p99_ns" "$scratch/calls-tap")")) |" \
        "$(us $((tapped - plain))) |"
}
ms_row() { # name, file stem
    local plain tapped
    plain=$(median <"$scratch/$2-plain")
    tapped=$(median <"$scratch/$2-tap")
    echo "| $1 | $plain ($(range <"$scratch/$2-plain")) | $tapped ($(range <"$scratch/$2-tap")) |" \
        "$(awk -v a="$plain" -v b="$tapped" 'BEGIN { printf "%.1f", b - a }') |"
}

mkdir -p "$(dirname "$report")"
{
    echo "# What the tap costs"
    echo
    echo "Written by \`scripts/tap-cost.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') ($(nproc) CPUs," \
        "load $(cut -d' ' -f1-3 /proc/loadavg)); run it again to measure your own machine."
    echo "The tapped device is motor-sim's simulated one (a pseudo-terminal with an echoing"
    echo "adapter), so the figures are the tap's own work: the layer's check of the descriptor,"
    echo "a clock reading and one report sent to motor-sim, which the command never waits for."
    echo
    echo "## Per call"
    echo
    echo "$calls calls each: median, with the 99th percentile in brackets, in microseconds."
    echo "Reads include the simulation's own report of each read to its motor-sim, with or"
    echo "without the tap."
    echo
    echo "| call | without the tap, µs | with the tap, µs | added, µs |"
    echo "|---|---|---|---|"
    row "write() of 4 bytes to the device" write
    row "read() of the 4 bytes echoed" read
    row "write() of 4 bytes to /dev/null (not tapped)" other
    echo
    echo "## Per run"
    echo
    echo "renumber changing motor 0 to 1 against one honest simulated motor, $runs runs each"
    echo "after one warm-up: median, with the lowest and highest run, in milliseconds."
    echo "renumber's own time is from its start to its exit (bench-measure); the whole command"
    echo "adds, with the tap, the tapping motor-sim's own start-up and end."
    echo
    echo "| time | without the tap, ms | with the tap, ms | added, ms |"
    echo "|---|---|---|---|"
    ms_row "renumber's own" renumber
    ms_row "the whole command" whole
} >"$report"
echo "tap-cost.sh: wrote $report" >&2

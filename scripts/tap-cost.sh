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
runs=21
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

scripts/install-deps.sh libbenchmark-dev strace
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
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
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
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# The tapping motor-sim's own start and end: it runs /bin/true, which opens nothing.
for i in $(seq 0 "$runs"); do
    start=$(date +%s%N)
    "${tap[@]}" /bin/true 2>/dev/null
    end=$(date +%s%N)
    if [ "$i" -gt 0 ]; then
        awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) / 1e6 }' >>"$scratch/own"
    fi
done

# System calls of the renumber process, after its exec and (posix_spawn's signal reset) before.
syscalls() { # mode
    local prefix=() pid
    if [ "$1" = tap ]; then prefix=("${tap[@]}"); fi
    strace -f -o "$scratch/strace-$1" "${prefix[@]}" "$sim" --trace-file /dev/null -- \
        "$BUILD"/src/app/renumber /dev/ttyUSB0 0 1 >/dev/null
    pid=$(grep 'execve("[^"]*/renumber"' "$scratch/strace-$1" | cut -d' ' -f1)
    awk -v p="$pid" '$1 == p' "$scratch/strace-$1" | grep -v 'resumed>' >"$scratch/syscalls-$1"
    echo "| $1 | $(awk '/execve\(/ { on = 1 } on' "$scratch/syscalls-$1" | wc -l) |" \
        "$(awk '/execve\(/ { on = 1 } on' "$scratch/syscalls-$1" | grep -c '^[0-9]* *sendto(') |" \
        "$(awk '/execve\(/ { on = 1 } on' "$scratch/syscalls-$1" | grep -c '^[0-9]* *ioctl(') |" \
        "$(awk '/execve\(/ { on = 1 } on' "$scratch/syscalls-$1" | grep -c 'fstat') |" \
        "$(awk '/execve\(/ { exit } { print }' "$scratch/syscalls-$1" | grep -c 'rt_sigaction(') |" \
        "$(cut -d' ' -f1 "$scratch/strace-$1" | sort -u | wc -l) |"
}
{ syscalls plain; syscalls tap; } >"$scratch/syscalls"
# Each pair's own difference: both runs of a pair met about the same load.
for stem in renumber whole; do
    paste "$scratch/$stem-plain" "$scratch/$stem-tap" | awk '{ printf "%.3f\n", $2 - $1 }' \
        >"$scratch/$stem-added"
done

row() { # name, metric
    local plain tapped
    plain=$(field "$2_median_ns" "$scratch/calls-plain")
    tapped=$(field "$2_median_ns" "$scratch/calls-tap")
    echo "| $1 | $(us "$plain") ($(us "$(field "$2_p99_ns" "$scratch/calls-plain")")) |" \
        "$(us "$tapped") ($(us "$(field "$2_p99_ns" "$scratch/calls-tap")")) |" \
        "$(us $((tapped - plain))) |"
}
quartiles() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 3) / 4)] "–" v[int((3 * NR + 3) / 4)] }'; }
ms_row() { # name, file stem
    echo "| $1 | $(median <"$scratch/$2-plain") ($(range <"$scratch/$2-plain")) |" \
        "$(median <"$scratch/$2-tap") ($(range <"$scratch/$2-tap")) |" \
        "$(median <"$scratch/$2-added") ($(quartiles <"$scratch/$2-added"); $(range <"$scratch/$2-added")) |"
}

mkdir -p "$(dirname "$report")"
{
    echo "# What the tap costs"
    echo
    echo "Written by \`scripts/tap-cost.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') ($(nproc) CPUs," \
        "load $(cut -d' ' -f1-3 /proc/loadavg)); run it again to measure your own machine."
    echo "The tapped device is motor-sim's simulated one (a pseudo-terminal with an echoing"
    echo "adapter), so the figures are the tap's own work: the layer's look-up of the descriptor,"
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
    echo "renumber changing motor 0 to 1 against one honest simulated motor, $runs pairs after"
    echo "one warm-up pair, the untapped and the tapped run of each pair one right after the"
    echo "other: median, with the lowest and highest run, in milliseconds. \"Added\" is the"
    echo "median of each pair's own difference, with its middle half and its whole spread."
    echo "renumber's own time is from its start to its exit (bench-measure); the whole command"
    echo "adds, with the tap, the tapping motor-sim's own start-up and end."
    echo "Load (1, 5, 15 minutes) before the runs: $load_before; after: $load_after."
    echo
    echo "| time | without the tap, ms | with the tap, ms | added, ms: median (middle half; all) |"
    echo "|---|---|---|---|"
    ms_row "renumber's own" renumber
    ms_row "the whole command" whole
    echo
    echo "The tapping motor-sim alone, running /bin/true: median $(median <"$scratch/own") ms"
    echo "($(range <"$scratch/own"))."
    {
        echo
        echo "## System calls"
        echo
        echo "One run each under \`strace -f\`: the renumber process's calls from its exec on,"
        echo "among them the tap's reports (sendto), ioctl and fstat; the rt_sigaction calls"
        echo "before its exec (posix_spawn resetting every signal in the new process); and how"
        echo "many processes the whole command ran."
        echo
        echo "| run | calls | sendto | ioctl | fstat | rt_sigaction before exec | processes |"
        echo "|---|---|---|---|---|---|---|"
        cat "$scratch/syscalls"
    }
    echo
    echo "## Where the time goes"
    echo
    echo "- On the tapped device, each write and read costs a clock reading and one report"
    echo "  (sendto) that motor-sim reads later; the first open one fstat, the close one"
    echo "  TCGETS2 for the line settings, a flush one FIONREAD (and a read when bytes wait)."
    echo "  On any other descriptor the tap costs a table look-up: no system call."
    echo "- The whole tapped command runs one process more, the tapping motor-sim, whose start"
    echo "  and end are the line above; that and the reports are what the tap adds to a run."
    echo "- The rt_sigaction calls are glibc's posix_spawn resetting every signal in a new"
    echo "  process, once per process and as many in the untapped run; the tap installs no"
    echo "  signal handler. A count over the whole command doubles with the tap only because"
    echo "  it holds one more spawned process."
    echo "- A single pair's difference is mostly the machine: this machine is shared (other"
    echo "  builds run beside it, hence the load above), and a run of renumber varies by tens"
    echo "  of milliseconds from one to the next under that load, in either direction. Only"
    echo "  the median of many pairs says what the tap adds."
} >"$report"
echo "tap-cost.sh: wrote $report" >&2

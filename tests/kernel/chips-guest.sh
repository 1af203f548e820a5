#!/bin/sh
# Runs inside the VM tier's guest: for each chip of the table, usb-chip plays the chip on
# dummy_hcd, the kernel's own driver binds to it, motor-sim --serve plays motor 0 behind it, and
# renumber-doctor and renumber run against the driver's node. One line per chip on standard
# output, tab-separated, for check-chips.sh to hold against the table:
#   observed CHIP DRIVER RATE STATUS MESSAGE DOCTOR_VERDICT DOCTOR_LINE DOCTOR_STATUS
# Nothing is judged here.
table=${1:-/etc/renumber/chips.tsv}
work=/tmp/chips
mkdir -p "$work"
tab=$(printf '\t')

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    tries=$1
    shift
    while ! "$@" 2>/dev/null; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

# The node is there, or usb-chip has ended.
node_or_exit() {
    test -c "$1" || ! kill -0 "$2"
}

# motor-sim serves the line, or has ended.
served() {
    grep -q '^serve ' "$1" || ! kill -0 "$2"
}

grep -v '^#' "$table" | tail -n +2 | while IFS="$tab" read -r chip ids driver tty rest; do
    log=$work/$chip.log
    usb-chip "$chip" /run/bus >"$log" 2>&1 &
    chip_pid=$!
    node=/dev/$tty
    if ! wait_for 300 node_or_exit "$node" "$chip_pid" || [ ! -c "$node" ]; then
        printf 'observed\t%s\t%s\t\t\t%s\t\t\t\n' "$chip" "none" "no $node"
        cat "$log" >&2
        dmesg | tail -20 >&2
        kill "$chip_pid" 2>/dev/null
        wait "$chip_pid"
        continue
    fi
    bound=$(basename "$(readlink -f "/sys/class/tty/$tty/device/driver" 2>/dev/null)")
    motors=$work/$chip.trace
    motor-sim --serve /run/bus --trace lines --trace-file "$motors" &
    motors_pid=$!
    wait_for 300 served "$motors" "$motors_pid" && grep -q '^serve ' "$motors" || echo "chips: motor-sim did not serve /run/bus" >&2
    renumber-doctor "$node" >"$work/$chip.doctor" 2>&1
    doctor_status=$?
    doctor_line=$(grep '^[A-Z]* *chip ' "$work/$chip.doctor")
    renumber "$node" 0 1 >"$work/$chip.out" 2>"$work/$chip.err"
    status=$?
    kill "$motors_pid" 2>/dev/null
    wait "$motors_pid"
    kill "$chip_pid"
    wait "$chip_pid"
    wait_for 100 test ! -e "$node"
    rate=$(sed -n 's/.* rate=\([0-9]*\)$/\1/p' "$log" | tail -n 1)
    message=$(tail -n 1 "$work/$chip.out")
    verdict=${doctor_line%% *}
    printf 'observed\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$chip" "$bound" "$rate" "$status" \
        "$message" "$verdict" "$doctor_line" "$doctor_status"
    if [ -n "$CHIPS_VERBOSE" ]; then
        sed "s/^/chips: $chip log: /" "$log" "$work/$chip.err" "$work/$chip.doctor" >&2
    fi
done

# shellcheck shell=dash
# shellcheck disable=SC2034 # TAB and RUN_* are the case files'
# The kernel tier's runner and helpers (busybox sh, sourced by /init).
#
# A case is a function, run by run_case in a subshell of its own with a fresh scratch folder
# ($CASE): nothing it sets or starts outlives it. It states what it expects with expect and
# differs, which write to its folder; run_case then prints one TAP line, "ok N - NAME" or
# "not ok N - NAME", followed by the case's notes and what differed as "# " lines.

readonly TAB='	'

# The PCI serial port qemu collects the results from (the tier's host script adds it).
results_port() {
    local tty
    for tty in /sys/class/tty/ttyS*; do
        case $(readlink -f "$tty/device") in
        */pci0000:00/*)
            echo "/dev/${tty##*/}"
            return 0
            ;;
        esac
    done
    return 1
}

differs() { printf '%s\n' "$@" >>"$CASE/differed"; }
note() { printf '%s\n' "$*" >>"$CASE/notes"; }

# expect WHAT EXPECTED ACTUAL
expect() {
    [ "$2" = "$3" ] || differs "$1: expected '$2', got '$3'"
}

# expect_at_most WHAT LIMIT VALUE: numbers with decimals.
expect_at_most() {
    awk -v value="$3" -v limit="$2" 'BEGIN { exit !(value <= limit) }' ||
        differs "$1: expected at most $2, got $3"
}

# Runs the cases named in the comma-separated list $1 (every case when it is empty), in the order
# of the case list, and ends with the TAP plan.
run_cases() {
    local selected=",$1," number=0 name function argument
    case_list >/tmp/cases
    while read -r name function argument; do
        if [ "$selected" = ",," ] || [ "${selected#*,"$name",}" != "$selected" ]; then
            number=$((number + 1))
            # shellcheck disable=SC2086 # no argument, or one word
            run_case "$number" "$name" "$function" $argument
        fi
    done </tmp/cases
    echo "1..$number"
}

run_case() {
    local number=$1 name=$2
    shift 2
    CASE=/tmp/case-$number
    mkdir -p "$CASE"
    (
        trap end_case EXIT
        "$@"
    ) >"$CASE/output" 2>&1
    if [ -s "$CASE/differed" ]; then
        echo "not ok $number - $name"
        cat "$CASE/notes" "$CASE/differed" "$CASE/output" 2>/dev/null | sed 's/^/# /'
    else
        echo "ok $number - $name"
        sed 's/^/# /' "$CASE/notes" 2>/dev/null
    fi
    rm -rf "$CASE"
}

# Whatever the case left running or plugged in goes with it, and the next finds no tty on
# dummy_hcd's bus.
end_case() {
    local pid
    for pid in $(cat "$CASE/pids" 2>/dev/null); do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [ ! -d "$GADGET" ] || gadget_remove
    wait_until chip_gone 100 || echo "a tty stayed on dummy_hcd's bus"
}

# The node the kernel made for a gadget (the ACM gadget or usb-chip's): the tty under dummy_hcd.
chip_node() {
    local tty
    for tty in /sys/class/tty/ttyUSB* /sys/class/tty/ttyACM*; do
        case $(readlink -f "$tty") in
        */dummy_hcd.*/*)
            echo "/dev/${tty##*/}"
            return 0
            ;;
        esac
    done
    return 1
}
chip_gone() { ! chip_node >/dev/null; }

# Starts COMMAND... in the background, killed with the case at the latest; sets STARTED.
start() {
    "$@" &
    STARTED=$!
    echo "$STARTED" >>"$CASE/pids"
}

# Waits up to $2 tenths of a second for the command $1 (a function name and its arguments, split
# at spaces) to succeed.
wait_until() {
    local tenths=0
    # shellcheck disable=SC2086 # the words of the command
    until $1; do
        [ "$tenths" -lt "$2" ] || return 1
        sleep 0.1
        tenths=$((tenths + 1))
    done
}

# Seconds since boot, with hundredths.
uptime_s() { cut -d ' ' -f 1 /proc/uptime; }

# Runs renumber ARG... with a limit of $1 s, as root or, with RUN_USER set, as that user, and
# reads its outcome: RUN_OUT, RUN_ERR, RUN_STATUS, RUN_WALL and RUN_CPU (user and system, in
# seconds with hundredths).
run_renumber() {
    start_renumber "$@"
    finish_renumber
}
start_renumber() {
    local limit=$1
    shift
    if [ -n "${RUN_USER:-}" ]; then
        set -- su -s /bin/sh "$RUN_USER" -c 'exec renumber "$@"' renumber "$@"
    else
        set -- renumber "$@"
    fi
    start time -f '%e %U %S' -o "$CASE/renumber.time" timeout -s KILL "$limit" "$@" \
        >"$CASE/renumber.out" 2>"$CASE/renumber.err"
    RENUMBER_PID=$STARTED
}
finish_renumber() {
    local user system
    wait "$RENUMBER_PID"
    RUN_STATUS=$?
    RUN_OUT=$(cat "$CASE/renumber.out")
    RUN_ERR=$(cat "$CASE/renumber.err")
    # The last line: before it, busybox time says which signal ended the program, if one did.
    read -r RUN_WALL user system <<EOF
$(tail -n 1 "$CASE/renumber.time")
EOF
    RUN_CPU=$(echo "$user $system" | awk '{ printf "%.2f", $1 + $2 }')
}

# The user and system time renumber has used so far, in seconds (the kernel counts in ticks of
# 1/100 s).
renumber_cpu_so_far() {
    awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$(pidof renumber)/stat"
}

# expect_run STDOUT STATUS [STDERR]: renumber's last run printed exactly these lines and ended so.
expect_run() {
    expect "renumber's standard output" "$1" "$RUN_OUT"
    expect "renumber's status" "$2" "$RUN_STATUS"
    [ $# -lt 3 ] || expect "renumber's standard error" "$3" "$RUN_ERR"
}

# motor-sim serves its motors on LINE with MOTOR_OPTION...; the trace goes to $CASE/motor.trace.
serve_motor() {
    local line=$1
    shift
    start motor-sim --serve "$line" --trace lines --trace-file "$CASE/motor.trace" "$@" \
        2>"$CASE/motor.err"
    MOTOR_PID=$STARTED
    if ! wait_until "serving" 100; then
        differs "motor-sim did not start serving $line: $(cat "$CASE/motor.err")"
        return 1
    fi
}
serving() { grep -q '^serve ' "$CASE/motor.trace" 2>/dev/null; }

# Stops motor-sim and waits for its closing records (not from a command substitution, whose
# subshell cannot wait for it).
stop_motor() {
    kill -TERM "$MOTOR_PID" 2>/dev/null
    wait "$MOTOR_PID"
}

# The identifier motor $1 ended with, from motor-sim's closing records.
motor_end() {
    sed -n "s/^motor index=$1 start=[0-9]* end=\([0-9]*\).*/\1/p" "$CASE/motor.trace"
}

# The USB gadget: a configfs gadget on dummy_hcd with one ACM function, which the host side of
# the same guest sees through cdc_acm as /dev/ttyACM0; the gadget's end is /dev/ttyGS0. Writing
# the UDC's name to its UDC file plugs it in, an empty line unplugs it. Each case that plugs it
# in gets a new one, whose end nobody has opened yet, and end_case removes it.
GADGET=/sys/kernel/config/usb_gadget/renumber
gadget_plug() {
    mkdir "$GADGET" "$GADGET/strings/0x409" "$GADGET/configs/c.1" "$GADGET/functions/acm.GS0"
    echo 0x0525 >"$GADGET/idVendor"
    echo 0xa4a7 >"$GADGET/idProduct"
    echo "renumber kernel tier" >"$GADGET/strings/0x409/product"
    ln -s "$GADGET/functions/acm.GS0" "$GADGET/configs/c.1/"
    ls /sys/class/udc >"$GADGET/UDC"
    wait_until "test -c /dev/ttyACM0" 100 || differs "no /dev/ttyACM0 after plugging the gadget in"
}
gadget_unplug() { echo >"$GADGET/UDC"; }
gadget_remove() {
    gadget_unplug
    rm "$GADGET/configs/c.1/acm.GS0"
    rmdir "$GADGET/configs/c.1" "$GADGET/functions/acm.GS0" "$GADGET/strings/0x409" "$GADGET"
}

# renumber-doctor's verdict on device $1, taken before renumber runs there.
doctor_before() {
    renumber-doctor "$1" >"$CASE/doctor.out" 2>&1
    DOCTOR_STATUS=$?
}

# The doctor's verdict matches what renumber then did: status 0 or 1 where renumber changed the
# motor; status 2, quoting renumber's last message, where it failed (the timeout message is
# quoted with its identifiers named, not filled in).
expect_doctor_agrees() {
    local message template
    if [ "$RUN_STATUS" = 0 ]; then
        case $DOCTOR_STATUS in
        0 | 1) ;;
        *) differs "renumber changed the motor, but the doctor said (status $DOCTOR_STATUS):" \
               "$(grep -v '^OK ' "$CASE/doctor.out")" ;;
        esac
        return
    fi
    expect "the doctor's status where renumber ended $RUN_STATUS" 2 "$DOCTOR_STATUS"
    message=$(echo "$RUN_OUT" | tail -n 1)
    template=$(echo "$message" | sed 's/^\(\[ERROR\] Modify id \)[0-9]* to [0-9]*/\1<id> to <target>/')
    grep -qF -e "$message" -e "$template" "$CASE/doctor.out" ||
        differs "the doctor does not quote renumber's '$message':" \
            "$(grep -v '^OK ' "$CASE/doctor.out")"
}

# What renumber put on line $1 while it ran ($2, the line's count before it; tty-tx reads the
# driver's transmit count): nothing. One byte sent afterwards must count, or the count shows
# nothing at all.
expect_nothing_sent() {
    local after sent
    after=$(tty-tx "$1")
    expect "bytes renumber sent on $1" 0 "$((after - $2))"
    sent=$(tty-tx "$1" send)
    expect "bytes counted for one byte sent on $1 afterwards" 1 "$((sent - after))"
}

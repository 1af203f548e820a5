# shellcheck shell=dash
# shellcheck disable=SC2034 # RUN_* and NOTES are read by the case files
# What the kernel tier's cases share (busybox sh, sourced by /init): the case table and its runner,
# the checks, and helpers for renumber, renumber-doctor, motor-sim and the USB gadget.
#
# A case is a function; `kernel_case NAME FUNCTION` adds it to the table. The function runs the
# programs and states what it expects with `expect`; the runner prints one line per case,
# "kernel-tier: PASS NAME" or "kernel-tier: FAIL NAME", a failure followed by what differed.

say() { echo "kernel-tier: $*"; }

CASES=""
kernel_case() { CASES="$CASES $1:$2"; }

# Runs the cases named in the comma-separated list $1, or every case when it is empty.
run_cases() {
    local selected=",$1," entry name
    for entry in $CASES; do
        name=${entry%%:*}
        if [ "$selected" != ",," ] && [ "${selected#*,"$name",}" = "$selected" ]; then
            continue
        fi
        DIFFERENCES=""
        NOTES=""
        "${entry#*:}"
        if [ -z "$DIFFERENCES" ]; then
            say "PASS $name${NOTES:+ ($NOTES)}"
        else
            say "FAIL $name${NOTES:+ ($NOTES)}"
            printf '%s\n' "$DIFFERENCES" | sed '/^$/d; s/^/kernel-tier:     /'
        fi
    done
}

differs() { DIFFERENCES="$DIFFERENCES
$*"; }
note() { NOTES="${NOTES:+$NOTES, }$*"; }

# expect WHAT EXPECTED ACTUAL
expect() {
    [ "$2" = "$3" ] || differs "$1: expected '$2', got '$3'"
}

# Waits up to $2 tenths of a second for the command $1 (a string) to succeed.
wait_until() {
    local tenths=0
    until eval "$1"; do
        [ "$tenths" -lt "$2" ] || return 1
        sleep 0.1
        tenths=$((tenths + 1))
    done
}

# Runs renumber ARG... with a limit of $1 s, as root or, with RUN_USER set, as that user. Sets
# RUN_OUT, RUN_ERR (the texts), RUN_STATUS, RUN_WALL, RUN_CPU (seconds, busybox time's two
# decimals).
run_renumber() {
    local limit=$1
    shift
    if [ -n "${RUN_USER:-}" ]; then
        set -- su -s /bin/sh "$RUN_USER" -c 'exec renumber "$@"' renumber "$@"
    else
        set -- renumber "$@"
    fi
    time -f '%e %U %S' -o /tmp/renumber.time timeout -s KILL "$limit" "$@" \
        >/tmp/renumber.out 2>/tmp/renumber.err
    RUN_STATUS=$?
    read_run
}

# Starts renumber ARG... in the background, for a case that acts during the run; finish_renumber
# waits for it and sets what run_renumber sets.
start_renumber() {
    local limit=$1
    shift
    time -f '%e %U %S' -o /tmp/renumber.time timeout -s KILL "$limit" renumber "$@" \
        >/tmp/renumber.out 2>/tmp/renumber.err &
    RENUMBER_PID=$!
}
finish_renumber() {
    wait "$RENUMBER_PID"
    RUN_STATUS=$?
    read_run
}
read_run() {
    local user system
    RUN_OUT=$(cat /tmp/renumber.out)
    RUN_ERR=$(cat /tmp/renumber.err)
    # The last line: before it, busybox time says which signal ended the program, if one did.
    read -r RUN_WALL user system <<EOF
$(tail -n 1 /tmp/renumber.time)
EOF
    RUN_CPU=$(echo "$user $system" | awk '{ printf "%.2f", $1 + $2 }')
}

# expect_run STDOUT STATUS [STDERR]: renumber's last run printed exactly these lines and ended so.
expect_run() {
    expect "renumber's standard output" "$1" "$RUN_OUT"
    expect "renumber's status" "$2" "$RUN_STATUS"
    [ $# -lt 3 ] || expect "renumber's standard error" "$3" "$RUN_ERR"
}

# expect_within SECONDS: renumber's last run ended within that wall time.
expect_within() {
    awk -v wall="$RUN_WALL" -v limit="$1" 'BEGIN { exit !(wall <= limit) }' ||
        differs "renumber's wall time: expected at most $1 s, took $RUN_WALL s"
}

# motor-sim serves its motors on the gadget's end of the line (MOTOR_LINE, /dev/ttyGS0 unless
# set); MOTOR_OPTION... as motor-sim takes them. The trace goes to /tmp/motor.trace.
serve_motor() {
    local line=${MOTOR_LINE:-/dev/ttyGS0}
    rm -f /tmp/motor.trace
    motor-sim --serve "$line" --trace lines --trace-file /tmp/motor.trace "$@" \
        2>/tmp/motor.err &
    MOTOR_PID=$!
    if ! wait_until "grep -q '^serve ' /tmp/motor.trace 2>/dev/null" 100; then
        differs "motor-sim did not start serving $line: $(cat /tmp/motor.err)"
        stop_motor
        return 1
    fi
}

# Stops motor-sim (if the line has not ended it already) and waits for its closing records.
stop_motor() {
    [ -n "${MOTOR_PID:-}" ] || return 0
    kill -TERM "$MOTOR_PID" 2>/dev/null
    wait "$MOTOR_PID"
    MOTOR_PID=""
}

# The identifier motor $1 ended with, from motor-sim's closing trace record.
motor_end() {
    sed -n "s/^motor index=$1 start=[0-9]* end=\([0-9]*\).*/\1/p" /tmp/motor.trace 2>/dev/null
}

# The USB gadget: a configfs gadget on dummy_hcd with one ACM function, which the host side of
# the same guest sees through cdc_acm as /dev/ttyACM0; the gadget's end is /dev/ttyGS0. Writing
# the UDC's name to its UDC file plugs it in, an empty line unplugs it.
GADGET=/sys/kernel/config/usb_gadget/renumber
gadget_create() {
    mkdir "$GADGET" "$GADGET/strings/0x409" "$GADGET/configs/c.1" "$GADGET/functions/acm.GS0"
    echo 0x0525 >"$GADGET/idVendor"
    echo 0xa4a7 >"$GADGET/idProduct"
    echo "renumber kernel tier" >"$GADGET/strings/0x409/product"
    ln -s "$GADGET/functions/acm.GS0" "$GADGET/configs/c.1/"
}
gadget_plug() {
    [ -d "$GADGET" ] || gadget_create
    if [ -z "$(cat "$GADGET/UDC")" ]; then
        ls /sys/class/udc >"$GADGET/UDC"
    fi
    wait_until '[ -c /dev/ttyACM0 ]' 100 || differs "no /dev/ttyACM0 after plugging the gadget in"
}
gadget_unplug() {
    echo >"$GADGET/UDC"
}
# Unplugged and plugged in again: a fresh connection, on which the gadget's end has not been
# opened yet.
gadget_replug() {
    [ ! -d "$GADGET" ] || gadget_unplug
    wait_until '[ ! -e /dev/ttyACM0 ]' 100 || differs "/dev/ttyACM0 still there after unplugging"
    gadget_plug
}

# renumber-doctor's verdict on device $1, kept for the doctor's cases to hold against what renumber
# then did: run it before renumber, and save_outcome after.
doctor_before() {
    local port=${1##*/}
    renumber-doctor "$1" >"/tmp/doctor-$port.out" 2>&1
    echo $? >"/tmp/doctor-$port.status"
}
save_outcome() {
    local port=${1##*/}
    printf '%s\n' "$RUN_OUT" >"/tmp/renumber-$port.out"
    echo "$RUN_STATUS" >"/tmp/renumber-$port.status"
}

# The doctor's lines other than OK, for a failure's details.
doctor_findings() {
    grep -v '^OK ' "/tmp/doctor-$1.out"
}

# The doctor's verdict on device $1 matches what renumber did there: status 0 or 1 where renumber
# changed the motor; status 2, quoting renumber's last message, where it failed (the timeout
# message is quoted with its identifiers named, not filled in).
expect_doctor_agrees() {
    local port=${1##*/} doctor renumber message template
    if [ ! -f "/tmp/renumber-$port.status" ]; then
        differs "no run of renumber on $1 to hold the doctor's verdict against"
        return
    fi
    doctor=$(cat "/tmp/doctor-$port.status")
    renumber=$(cat "/tmp/renumber-$port.status")
    message=$(tail -n 1 "/tmp/renumber-$port.out")
    template=$(echo "$message" | sed 's/^\(\[ERROR\] Modify id \)[0-9]* to [0-9]*/\1<id> to <target>/')
    if [ "$renumber" = 0 ]; then
        case $doctor in
        0 | 1) ;;
        *) differs "renumber changed the motor, but the doctor said (status $doctor):" \
               "$(doctor_findings "$port")" ;;
        esac
        return
    fi
    expect "the doctor's status where renumber ended $renumber" 2 "$doctor"
    if ! grep -qF -e "$message" -e "$template" "/tmp/doctor-$port.out"; then
        differs "the doctor does not quote renumber's '$message':" "$(doctor_findings "$port")"
    fi
}

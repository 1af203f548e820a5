# shellcheck shell=dash
# The kernel tier's cases: renumber, renumber-doctor and motor-sim --serve through Linux's own
# drivers. case_list names them in the order they run: a name, the function, and its argument.

readonly WRITE_ERROR="[Error] Error occurred during serial port write."
readonly REFUSED="[Error] Set serial failure."
readonly CHIPS_TABLE=/kernel/chips.tsv

case_list() {
    echo "acm/changed acm_changed"
    echo "acm/held-by-another-program acm_held"
    echo "acm/drain-stalled acm_drain_stalled"
    echo "acm/unplug-answer-wait acm_unplug_answer_wait"
    echo "acm/unplug-pause acm_unplug_pause"
    echo "ftdi/rate-substituted ftdi_rate_substituted"
    echo "uart/rate-substituted rate_substituted /dev/ttyS1"
    sed -n "/^#/d; /^chip$TAB/d; s/^\([^$TAB]*\)$TAB.*/chips\/\1 chip_case \1/p" "$CHIPS_TABLE"
}

# cdc_acm, the real driver: a USB gadget with the ACM function on dummy_hcd, /dev/ttyACM0 on the
# host side and /dev/ttyGS0 on the gadget's, where motor-sim serves its motor.

# renumber /dev/ttyACM0 0 1 against an honest motor; the doctor's verdict is taken first.
acm_changed() {
    gadget_plug
    serve_motor /dev/ttyGS0 --motor 0 || return
    doctor_before /dev/ttyACM0
    run_renumber 20 /dev/ttyACM0 0 1
    stop_motor
    expect_run "OK! Changed. Now the motor ID:1" 0 ""
    expect "the motor's identifier at the end" 1 "$(motor_end 0)"
    expect_doctor_agrees
}

# A program left reading the port (a cat, as a terminal program would) and a motor that keeps
# silent, so that the failure is renumber's whichever program would have read an answer: renumber
# times out, then names the program, its pid and how to stop it.
acm_held() {
    local holder
    gadget_plug
    serve_motor /dev/ttyGS0 --motor 0:silent || return
    start cat /dev/ttyACM0
    holder=$STARTED
    wait_until "holding $holder" 50 || differs "cat did not open /dev/ttyACM0"
    run_renumber 20 /dev/ttyACM0 0 1
    kill "$holder"
    stop_motor
    expect_run "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout)." 255
    for said in "/dev/ttyACM0 is open in pid $holder (cat)" \
        "Fix: quit those programs first (or kill $holder)." \
        "For the whole picture: renumber-doctor /dev/ttyACM0"; do
        case $RUN_ERR in
        *"$said"*) ;;
        *) differs "renumber's standard error does not say \"$said\": $RUN_ERR" ;;
        esac
    done
}
holding() { ls -l "/proc/$1/fd" 2>/dev/null | grep -q /dev/ttyACM0; }

# Until the gadget's end is first opened on a connection, u_serial queues no request for the
# host's data: the bulk OUT transfer never completes and cdc_acm's drain never ends. Each frame
# then counts as a failed write, and the command's failed exchange is no change to 1. cdc_acm
# would hold the close 30 s for the unsent bytes; only root may shorten that wait, so the run is a
# bench user's, in dialout.
acm_drain_stalled() {
    gadget_plug
    expect "processes holding ttyGS0" "" "$(fuser /dev/ttyGS0 2>/dev/null)"
    chgrp dialout /dev/ttyACM0
    chmod 0660 /dev/ttyACM0
    RUN_USER=operator run_renumber 40 /dev/ttyACM0 0 1
    note "wall $RUN_WALL s, cpu $RUN_CPU s"
    expect_run "$WRITE_ERROR
$WRITE_ERROR
$WRITE_ERROR
[Error] The ID:0 of the feedback does not match." 254
    expect_at_most "renumber's wall time (s)" 5.5 "$RUN_WALL"
}

# The adapter unplugged (the gadget's UDC file emptied) $1 s into a run against a motor whose
# answer comes 2 s late. The control frames are answered at once, the 1 s pause follows, the
# command goes out about 1 s after the start and its answer wait would end 3 s later. Sets
# HANGUP_WALL and HANGUP_CPU: renumber's wall and CPU time from the unplug to its end.
acm_unplug_at() {
    local cpu unplugged ended
    gadget_plug
    serve_motor /dev/ttyGS0 --motor 0:delay=2000 || return 1
    start_renumber 20 /dev/ttyACM0 0 1
    sleep "$1"
    cpu=$(renumber_cpu_so_far)
    unplugged=$(uptime_s)
    gadget_unplug
    finish_renumber
    ended=$(uptime_s)
    stop_motor
    HANGUP_WALL=$(echo "$unplugged $ended" | awk '{ printf "%.2f", $2 - $1 }')
    HANGUP_CPU=$(echo "$cpu $RUN_CPU" | awk '{ printf "%.2f", $2 - $1 }')
    note "wall $RUN_WALL s, $HANGUP_WALL s of it after the unplug;" \
        "cpu $RUN_CPU s, $HANGUP_CPU s of it after the unplug"
}

# During the answer wait the line hangs up: the wait ends at once, without spinning on the dead
# line, with the timeout and what the motor may have done.
acm_unplug_answer_wait() {
    acm_unplug_at 2 || return
    expect_run "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout)." 255 \
        "/dev/ttyACM0: hung up (the adapter was unplugged or reset) while renumber waited for the answer; motor 0 may already have taken identifier 1, so check that first: renumber /dev/ttyACM0 1 1 answers only if it has"
    expect "the motor's identifier at the end" 1 "$(motor_end 0)"
    expect_at_most "renumber's wall time after the unplug (s)" 0.5 "$HANGUP_WALL"
    # The explanation of the failure reads /proc and /sys after it: some 0.08 s under TCG.
    expect_at_most "renumber's CPU time after the unplug (s)" 0.25 "$HANGUP_CPU"
}

# During the pause before the command: the command's write fails on the hung-up line, and the
# failed exchange is no change.
acm_unplug_pause() {
    acm_unplug_at 0.6 || return
    expect_run "$WRITE_ERROR
[Error] The ID:0 of the feedback does not match." 254 \
        "/dev/ttyACM0: hung up (the adapter was unplugged or reset) before the change command went out; motor 0 kept its identifier"
    expect "the motor's identifier at the end" 0 "$(motor_end 0)"
    expect_at_most "renumber's wall time (s)" 3 "$RUN_WALL"
}

# renumber on $1, whose driver substitutes 9,600 baud for 4,000,000 and says so in the terminal
# settings: refused, and nothing sent. The 8250 driver on qemu's second 16550A (/dev/ttyS1,
# uartclk 1,843,200 Hz: at most 115,200 baud) falls back to the line's earlier rate.
rate_substituted() {
    local sent
    sent=$(tty-tx "$1")
    doctor_before "$1"
    run_renumber 20 "$1" 0 1
    expect_run "$REFUSED" 255 "sp_set_baudrate: the driver reports 9600 baud, not 4000000"
    expect_nothing_sent "$1" "$sent"
    expect_doctor_agrees
}

# ftdi_sio on qemu's FTDI model (an FT232BM to the driver, /dev/ttyUSB0) falls back to 9,600, and
# renumber's low-latency request reaches it as latency timer 1.
ftdi_rate_substituted() {
    local timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
    wait_until "test -c /dev/ttyUSB0" 100 ||
        { differs "no /dev/ttyUSB0: ftdi_sio did not take qemu's FTDI model"; return; }
    # The driver's 16 ms default, set here so that a 1 afterwards can only be renumber's doing.
    echo 16 >"$timer"
    expect "the latency timer before renumber (ms)" 16 "$(cat "$timer")"
    rate_substituted /dev/ttyUSB0
    expect "the latency timer after renumber's low-latency request (ms)" 1 "$(cat "$timer")"
}

# The adapter chips people buy, each played by usb-chip on dummy_hcd under its own Linux driver
# (ch341, cdc_acm, cp210x, ftdi_sio, pl2303), with motor 0 served behind it. Three witnesses are
# held to the chip's row of chips.tsv: the rate the driver programmed into the chip, renumber's
# output and status, and renumber-doctor's chip verdict.

chip_up() { chip_node >/dev/null || ! kill -0 "$CHIP_PID" 2>/dev/null; }

chip_case() {
    local chip ids release class product driver rate status message doctor node line
    IFS=$TAB read -r chip ids release class product driver rate status message doctor <<EOF
$(grep "^$1$TAB" "$CHIPS_TABLE")
EOF
    start usb-chip "$chip" "$ids" "$release" "$class" "$product" /run/chip-line \
        >"$CASE/chip.log" 2>&1
    CHIP_PID=$STARTED
    if ! wait_until chip_up 300 || ! node=$(chip_node); then
        differs "no tty for the $chip gadget:" "$(cat "$CASE/chip.log")" "$(dmesg | tail -n 8)"
        return
    fi
    expect "the driver bound to it" "$driver" \
        "$(basename "$(readlink -f "/sys/class/tty/${node#/dev/}/device/driver")")"
    serve_motor /run/chip-line --motor 0 || return
    doctor_before "$node"
    run_renumber 20 "$node" 0 1
    note "$node, wall $RUN_WALL s"
    stop_motor
    expect "the motor's identifier at the end" "$([ "$status" = 0 ] && echo 1 || echo 0)" \
        "$(motor_end 0)"
    # Off the bus: the chip's log is complete.
    kill -TERM "$CHIP_PID"
    wait "$CHIP_PID"
    wait_until chip_gone 100 || differs "the chip's node stayed after it left the bus"
    expect "the rate the driver programmed into the chip" "$rate" \
        "$(sed -n 's/.* rate=\([0-9]*\)$/\1/p' "$CASE/chip.log" | tail -n 1)"
    expect "renumber's last line" "$(echo "$message" | sed 's/<id>/0/; s/<target>/1/')" \
        "$(echo "$RUN_OUT" | tail -n 1)"
    expect "renumber's status" "$status" "$RUN_STATUS"
    # A refused rate stops renumber before its first frame: nothing reaches the chip's bulk OUT.
    if [ "$message" = "$REFUSED" ]; then
        expect "bytes the chip was given" "" "$(grep ' out bytes=' "$CASE/chip.log")"
    fi

    line=$(grep '^[A-Z]* *chip ' "$CASE/doctor.out")
    expect "renumber-doctor's chip verdict" "$doctor" "${line%% *}"
    case $line in
    *"($ids, driver $driver)"*) ;;
    *) differs "renumber-doctor does not name the chip's ids and driver ($ids, $driver): $line" ;;
    esac
    expect_doctor_agrees
}

# shellcheck shell=dash
# cdc_acm, the real driver: a USB gadget with the ACM function on dummy_hcd, /dev/ttyACM0 on the
# host side and /dev/ttyGS0 on the gadget's, where motor-sim serves its motor.

readonly WRITE_ERROR="[Error] Error occurred during serial port write."

# Runs renumber /dev/ttyACM0 0 1 against a motor served with MOTOR_OPTION...; the doctor's verdict
# is taken first.
acm_run() {
    gadget_plug
    serve_motor "$@" || return 1
    doctor_before /dev/ttyACM0
    run_renumber 20 /dev/ttyACM0 0 1
    stop_motor
}

acm_changed() {
    acm_run --motor 0 || return
    save_outcome /dev/ttyACM0
    expect_run "OK! Changed. Now the motor ID:1" 0
    expect "the motor's identifier at the end" 1 "$(motor_end 0)"
}
kernel_case acm/changed acm_changed

acm_silent() {
    acm_run --motor 0:silent || return
    expect_run "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout)." 255
    expect "the motor's identifier at the end" 0 "$(motor_end 0)"
}
kernel_case acm/silent acm_silent

acm_mismatch() {
    acm_run --motor 0:reply-id=2 || return
    expect_run "[Error] The ID:2 of the feedback does not match." 254
    expect "the motor's identifier at the end" 2 "$(motor_end 0)"
}
kernel_case acm/mismatch acm_mismatch

# Until the gadget's end is first opened on a connection, u_serial queues no request for the
# host's data (once opened, its requests stay queued after the close): the bulk OUT transfer never
# completes and cdc_acm's drain never ends. Each frame then counts as a failed write, and the
# command's failed exchange is no change to 1. cdc_acm would hold the close 30 s for the unsent
# bytes; only root may shorten that wait, so the run is a bench user's, in dialout.
acm_drain_stalled() {
    gadget_replug
    expect "processes holding ttyGS0" "" "$(fuser /dev/ttyGS0 2>/dev/null)"
    chgrp dialout /dev/ttyACM0
    chmod 0660 /dev/ttyACM0
    RUN_USER=operator run_renumber 40 /dev/ttyACM0 0 1
    note "wall $RUN_WALL s, cpu $RUN_CPU s"
    expect_run "$WRITE_ERROR
$WRITE_ERROR
$WRITE_ERROR
[Error] The ID:0 of the feedback does not match." 254
    expect_within 5.5
}
kernel_case acm/drain-stalled acm_drain_stalled

# The adapter unplugged (the gadget's UDC file emptied) while renumber runs, against a motor whose
# answer comes 2 s late. Renumber's times are those of the protocol: the control frames are
# answered at once, the 1 s pause follows, the command goes out about 1 s after the start and its
# answer wait ends 3 s later. The unplug moments leave about half a second on either side for a
# slow start under emulation.
acm_unplug_at() {
    gadget_plug
    serve_motor --motor 0:delay=2000 || return 1
    start_renumber 20 /dev/ttyACM0 0 1
    sleep "$1"
    gadget_unplug
    finish_renumber
    stop_motor
    note "wall $RUN_WALL s, cpu $RUN_CPU s"
}

# During the answer wait the line is gone: reads find end of file, and libserialport's blocking
# read spins on it until the wait is over (the CPU time shows it). No answer: the timeout.
acm_unplug_answer_wait() {
    acm_unplug_at 2 || return
    expect_run "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout)." 255 ""
    expect "the motor's identifier at the end" 1 "$(motor_end 0)"
    expect_within 5.5
}
kernel_case acm/unplug-answer-wait acm_unplug_answer_wait

# During the pause before the command: the command's write fails on the hung-up line, and the
# failed exchange is no change.
acm_unplug_pause() {
    acm_unplug_at 0.6 || return
    expect_run "$WRITE_ERROR
[Error] The ID:0 of the feedback does not match." 254 ""
    expect "the motor's identifier at the end" 0 "$(motor_end 0)"
    expect_within 3
}
kernel_case acm/unplug-pause acm_unplug_pause

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

# With nobody holding ttyGS0 open, u_serial queues no request for the host's data: the bulk OUT
# transfer never completes and cdc_acm's drain never ends. Each frame then counts as a failed
# write, and the command's failed exchange is no change to 1.
acm_drain_stalled() {
    gadget_plug
    expect "processes holding ttyGS0" "" "$(fuser /dev/ttyGS0 2>/dev/null)"
    run_renumber 40 /dev/ttyACM0 0 1
    note "wall $RUN_WALL s, cpu $RUN_CPU s"
    expect_run "$WRITE_ERROR
$WRITE_ERROR
$WRITE_ERROR
[Error] The ID:0 of the feedback does not match." 254
    expect_within 5.5
}
kernel_case acm/drain-stalled acm_drain_stalled

# shellcheck shell=dash
# ftdi_sio on qemu's FTDI model (an FT232BM to the driver, /dev/ttyUSB0): the driver substitutes
# 9,600 baud for 4,000,000 and says so in the terminal settings, and renumber's low-latency request
# reaches it as latency timer 1. The host checks that nothing reached the model's line.

LATENCY_TIMER=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer

ftdi_rate_substituted() {
    local before
    if ! wait_until '[ -c /dev/ttyUSB0 ]' 100; then
        differs "no /dev/ttyUSB0: ftdi_sio did not take qemu's FTDI model"
        return
    fi
    # The driver's 16 ms default, set here so that a 1 afterwards can only be renumber's doing.
    echo 16 >"$LATENCY_TIMER"
    before=$(cat "$LATENCY_TIMER")
    doctor_before /dev/ttyUSB0
    run_renumber 20 /dev/ttyUSB0 0 1
    save_outcome /dev/ttyUSB0
    expect_run "[Error] Set serial failure." 255 \
        "sp_set_baudrate: the driver reports 9600 baud, not 4000000"
    expect "the latency timer before renumber (ms)" 16 "$before"
    expect "the latency timer after renumber's low-latency request (ms)" 1 "$(cat "$LATENCY_TIMER")"
}
kernel_case ftdi/rate-substituted ftdi_rate_substituted

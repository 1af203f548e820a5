# shellcheck shell=dash
# The 8250 driver on qemu's second 16550A (/dev/ttyS1, uartclk 1,843,200 Hz: at most 115,200
# baud): it falls back to the line's earlier rate for 4,000,000 and says so in the terminal
# settings. The host checks that nothing reached the line.

uart_rate_substituted() {
    expect "ttyS1's clock (Hz)" 1843200 "$(cat /sys/class/tty/ttyS1/uartclk)"
    doctor_before /dev/ttyS1
    run_renumber 20 /dev/ttyS1 0 1
    save_outcome /dev/ttyS1
    expect_run "[Error] Set serial failure." 255 \
        "sp_set_baudrate: the driver reports 9600 baud, not 4000000"
}
kernel_case uart/rate-substituted uart_rate_substituted

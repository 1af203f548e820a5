# shellcheck shell=dash
# The adapter chips people buy, each played by usb-chip on dummy_hcd under its own Linux driver
# (ch341, cdc_acm, cp210x, ftdi_sio, pl2303), with motor 0 served behind it. Three witnesses per
# chip are held to one row of /kernel/chips.tsv: the rate the driver programmed into the chip,
# renumber's output and status, and renumber-doctor's chip verdict.

readonly CHIPS_TABLE=/kernel/chips.tsv
readonly CHIP_LINE=/run/chip-line
readonly TAB='	'

# The node the kernel made for the gadget: the tty that lives under dummy_hcd's bus.
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

stop_chip() {
    kill -TERM "$CHIP_PID" 2>/dev/null
    wait "$CHIP_PID"
    wait_until '! chip_node >/dev/null' 100 || differs "the chip's node stayed after unplugging it"
}

# One chip: the row of the table named $1.
chip_case() {
    local chip ids driver rate status message doctor doctor_status node verdict line
    IFS="$TAB" read -r chip ids driver rate status message doctor doctor_status <<EOF
$(grep "^$1$TAB" "$CHIPS_TABLE")
EOF
    # One UDC: the ACM cases' gadget comes off it first.
    [ ! -d "$GADGET" ] || gadget_unplug
    usb-chip "$chip" "$CHIP_LINE" >/tmp/chip.log 2>&1 &
    CHIP_PID=$!
    # shellcheck disable=SC2016 # wait_until evaluates the string
    if ! wait_until 'chip_node >/dev/null || ! kill -0 $CHIP_PID 2>/dev/null' 300 ||
        ! node=$(chip_node); then
        differs "no tty for the $chip gadget:" "$(cat /tmp/chip.log)" "$(dmesg | tail -n 8)"
        stop_chip
        return
    fi
    expect "the driver bound to it" "$driver" \
        "$(basename "$(readlink -f "/sys/class/tty/${node#/dev/}/device/driver")")"
    MOTOR_LINE=$CHIP_LINE serve_motor --motor 0 || {
        stop_chip
        return
    }
    doctor_before "$node"
    run_renumber 20 "$node" 0 1
    stop_motor
    stop_chip
    note "$node, wall $RUN_WALL s"

    expect "the rate the driver programmed into the chip" "$rate" \
        "$(sed -n 's/.* rate=\([0-9]*\)$/\1/p' /tmp/chip.log | tail -n 1)"
    expect "renumber's last line" "$(echo "$message" | sed 's/<id>/0/; s/<target>/1/')" \
        "$(tail -n 1 /tmp/renumber.out)"
    expect "renumber's status" "$status" "$RUN_STATUS"
    # A refused rate stops renumber before its first frame: nothing reaches the chip's bulk OUT.
    if [ "$message" = "[Error] Set serial failure." ]; then
        expect "bytes the chip was given" "" "$(grep ' out bytes=' /tmp/chip.log)"
    fi
    expect "the motor's identifier at the end" "$([ "$status" = 0 ] && echo 1 || echo 0)" \
        "$(motor_end 0)"

    line=$(grep '^[A-Z]* *chip ' "/tmp/doctor-${node##*/}.out")
    verdict=${line%% *}
    expect "renumber-doctor's chip verdict" "$doctor" "$verdict"
    expect "renumber-doctor's status" "$doctor_status" "$(cat "/tmp/doctor-${node##*/}.status")"
    case $line in
    *"($ids, driver $driver)"*) ;;
    *) differs "renumber-doctor does not name the chip's ids and driver ($ids, $driver): $line" ;;
    esac
    if [ "$doctor" = FAIL ]; then
        case $line in
        *"\"$message\""*) ;;
        *) differs "renumber-doctor does not quote \"$message\": $line" ;;
        esac
    fi
}

# Each row is a case of its own, chips/NAME.
for chip in $(sed -n "/^#/d; s/$TAB.*//p" "$CHIPS_TABLE" | tail -n +2); do
    eval "chip_$chip() { chip_case $chip; }"
    kernel_case "chips/$chip" "chip_$chip"
done

// What renumber prints and the line it asks for, in one place: renumber prints these texts, and
// renumber-doctor quotes them when it says what renumber would do on this machine.
#pragma once

/// The motor bus: 4,000,000 baud, 8N1, no flow control.
inline constexpr int SERIAL_BAUDRATE = 4000000;

/// How far the rate a driver reports may stray from SERIAL_BAUDRATE before the line counts as
/// refused. A receiver resynchronises on each start bit and samples mid-bit, so the two ends of an
/// 8N1 frame may drift apart by under half a bit over the 9.5 bits to the stop bit's sample, about
/// 5 %; 2 % for the adapter leaves the rest to the motor's clock and the sampling jitter.
inline constexpr int SERIAL_RATE_TOLERANCE_PERMILLE = 20;

/// Whether a line running at rate carries the motor's frames.
constexpr bool serial_rate_carries_bus(long long rate)
{
    const long long deviation =
        rate > SERIAL_BAUDRATE ? rate - SERIAL_BAUDRATE : SERIAL_BAUDRATE - rate;
    return deviation * 1000 <=
           static_cast<long long>(SERIAL_BAUDRATE) * SERIAL_RATE_TOLERANCE_PERMILLE;
}

/// How long a frame may take to leave the adapter before its write counts as failed. A 17-byte
/// frame needs 42.5 us on the wire; USB adds a few 1 ms frames and a driver that polls the chip's
/// transmitter (ftdi_sio) a few more. 200 ms covers a loaded machine many times over and stays well
/// under the 500 ms a control answer is given, so a hung adapter fails the write instead of the
/// run hanging.
inline constexpr int SERIAL_DRAIN_LIMIT_MS = 200;

/// Only a device path typed with this prefix gets the low-latency request.
inline constexpr char USB_ADAPTER_PREFIX[] = "/dev/ttyUSB";

// The link's messages when the open fails; each ends the process with status 255.
inline constexpr char MSG_NO_DEVICE[] = "[Error] Device name does not exist.";
inline constexpr char MSG_OPEN_FAILED[] =
    "[Error] Failed to open serial port, try opening with administrator privileges.";
inline constexpr char MSG_BAUD_REFUSED[] = "[Error] Set serial failure.";

/// The procedure's message when no answer came, with the present and the target identifier.
inline constexpr char MSG_TIMEOUT_FORMAT[] =
    "[ERROR] Modify id %d to %d failure, No motor be found(timeout).\n";

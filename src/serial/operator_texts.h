// What renumber prints and the line it asks for, in one place: renumber prints these texts, and
// renumber-doctor quotes them when it says what renumber would do on this machine.
#pragma once

/// The motor bus: 4,000,000 baud, 8N1, no flow control.
inline constexpr int SERIAL_BAUDRATE = 4000000;

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

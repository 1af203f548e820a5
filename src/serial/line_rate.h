// The rate a driver reports for a line, read with termios2. Its own translation unit: the
// kernel's termios2 header and the C library's <termios.h> cannot meet in one.
#pragma once

/// The output rate the driver reports for the terminal fd, in baud, or -1 when the settings
/// cannot be read.
long serial_reported_rate(int fd);

// The line settings COMMAND left on the device, read from the pseudo-terminal's
// master side (which reports the slave's settings), for the human trace.
#pragma once

#include <string>

namespace sim {

// A terminal's settings as the tap reports them (termios2 fields).
struct LineFlags {
    unsigned speed = 0; // output rate in baud
    unsigned cflag = 0;
    unsigned iflag = 0;
    unsigned oflag = 0;
    unsigned lflag = 0;
};

// E.g. "4000000 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw,
// NOFLSH clear".
std::string line_settings_text(const LineFlags &flags);

// E.g. "4000000 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw,
// NOFLSH clear"; empty if they cannot be read.
std::string line_settings_describe(int master);

} // namespace sim

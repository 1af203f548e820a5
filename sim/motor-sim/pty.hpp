// The pseudo-terminal standing in for the adapter: COMMAND gets the slave, the
// motors sit on the master.
#pragma once

#include <string>

namespace sim {

struct Pty {
    int master = -1; // non-blocking, close-on-exec
    int slave = -1;  // held by motor-sim so the master never sees a hang-up
                     // before COMMAND opens the slave, nor after it closes it
    std::string slave_path;
};

// On failure, error names the failing call.
bool pty_create(Pty &pty, std::string &error);

// --serve: the motors sit on a real line (a tty, a FIFO, a socket node) instead of a
// pseudo-terminal's master; a terminal is made raw, its rate left as it is. Only master is
// set, to the line.
bool pty_serve(Pty &pty, const std::string &path, std::string &error);

// The device vanishes: closing the master hangs up every open slave descriptor and
// removes the slave's node.
void pty_hang_up(Pty &pty);

} // namespace sim

// One run: the bus between COMMAND and the motors, from COMMAND's start until it has
// exited and the bus is drained.
#pragma once

#include "options.hpp"
#include "output.hpp"
#include "pty.hpp"
#include "replay.hpp"
#include "signals.hpp"
#include "sysfs.hpp"
#include "trace.hpp"

#include <cstdint>
#include <sys/types.h>

namespace sim {

struct SessionSetup {
    Options &options; // the motors change as commands arrive
    Trace &trace;
    Pty &pty;
    const Signals &signals;
    int event_fd; // motor-sim's end of the layer's event socket
    int pidfd;    // COMMAND's process descriptor
    pid_t child;
    std::int64_t start_ns; // when COMMAND was started
    Replay *replay;        // plays the motor side instead of the motors, or null
    bool serving = false;  // --serve: no COMMAND; the run ends on a signal or the line's end
    const Recording *recording = nullptr; // what replay was made from, for the verdict
    CommandOutput *output = nullptr;      // a replay's: COMMAND's standard output, for the verdict
    const Sysfs *sysfs = nullptr;         // the device's sysfs, whose latency timer follows
};

// Plays the motors until COMMAND exits, drains the bus, writes the trace's closing
// lines and returns the exit status motor-sim must end with: COMMAND's, or with a replay
// the verdict's (0 when the run matched its recording, EXIT_REPLAY_DEPARTED otherwise).
// Serving a line, plays them until a signal arrives or the line hangs up, and returns 0.
int session_run(const SessionSetup &setup);

} // namespace sim

// motor-sim's signals while COMMAND runs. SIGINT, SIGQUIT, SIGTERM and SIGHUP are
// taken through a signalfd: sent by a process (kill), they are passed on to COMMAND;
// raised by the terminal, COMMAND got them itself as a member of the same process
// group. Either way motor-sim lives on to finish the trace. SIGPIPE is ignored so
// that a closed trace pipe does not kill motor-sim.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>

namespace sim {

struct Signals {
    int fd = -1;
    sigset_t child_mask;     // the mask motor-sim started with, for COMMAND
    sigset_t child_defaults; // signals COMMAND must get back at their default action
};

// On failure, error names the failing call.
bool signals_capture(Signals &signals, std::string &error);

// Reads what arrived on signals.fd and passes on what a process sent; the last signal that
// arrived, 0 if none.
int signals_forward(const Signals &signals, pid_t child);

// Reads what arrived on signals.fd; true if anything did.
bool signals_take(const Signals &signals);

} // namespace sim

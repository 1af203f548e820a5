// Starting COMMAND with the adapter layer preloaded.
#pragma once

#include "options.hpp"
#include "signals.hpp"

#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

// libmotor-sim-adapter.so next to motor-sim's own executable, else in
// ../lib/renumber/ relative to it.
bool adapter_locate(std::string &path, std::string &error);

// motor-sim's environment with the layer prepended to LD_PRELOAD and the layer's
// variables set.
std::vector<std::string> child_environment(const std::string &adapter_path, const Options &options,
                                           const std::string &pty_path, int event_fd);

// Starts COMMAND, searching PATH like execvp. On failure, error names the call.
bool child_start(const std::vector<std::string> &command,
                 const std::vector<std::string> &environment, const Signals &signals, pid_t &pid,
                 std::string &error);

// Exit status as a shell reports it: the code, or 128 + the signal that ended it.
int exit_status_of(int wait_status);

} // namespace sim

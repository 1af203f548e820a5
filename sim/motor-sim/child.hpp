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
// configuration set.
std::vector<std::string> child_environment(const std::string &adapter_path, const Options &options,
                                           const std::string &pty_path,
                                           const std::string &sysfs_folder, int event_fd);

// motor-sim's environment with the layer prepended to LD_PRELOAD and the tap's
// variable set (the simulation's, if any, is kept: a motor-sim may run under the tap).
std::vector<std::string> tap_environment(const std::string &adapter_path, const std::string &device,
                                         int tap_fd);

// A socket pair for the layer's reports: motor-sim keeps ends[0], COMMAND inherits ends[1].
bool child_event_socket(int ends[2]);

// COMMAND's process descriptor; on failure COMMAND is killed and reaped, and error names
// the call.
int child_pidfd(pid_t child, std::string &error);

// Reaps COMMAND if it has exited: true with its status as a shell reports it, and the signal
// that ended it (0 if none).
bool child_reap(pid_t child, int &status, int &signal);

// Starts COMMAND, searching PATH like execvp, with output_fd as its standard output (-1:
// motor-sim's own). On failure, error names the call.
bool child_start(const std::vector<std::string> &command,
                 const std::vector<std::string> &environment, const Signals &signals, int output_fd,
                 pid_t &pid, std::string &error);

// Exit status as a shell reports it: the code, or 128 + the signal that ended it.
int exit_status_of(int wait_status);

} // namespace sim

// --tap: COMMAND runs against the real device with the layer reporting every byte
// written and read there, with times; motor-sim traces them as it traces the simulated
// bus, and with --record also writes a recording.
#pragma once

#include "options.hpp"
#include "trace.hpp"

#include <string>

namespace sim {

// The device the tap watches: --device, else the first argument of COMMAND that starts
// with /dev/, else /dev/ttyUSB0.
std::string tap_device(const Options &options);

// Runs COMMAND under the tap until it exits; returns the status motor-sim must end with.
int tap_run(const Options &options, Trace &trace, const std::string &adapter_path);

} // namespace sim

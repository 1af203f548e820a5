// motor-sim's command line.
#pragma once

#include "motor.hpp"

#include "../protocol.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class TraceForm { human, lines };

// Bytes the bus sends to COMMAND on its own, some time after a given frame (--send-after).
struct Injection {
    std::uint64_t after_frame = 1; // control frames and short commands counted from 1
    std::uint32_t delay_ms = 0;
    Bytes bytes;
};

// The USB device behind a simulated ttyUSB or ttyACM, as sysfs shows it (--usb-ids).
struct UsbIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0; // bcdDevice
};

struct Options {
    std::string device = "/dev/ttyUSB0";
    std::string driver;                   // --driver; empty: the usual one for the device's name
    std::optional<UsbIdentity> usb_ids;   // --usb-ids; none: the usual part for the name
    std::vector<Motor> motors;            // filled with the default motor when none is given
    std::vector<std::string> motor_texts; // the --motor values, for the trace header
    bool no_motor = false;
    sim_faults adapter{}; // the adapter faults the layer plays (protocol.h)
    bool echo = false;
    std::optional<std::uint64_t> hangup_after;
    // With a delay, the Nth frame reaches the motors and the device vanishes this long after it
    // arrived: an adapter unplugged while the command waits for an answer.
    std::optional<std::uint32_t> hangup_delay_ms;
    std::optional<std::uint64_t> hangup_after_read; // bytes the command has read, at least 1
    std::optional<Injection> send_after;
    bool device_given = false; // --device was given (a replay otherwise takes the recorded one)
    bool tap = false;          // trace the real device instead of simulating one
    std::string record_file;   // --record: the tap also writes a recording here
    std::string replay_file;   // --replay: the motor side plays this recording
    std::string serve_path;    // --serve: the motors answer on this real line, no COMMAND
    TraceForm trace = TraceForm::human;
    std::string trace_file; // empty: standard error
    std::vector<std::string> command;
};

enum class ParseOutcome { run, help, error };

// On error, message says what is wrong (without the program name).
ParseOutcome options_parse(int argc, char **argv, Options &options, std::string &message);

// Parses the value of --send-after: N:MS:HEX.
bool injection_parse(const std::string &value, Injection &injection);

// Parses the value of --motor: ID or ID:FAULT[,FAULT...].
bool motor_option_parse(const std::string &value, Motor &motor, std::string &message);

// The layer's configuration (MOTOR_SIM) for simulating options.device on pty_path, its sysfs in
// sysfs_folder, its events on event_fd (-1: none).
std::string adapter_config(const Options &options, const std::string &pty_path,
                           const std::string &sysfs_folder, int event_fd);

// The adapter faults, a replay included, as that configuration writes them: "" for none.
std::string adapter_faults(const Options &options);

// The tap's configuration (MOTOR_SIM_TAP): device's traffic reported on report_fd.
std::string tap_config(const std::string &device, int report_fd);

// --help text.
const char *usage_text();

} // namespace sim

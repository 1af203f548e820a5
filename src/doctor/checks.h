// The checks of one device against what renumber needs from it: a node libserialport can look
// up that is a serial port and no terminal, read and write access, no console, getty, service or
// process in the way, a chip that really runs 4,000,000 baud, and the FTDI latency timer. Each
// gives a verdict, the reason and what to do.
#pragma once

#include "doctor/inventory.h"
#include "doctor/sysroot.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

// The values are the exit statuses a diagnosis ends with.
enum class CheckVerdict { ok = 0, warn = 1, fail = 2 };

struct CheckResult {
    CheckVerdict verdict = CheckVerdict::ok;
    std::string topic; // "device", "access", ...
    std::string reason;
    std::string fix; // empty when there is nothing to do
};

/// What several checks share about the device and the machine, read before the checks run;
/// a check that needs more (access, the services) reads it from the root itself.
struct DeviceFacts {
    std::string typed;                    // the path exactly as given, as renumber would get it
    Resolution resolution;                // every link followed
    struct stat info {};                  // of the resolved path, when it exists
    bool library_finds_it = false;        // libserialport can look the resolved name up
    std::optional<SerialAdapter> adapter; // the kernel's tty behind the resolved name
    std::vector<SerialAdapter> present;   // every adapter plugged in, for hints
    std::vector<ChipWithoutTty> chips_without_tty;
    std::vector<ProcessInfo> processes;
    std::error_code ports_error;        // /sys/class/tty could not be read whole
    std::error_code processes_error;    // /proc could not be read whole
    std::string serial_library_version; // libserialport0's Version in the package database
};

DeviceFacts gather_facts(const SystemRoot& root, const std::string& typed);

CheckResult check_device_node(const DeviceFacts& facts);
/// invoking: the user who ran sudo, when running as root through it.
CheckResult check_access(const SystemRoot& root, const Identity& identity,
                         const std::optional<Identity>& invoking, const DeviceFacts& facts);
CheckResult check_console(const SystemRoot& root, const DeviceFacts& facts);
CheckResult check_brltty(const SystemRoot& root, const DeviceFacts& facts);
CheckResult check_modem_manager(const SystemRoot& root, const DeviceFacts& facts);
CheckResult check_holders(const SystemRoot& root, const DeviceFacts& facts);
CheckResult check_chip(const DeviceFacts& facts);
CheckResult check_latency(const SystemRoot& root, const DeviceFacts& facts);

struct Diagnosis {
    std::vector<CheckResult> results;
    std::vector<std::string> skipped; // topics that need a device the first check did not find
};

Diagnosis diagnose(const SystemRoot& root, const Identity& identity,
                   const std::optional<Identity>& invoking, const std::string& typed);

/// Programs that only hold a port for their own line: ModemManager and the gettys.
bool has_own_line(const std::string& command);

/// The Version of libserialport0 in /var/lib/dpkg/status, or "" when it is not installed.
std::string installed_serial_library(const SystemRoot& root);
/// True from libserialport 0.1.2 on, whose sp_open takes flock(LOCK_EX | LOCK_NB).
bool serial_library_locks(const std::string& version);

/// The rule-file line with every condition on it, and whether all can hold for a USB device.
bool udev_rule_matches(const SystemRoot& root, const std::string& line,
                       const std::string& usb_device, const UsbIds& ids);

/// 0 when every check is OK, 1 with warnings only, 2 with at least one FAIL.
int exit_status(const std::vector<CheckResult>& results);

/// One line per check: "FAIL  access       reason. Fix: what to do."
std::string format_result(const CheckResult& result);

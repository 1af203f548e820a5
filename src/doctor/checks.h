// The checks of one device against what renumber needs from it: a node libserialport can look
// up that is a serial port and no terminal, read and write access, no console, getty, service or
// process in the way, a chip that really runs 4,000,000 baud, and the FTDI latency timer.
// gather_facts reads the machine once into the plain records below; every check is a function
// of those records alone, so a verdict never depends on when a file was read.
#pragma once

#include "adapter/sysroot.h"
#include "doctor/inventory.h"

#include <sys/stat.h>

#include <map>
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

    bool operator==(const CheckResult&) const = default;
};

/// One entry of the node's access control list (its mode, written as one, when it has none).
struct AclRule {
    enum Tag { user_obj, user, group_obj, group, mask, other } tag = other;
    bool read_write = false;
    unsigned id = 0; // uid or gid of named entries
};

/// Someone renumber may run as: the ids of the session, its login name, and the groups a new
/// login would get (unknown users have neither).
struct Person {
    Identity identity;
    std::string name; // "uid 1234" when the user database does not list it
    std::optional<std::vector<gid_t>> login_groups;
    std::optional<bool> kernel_allows; // the kernel's own answer, for this process's own ids
};

struct AccessFacts {
    std::vector<AclRule> acl;
    std::string owner;                        // the node's owner, by name
    std::map<gid_t, std::string> group_names; // the node's group and every group the ACL names
    Person user;
    std::optional<Person> invoking; // the user who ran sudo, when running as root through it
};

struct ConsoleFacts {
    std::vector<std::pair<std::string, std::string>> command_line; // "console=serial0,115200", tty
    std::vector<std::string> active;                               // /sys/class/tty/console/active
    std::string boot_file; // the boot loader's command-line file, "" for GRUB's
};

struct UdevRule {
    std::string file;
    std::string line;
};

/// A USB device and every device above it, with the attributes udev rules may ask for; the
/// device first. The rules' ATTRS keys hold when one of these matches them all.
struct UsbChain {
    std::string device; // its folder under /sys/devices
    UsbIds ids;
    std::vector<std::map<std::string, std::string>> attributes;
};

struct BrlttyFacts {
    bool running = false;
    bool any_rule_file = false;
    std::vector<UdevRule> rules;      // lines that name USB devices
    std::vector<std::string> units;   // brltty units installed and not masked
    std::vector<UsbChain> candidates; // this adapter, or the chips left without a tty
    std::string version;              // brltty's Version in the package database
};

struct ModemManagerFacts {
    std::optional<ProcessInfo> process;
    std::optional<std::vector<std::string>> command_line; // nothing when it could not be read
    std::vector<std::string> port_properties;             // the port's udev record
    std::vector<std::string> device_properties;           // its USB device's udev record
    std::string physdev_subsystem;                        // "usb", "platform", "pnp", "pci"
    int interface_class = -1, interface_subclass = -1, interface_protocol = -1;
    int device_ports = 0; // ttys and network interfaces of the USB device
    bool net_port = false;
};

struct LatencyFacts {
    std::string value; // the latency_timer file's first line
    std::string error; // why it could not be read
};

struct DeviceFacts {
    std::string typed;                    // the path exactly as given, as renumber would get it
    Resolution resolution;                // every link followed
    struct stat info {};                  // of the resolved path, when it exists
    std::string terminal;                 // what kind of terminal it is, "" for none
    bool library_finds_it = false;        // libserialport can look the resolved name up
    std::optional<SerialAdapter> adapter; // the kernel's tty behind the resolved name
    std::vector<SerialAdapter> present;   // every adapter plugged in, for hints
    std::vector<ChipWithoutTty> chips_without_tty;
    std::vector<ProcessInfo> processes;
    std::error_code ports_error;        // /sys/class/tty could not be read whole
    std::error_code processes_error;    // /proc could not be read whole
    bool processes_cut_short = false;   // the scan of /proc stopped at its time limit
    std::string serial_library_version; // libserialport0's Version in the package database
    std::vector<int> lock_holders;      // pids with an flock on the node (/proc/locks)
    AccessFacts access;
    ConsoleFacts console;
    BrlttyFacts brltty;
    ModemManagerFacts modem;
    LatencyFacts latency;
};

/// Reads everything the checks need. invoking: the user who ran sudo.
DeviceFacts gather_facts(const Machine& machine, const Identity& identity,
                         const std::optional<Identity>& invoking, const std::string& typed);
/// The same without the node's access: what bears on a line that is already open. The scan of the
/// processes stops at scan_until, however many are left.
DeviceFacts gather_line_facts(const Machine& machine, const std::string& typed,
                              std::chrono::steady_clock::time_point scan_until =
                                  std::chrono::steady_clock::time_point::max());

CheckResult check_device_node(const DeviceFacts& facts);
CheckResult check_access(const DeviceFacts& facts);
CheckResult check_console(const DeviceFacts& facts);
CheckResult check_brltty(const DeviceFacts& facts);
CheckResult check_modem_manager(const DeviceFacts& facts);
CheckResult check_holders(const DeviceFacts& facts);
CheckResult check_chip(const SerialAdapter& adapter);
CheckResult check_latency(const DeviceFacts& facts);

struct Diagnosis {
    std::vector<CheckResult> results;
    std::vector<std::string> skipped; // topics that need a device the first check did not find
};

Diagnosis diagnose(const DeviceFacts& facts);

/// What can explain a run that failed once the port was open: each check about the line (a
/// console or getty, brltty, ModemManager, other programs holding the port, the chip's rate, the
/// latency timer) that is not OK. The node and access checks are left out: the open succeeded.
std::vector<CheckResult> explain_failed_run(const DeviceFacts& facts);

/// Programs that only hold a port for their own line: ModemManager and the gettys.
bool has_own_line(const std::string& command);

/// The Version of an installed package in /var/lib/dpkg/status, or "".
std::string installed_version(const SystemRoot& root, const std::string& package);
/// True from libserialport 0.1.2 on, whose sp_open takes flock(LOCK_EX | LOCK_NB).
bool serial_library_locks(const std::string& version);
/// The numbers of a Debian version's upstream part: "1:6.5-7" -> {6, 5}.
std::vector<int> version_numbers(const std::string& version);

/// Whether every condition of a udev rule line can hold for the USB device of chain.
bool udev_rule_matches(const std::string& line, const UsbChain& chain);
/// The attribute names a rule line's ATTR and ATTRS keys ask for.
std::vector<std::string> rule_attributes(const std::string& line);

/// 0 when every check is OK, 1 with warnings only, 2 with at least one FAIL.
int exit_status(const std::vector<CheckResult>& results);

/// One line per check: "FAIL  access       reason. Fix: what to do."
std::string format_result(const CheckResult& result);

// What the machine holds, read from the kernel's own files: serial adapters and their USB
// chips (/sys), stable names (/dev/serial/by-id), processes and their open files (/proc), the
// udev database (/run/udev/data) and the group and user files (/etc).
#pragma once

#include "adapter/chips.h"
#include "adapter/port.h"
#include "adapter/sysroot.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

/// A USB device whose ids are in the chip table but that has no tty: its interface was taken
/// away from the serial driver (brltty does this through usbfs) or the driver is missing.
struct ChipWithoutTty {
    std::string usb_name; // "1-1"
    UsbIds ids;
    const ChipRow* chip = nullptr;
    std::string product;
    std::string interface_driver; // "usbfs" when a program claimed it; empty when unbound
    std::string device_path;      // its folder under /sys/devices
};

/// The kernel's tty name ("ttyUSB0") with its stable names, or nothing if /sys/class/tty does not
/// list it.
std::optional<SerialAdapter> describe_tty(const SystemRoot& root, const std::string& name);

/// Every serial port a motor bus could hang on, in natural order (ttyUSB2 before ttyUSB10):
/// ttyUSB*, ttyACM*, the native UARTs (ttyS* without the placeholders of type 0, ttyAMA*,
/// ttySC*) and the nodes of WCH's own drivers (ttyCH343USB*, ttyCH9344USB*).
/// error: /sys/class/tty could not be read whole.
std::vector<SerialAdapter> find_adapters(const SystemRoot& root, std::error_code& error);

std::vector<ChipWithoutTty> find_chips_without_tty(const SystemRoot& root,
                                                   const std::vector<SerialAdapter>& adapters);

struct ProcessInfo {
    int pid = 0;
    std::string command;                 // /proc/<pid>/comm
    std::vector<std::string> open_files; // targets of /proc/<pid>/fd/* that lie under /dev
    bool files_readable = true;          // false when /proc/<pid>/fd could not be listed
};

/// Processes that end while the scan runs are left out, and so is self (the program's own pid,
/// whose descriptors would only be noise). error: /proc could not be read whole. A scan still
/// going at until stops there, and cut_short says so.
std::vector<ProcessInfo> scan_processes(
    const SystemRoot& root, pid_t self, std::error_code& error, bool& cut_short,
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

bool is_running(const std::vector<ProcessInfo>& processes, const std::string& command);

/// The E: properties of a device in the udev database, keyed by "c<major>:<minor>".
std::vector<std::string> udev_properties(const SystemRoot& root, const std::string& dev_numbers);
/// The same for a USB device, whose udev record is keyed by its usb_device node (189:n).
std::vector<std::string> usb_udev_properties(const SystemRoot& root, const std::string& usb_device);

struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups of the login session
    bool own = false; // this process's own ids, so the kernel itself can be asked (faccessat)
};

/// The effective user and groups of this process, which a later renumber run would share.
Identity identity_of_this_process();

/// "UID:GID[:G1,G2,...]", for tests that play another user; nothing when malformed.
std::optional<Identity> parse_identity(const std::string& text);

/// A user database entry: the login name and primary group.
struct PasswdEntry {
    std::string name;
    gid_t gid = 0;
};

/// The machine the doctor examines: its files under root, and what only a running system answers
/// (the user and group databases through NSS, libserialport's lookup of a port, the kernel's own
/// access check). renumber-doctor examines the live machine; its tests hand it a fake tree that
/// answers these from its own files.
struct Machine {
    SystemRoot root;
    std::optional<PasswdEntry> (*find_user)(const Machine& machine, uid_t uid);
    /// The groups a new login of this user would get.
    std::vector<gid_t> (*login_groups)(const Machine& machine, const std::string& user,
                                       gid_t primary);
    std::optional<std::string> (*group_name)(const Machine& machine, gid_t gid);
    /// Whether libserialport looks the port up by this resolved name.
    bool (*library_finds)(const Machine& machine, const std::string& resolved);
    /// Whether this process may read and write node, as the kernel judges (capabilities, ACLs,
    /// security modules); nothing where it cannot be asked.
    std::optional<bool> (*kernel_allows)(const Machine& machine, const std::string& node);
    pid_t self; ///< the doctor's own process, left out of the scan of /proc
};

/// This machine, as a real run of renumber-doctor sees it.
Machine live_machine();

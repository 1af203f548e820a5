#include "doctor/checks.h"

#include "serial/operator_texts.h"

#include "doctor/chips.h"

#include <fcntl.h>
#include <libserialport.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

constexpr auto MOTOR_BUS_BAUD = static_cast<std::uint32_t>(SERIAL_BAUDRATE);
constexpr const char* LOW_LATENCY_PREFIX = USB_ADAPTER_PREFIX;
constexpr char FTDI_DRIVER[] = "ftdi_sio";
constexpr char STABLE_NAMES[] = "/dev/serial/by-id/";

std::string would_stop_with(const char* message)
{
    return std::string("renumber would stop with \"") + message + "\"";
}

// The timeout message as renumber prints it, with its identifiers named instead of filled in.
std::string quoted_timeout()
{
    std::string text(MSG_TIMEOUT_FORMAT);
    for (const char* name : {"<id>", "<target>"}) {
        text.replace(text.find("%d"), 2, name);
    }
    text.pop_back(); // the newline
    return text;
}

std::string timeout_outcome()
{
    return "renumber sends at the wrong rate, hears no motor and after about 5 s stops with \"" +
           quoted_timeout() + "\" (status 255), blaming the motor";
}
constexpr char FAST_CHIPS[] = "FTDI FT232H, FT2232H or FT4232H, WCH CH343 or CH9102";
constexpr char PACKAGE_DATABASE[] = "/var/lib/dpkg/status";

std::string join(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

std::string orphan_hint(const ChipWithoutTty& chip)
{
    const std::string what = "USB device " + chip.usb_name + " is a " +
                             chip_label(chip.chip, chip.ids, "") + " without a tty";
    if (chip.interface_driver.empty()) {
        return what + ": no driver holds it; load it with " + load_module_command(*chip.chip);
    }
    return what + ": its interface is held by " + chip.interface_driver +
           (chip.interface_driver == "usbfs" ? " (a program such as brltty took it)" : "") +
           "; see the brltty line";
}

std::string adapter_hint(const DeviceFacts& facts)
{
    if (facts.ports_error) {
        return "cannot list the serial ports: reading /sys/class/tty: " +
               facts.ports_error.message();
    }
    if (!facts.present.empty()) {
        std::vector<std::string> names;
        for (const SerialAdapter& adapter : facts.present) {
            names.push_back(adapter.stable_names.empty()
                                ? adapter.node
                                : adapter.node + " (" + join(adapter.stable_names, ", ") + ")");
        }
        return "name one of the serial ports present: " + join(names, "; ");
    }
    if (!facts.chips_without_tty.empty()) {
        return "no adapter has a tty, but " + orphan_hint(facts.chips_without_tty.front());
    }
    return "no serial adapter is plugged in: plug it in and run again (sudo dmesg shows whether "
           "the kernel saw it)";
}

std::string file_kind(mode_t mode)
{
    if (S_ISREG(mode)) {
        return "a regular file";
    }
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    return S_ISFIFO(mode) ? "a FIFO" : "a socket";
}

std::string shown_path(const DeviceFacts& facts)
{
    if (facts.resolution.hops.empty()) {
        return facts.typed;
    }
    return facts.typed + " leads to " + facts.resolution.path + " (" +
           join(facts.resolution.hops, ", ") + ")";
}

// What a terminal that is no serial port is, or "" for anything else. /dev/tty, /dev/console
// and /dev/ptmx are major 5, pseudo-terminals 136 to 143, virtual consoles major 4 below 64.
std::string terminal_kind(const DeviceFacts& facts)
{
    const std::string& path = facts.resolution.path;
    const bool device = S_ISCHR(facts.info.st_mode);
    const unsigned major_number = device ? major(facts.info.st_rdev) : 0;
    const unsigned minor_number = device ? minor(facts.info.st_rdev) : 0;
    if (path == "/dev/tty" || (major_number == 5 && minor_number == 0)) {
        return "the controlling terminal of whichever process opens it";
    }
    if (path == "/dev/console" || (major_number == 5 && minor_number == 1)) {
        return "the system console";
    }
    if (path == "/dev/ptmx" || (major_number == 5 && minor_number == 2)) {
        return "the pseudo-terminal multiplexer";
    }
    if (path.starts_with("/dev/pts/") || (major_number >= 136 && major_number <= 143)) {
        return "a pseudo-terminal";
    }
    const std::string name = base_name(path);
    const bool numbered = name.size() > 3 && name.starts_with("tty") &&
                          name.find_first_not_of("0123456789", 3) == std::string::npos;
    if (numbered || (major_number == 4 && minor_number < 64)) {
        return "a virtual console";
    }
    return "";
}

std::string permission_text(mode_t mode)
{
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
    constexpr std::array<std::pair<mode_t, char>, 9> BITS{{{S_IRUSR, 'r'},
                                                           {S_IWUSR, 'w'},
                                                           {S_IXUSR, 'x'},
                                                           {S_IRGRP, 'r'},
                                                           {S_IWGRP, 'w'},
                                                           {S_IXGRP, 'x'},
                                                           {S_IROTH, 'r'},
                                                           {S_IWOTH, 'w'},
                                                           {S_IXOTH, 'x'}}};
    for (const auto& [bit, letter] : BITS) {
        text += (mode & bit) != 0 ? letter : '-';
    }
    return text;
}

// ---- access as the kernel decides it, access control lists included ----

// The tags and bits of the kernel's system.posix_acl_access attribute.
constexpr std::uint16_t ACL_USER_OBJ = 0x01;
constexpr std::uint16_t ACL_USER = 0x02;
constexpr std::uint16_t ACL_GROUP_OBJ = 0x04;
constexpr std::uint16_t ACL_GROUP = 0x08;
constexpr std::uint16_t ACL_MASK = 0x10;
constexpr std::uint16_t ACL_OTHER = 0x20;
constexpr std::uint16_t READ_WRITE = 0x06;
constexpr std::uint32_t ACL_VERSION = 2;

struct AclEntry {
    std::uint16_t tag = 0;
    std::uint16_t perm = 0;
    std::uint32_t id = 0;
};

// The node's ACL, or its mode written as one when it has none.
std::vector<AclEntry> access_list(const SystemRoot& root, const std::string& node,
                                  const struct stat& info)
{
    std::array<unsigned char, 1024> buffer{};
    const ssize_t size = ::getxattr(host_path(root, node).c_str(), "system.posix_acl_access",
                                    buffer.data(), buffer.size());
    std::uint32_t version = 0;
    if (size >= 4) {
        std::memcpy(&version, buffer.data(), sizeof version);
    }
    if (size > 4 && version == ACL_VERSION && (size - 4) % 8 == 0) {
        std::vector<AclEntry> entries;
        for (ssize_t at = 4; at < size; at += 8) {
            AclEntry entry;
            std::memcpy(&entry.tag, &buffer[static_cast<std::size_t>(at)], 2);
            std::memcpy(&entry.perm, &buffer[static_cast<std::size_t>(at) + 2], 2);
            std::memcpy(&entry.id, &buffer[static_cast<std::size_t>(at) + 4], 4);
            entries.push_back(entry);
        }
        return entries;
    }
    const auto bits = [&](unsigned shift) {
        return static_cast<std::uint16_t>((info.st_mode >> shift) & 7U);
    };
    return {{ACL_USER_OBJ, bits(6), 0}, {ACL_GROUP_OBJ, bits(3), 0}, {ACL_OTHER, bits(0), 0}};
}

struct Grant {
    bool allowed = false;
    std::string how; // "as the owner", "as a member of dialout", "through an ACL entry for alice"
};

bool grants_read_write(std::uint16_t perm)
{
    return (perm & READ_WRITE) == READ_WRITE;
}

const AclEntry* find_entry(const std::vector<AclEntry>& acl, std::uint16_t tag,
                           std::optional<std::uint32_t> id = std::nullopt)
{
    const auto found = std::find_if(acl.begin(), acl.end(), [&](const AclEntry& entry) {
        return entry.tag == tag && (!id || entry.id == *id);
    });
    return found != acl.end() ? &*found : nullptr;
}

// The group class: any group entry (the owning group or a named one) that matches decides;
// nothing when none matches.
std::optional<Grant> group_grant(const SystemRoot& root, const std::vector<AclEntry>& acl,
                                 const struct stat& info, const std::vector<gid_t>& groups,
                                 std::uint16_t mask)
{
    std::optional<Grant> refusal;
    for (const AclEntry& entry : acl) {
        const bool group_entry = entry.tag == ACL_GROUP_OBJ || entry.tag == ACL_GROUP;
        const gid_t gid = entry.tag == ACL_GROUP_OBJ ? info.st_gid : entry.id;
        if (!group_entry || std::find(groups.begin(), groups.end(), gid) == groups.end()) {
            continue;
        }
        if (grants_read_write(entry.perm & mask)) {
            return Grant{true, (entry.tag == ACL_GROUP ? "through an ACL entry for group "
                                                       : "as a member of ") +
                                   group_name(root, gid)};
        }
        refusal = Grant{false, "as a member of its group"};
    }
    return refusal;
}

// POSIX.1e access check: owner, named user, any matching group entry, then others.
Grant evaluate_access(const SystemRoot& root, const std::vector<AclEntry>& acl,
                      const struct stat& info, uid_t uid, const std::vector<gid_t>& groups,
                      const std::string& user)
{
    const AclEntry* mask_entry = find_entry(acl, ACL_MASK);
    const std::uint16_t mask = mask_entry != nullptr ? mask_entry->perm : 7;
    if (const AclEntry* owner = find_entry(acl, ACL_USER_OBJ);
        owner != nullptr && uid == info.st_uid) {
        return {grants_read_write(owner->perm), "as its owner"};
    }
    if (const AclEntry* named = find_entry(acl, ACL_USER, uid)) {
        return {grants_read_write(named->perm & mask), "through an ACL entry for " + user};
    }
    if (std::optional<Grant> grant = group_grant(root, acl, info, groups, mask)) {
        return *grant;
    }
    const AclEntry* other = find_entry(acl, ACL_OTHER);
    return {other != nullptr && grants_read_write(other->perm), "as anyone may"};
}

std::string user_name_of(const SystemRoot& root, uid_t uid)
{
    const std::optional<PasswdEntry> user = find_user(root, uid);
    return user ? user->name : "uid " + std::to_string(uid);
}

struct AccessVerdict {
    bool allowed = false;
    std::string reason;
    std::string fix;
};

AccessVerdict judge_access(const SystemRoot& root, const Identity& identity,
                           const DeviceFacts& facts)
{
    const std::string& node = facts.resolution.path;
    const std::string user = user_name_of(root, identity.uid);
    std::vector<gid_t> session = identity.groups;
    session.push_back(identity.gid);
    const std::vector<AclEntry> acl = access_list(root, node, facts.info);
    Grant grant = evaluate_access(root, acl, facts.info, identity.uid, session, user);
    // The kernel has the last word on this process's own ids (capabilities, ACLs, LSMs).
    if (identity.own && is_real_root(root)) {
        const bool kernel_allows =
            ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
        if (kernel_allows && !grant.allowed) {
            grant.how = "(the kernel allows it, beyond the mode and ACL)";
        }
        grant.allowed = kernel_allows;
    }
    if (grant.allowed) {
        return {true, user + " may read and write it " + grant.how, ""};
    }
    const std::string group = group_name(root, facts.info.st_gid);
    const std::optional<PasswdEntry> entry = find_user(root, identity.uid);
    const std::vector<gid_t> later =
        entry ? login_groups(root, entry->name, entry->gid) : std::vector<gid_t>{};
    const Grant after_login = evaluate_access(root, acl, facts.info, identity.uid, later, user);
    if (entry && after_login.allowed) {
        return {
            false,
            "the group database puts " + user + " in " + group +
                ", but this login session started before that: " + would_stop_with(MSG_OPEN_FAILED),
            "log out and back in (or reboot); 'newgrp " + group +
                "' gives one shell the group at once"};
    }
    const bool group_may = (facts.info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!group_may) {
        return {false,
                "neither " + user + " nor " + group +
                    " may read and write it: " + would_stop_with(MSG_OPEN_FAILED),
                "run renumber with sudo, or have a udev rule give the adapter MODE=\"0660\", "
                "GROUP=\"dialout\" and join dialout"};
    }
    return {false, user + " is not in " + group + ": " + would_stop_with(MSG_OPEN_FAILED),
            "sudo usermod -aG " + group + " " + user +
                ", then log out and back in (a new login is needed before it counts)"};
}

// libserialport reads the real /sys, so it can only answer on the real root. Under a moved root
// the doctor applies the rule libserialport 0.1.1 applies: the name begins with /dev/ and
// /sys/class/tty/<the rest of the name> exists.
bool serial_library_finds(const SystemRoot& root, const std::string& resolved)
{
    if (is_real_root(root)) {
        sp_port* port = nullptr;
        const bool found = sp_get_port_by_name(resolved.c_str(), &port) == SP_OK;
        if (port != nullptr) {
            sp_free_port(port);
        }
        return found;
    }
    return resolved.starts_with("/dev/") &&
           path_exists(root, "/sys/class/tty/" + resolved.substr(5));
}

bool went_through_stable_name(const DeviceFacts& facts)
{
    return facts.typed.starts_with(STABLE_NAMES) ||
           std::any_of(facts.resolution.hops.begin(), facts.resolution.hops.end(),
                       [](const std::string& hop) { return hop.starts_with(STABLE_NAMES); });
}

// Adapters with the same ids and no serial number get the same by-id name from udev.
std::vector<std::string> twins_of(const DeviceFacts& facts)
{
    std::vector<std::string> twins;
    const SerialAdapter& adapter = *facts.adapter;
    for (const SerialAdapter& other : facts.present) {
        if (other.name != adapter.name && other.ids && adapter.ids && other.serial.empty() &&
            other.ids->vendor == adapter.ids->vendor &&
            other.ids->product == adapter.ids->product) {
            twins.push_back(other.node);
        }
    }
    return adapter.serial.empty() ? twins : std::vector<std::string>{};
}

int leading_number(const std::string& text)
{
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Processes holding an flock on the node, from /proc/locks: "1: FLOCK ADVISORY WRITE <pid>
// <major>:<minor>:<inode> 0 EOF", the device numbers in hexadecimal. Waiters ("1: -> FLOCK")
// hold nothing yet.
std::vector<int> lock_holders(const SystemRoot& root, const struct stat& info)
{
    std::vector<int> pids;
    std::array<char, 48> file{};
    std::snprintf(file.data(), file.size(), "%02x:%02x:%lu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long>(info.st_ino));
    for (const std::string& line : read_lines(root, "/proc/locks")) {
        const std::vector<std::string> words = split_words(line);
        if (words.size() >= 6 && words[1] == "FLOCK" && words[5] == file.data()) {
            pids.push_back(leading_number(words[4]));
        }
    }
    return pids;
}

std::vector<int> version_numbers(const std::string& version)
{
    std::vector<int> numbers;
    const std::size_t epoch = version.find(':');
    const std::string upstream =
        version.substr(epoch == std::string::npos ? 0 : epoch + 1, version.find('-'));
    std::size_t at = 0;
    while (at < upstream.size()) {
        numbers.push_back(leading_number(upstream.substr(at)));
        const std::size_t dot = upstream.find('.', at);
        at = dot == std::string::npos ? upstream.size() : dot + 1;
    }
    return numbers;
}

std::string held_consequence(const SystemRoot& root, const DeviceFacts& facts,
                             const std::vector<int>& holder_pids)
{
    const std::string& version = facts.serial_library_version;
    const std::string share =
        "renumber would share the line and the motor's answers with them (a timeout, or an "
        "answer read by the other program)";
    const std::string refuse =
        would_stop_with(MSG_OPEN_FAILED) +
        " (status 255), after a line beginning \"sp_open: \" on standard error with the "
        "library's reason";
    if (version.empty()) {
        return "libserialport0 is not in the package database: release 0.1.1 takes no lock and " +
               share + "; from 0.1.2 on, " + refuse + " when a holder has the port locked";
    }
    if (!serial_library_locks(version)) {
        return "libserialport " + version + " takes no lock, so " + share;
    }
    std::vector<std::string> locking;
    for (const int pid : lock_holders(root, facts.info)) {
        if (std::find(holder_pids.begin(), holder_pids.end(), pid) != holder_pids.end()) {
            locking.push_back(std::to_string(pid));
        }
    }
    if (!locking.empty()) {
        return "libserialport " + version + " locks the port on open (flock) and pid " +
               join(locking, ", ") + " holds that lock, so " + refuse;
    }
    return "libserialport " + version +
           " locks the port on open, but they hold no lock on it, so " + share;
}

std::string rate_outcome(const ChipRow& row, const std::string& driver)
{
    const std::string bound = driver.empty() ? row.driver : driver;
    switch (row.handling) {
    case RateHandling::falls_to_9600:
        return "ftdi_sio sets this part to 9,600 baud when asked for 4,000,000 (\"Baud rate too "
               "high\") and reports 9,600 back";
    case RateHandling::clamped_reported:
        return bound + " clamps 4,000,000 to " +
               (row.line_baud == 0 ? std::string("the part's cap")
                                   : "the part's " + format_baud(row.line_baud)) +
               " and reports that rate back";
    case RateHandling::clamped_unreported:
        return bound + " clamps 4,000,000 to " + format_baud(row.line_baud) +
               " while the terminal settings still read 4,000,000";
    case RateHandling::passed_to_chip:
        return bound + " passes 4,000,000 to the chip, which its maker documents only up to " +
               format_baud(row.max_baud);
    case RateHandling::exact:
        break;
    }
    return "";
}

CheckResult check_native_uart(const SerialAdapter& adapter)
{
    if (!adapter.uart_clock) {
        return {CheckVerdict::warn, "chip",
                adapter.name + " is a native UART whose clock " + adapter.sys_path +
                    "/uartclk does not give",
                "use a USB-to-RS-485 adapter built on " + std::string(FAST_CHIPS)};
    }
    const std::uint32_t ceiling = *adapter.uart_clock / 16;
    const std::string clock = adapter.name + " is a native UART clocked at " +
                              format_baud(*adapter.uart_clock) + " Hz, so it runs at most " +
                              format_baud(ceiling) + " baud (uartclk / 16)";
    if (ceiling >= MOTOR_BUS_BAUD) {
        return {CheckVerdict::ok, "chip",
                clock + "; it needs an RS-485 transceiver on its pins to reach the motor bus", ""};
    }
    return {CheckVerdict::fail, "chip",
            clock + ": the serial core refuses 4,000,000 and keeps the previous rate; " +
                timeout_outcome(),
            "use a USB-to-RS-485 adapter built on " + std::string(FAST_CHIPS)};
}

} // namespace

std::string installed_serial_library(const SystemRoot& root)
{
    bool in_stanza = false;
    bool installed = false;
    std::string version;
    for (const std::string& line : read_lines(root, PACKAGE_DATABASE)) {
        if (line.empty()) {
            if (in_stanza && installed) {
                return version;
            }
            in_stanza = installed = false;
            version.clear();
        } else if (line.starts_with("Package: ")) {
            in_stanza = line == "Package: libserialport0";
        } else if (line.starts_with("Status: ")) {
            installed = line.ends_with(" installed");
        } else if (line.starts_with("Version: ")) {
            version = line.substr(9);
        }
    }
    return in_stanza && installed ? version : "";
}

bool serial_library_locks(const std::string& version)
{
    return version_numbers(version) >= std::vector<int>{0, 1, 2};
}

DeviceFacts gather_facts(const SystemRoot& root, const std::string& typed)
{
    DeviceFacts facts;
    facts.typed = typed;
    facts.resolution = resolve_path(root, typed);
    facts.present = find_adapters(root, facts.ports_error);
    facts.chips_without_tty = find_chips_without_tty(root, facts.present);
    facts.processes = scan_processes(root, facts.processes_error);
    facts.serial_library_version = installed_serial_library(root);
    if (facts.resolution.error || stat_path(root, facts.resolution.path, facts.info)) {
        return facts;
    }
    // libserialport goes by the name alone; whether a character device sits there is the
    // device check's own question.
    const std::string& resolved = facts.resolution.path;
    facts.library_finds_it = serial_library_finds(root, resolved);
    if (facts.library_finds_it && terminal_kind(facts).empty()) {
        facts.adapter = describe_tty(root, resolved.substr(5));
    }
    return facts;
}

CheckResult check_device_node(const DeviceFacts& facts)
{
    CheckResult result{CheckVerdict::fail, "device", "", adapter_hint(facts)};
    const Resolution& resolution = facts.resolution;
    const std::string terminal = resolution.error ? "" : terminal_kind(facts);
    if (resolution.error == std::errc::no_such_file_or_directory) {
        result.reason = resolution.missing == facts.typed
                            ? facts.typed + " does not exist"
                            : facts.typed + " leads to " + resolution.missing + " (" +
                                  join(resolution.hops, ", ") + "), which does not exist";
        result.reason += std::string(": ") + would_stop_with(MSG_NO_DEVICE);
    } else if (resolution.error) {
        result.reason = "cannot follow " + facts.typed + ": lstat " + resolution.missing + ": " +
                        resolution.error.message();
    } else if (!terminal.empty()) {
        result.reason = shown_path(facts) + " is " + terminal +
                        ", not a serial adapter: renumber would write the motor's frames to a "
                        "terminal and never reach the bus";
    } else if (!S_ISCHR(facts.info.st_mode)) {
        result.reason =
            shown_path(facts) + ": " + file_kind(facts.info.st_mode) + ", not a character device";
    } else if (!facts.library_finds_it) {
        result.reason = shown_path(facts) +
                        ": a character device, but not a serial tty the kernel lists under "
                        "/sys/class/tty, so libserialport cannot look it up: " +
                        would_stop_with(MSG_NO_DEVICE);
    } else {
        const std::string numbers = facts.adapter ? " " + facts.adapter->dev_numbers : "";
        const std::string found = shown_path(facts) + ": character device" + numbers +
                                  ", the kernel's tty " + base_name(resolution.path);
        const std::vector<std::string> twins = facts.adapter && went_through_stable_name(facts)
                                                   ? twins_of(facts)
                                                   : std::vector<std::string>{};
        if (twins.empty()) {
            return {CheckVerdict::ok, "device", found, ""};
        }
        const std::vector<std::string>& by_path = facts.adapter->path_names;
        return {CheckVerdict::warn, "device",
                found + "; but " + join(twins, ", ") +
                    " has the same USB ids and, like this one, no serial number, so both share "
                    "this by-id name and it leads to whichever was plugged in last",
                "name the port by where it is plugged in: " +
                    (by_path.empty() ? std::string("ls -l /dev/serial/by-path/")
                                     : join(by_path, ", "))};
    }
    return result;
}

CheckResult check_access(const SystemRoot& root, const Identity& identity,
                         const std::optional<Identity>& invoking, const DeviceFacts& facts)
{
    const std::string& node = facts.resolution.path;
    const std::string described = node + " is " + permission_text(facts.info.st_mode) + " " +
                                  user_name_of(root, facts.info.st_uid) + ":" +
                                  group_name(root, facts.info.st_gid);
    if (identity.uid == 0 && !invoking) {
        return {CheckVerdict::ok, "access", "running as root, which may open " + node, ""};
    }
    if (identity.uid == 0) {
        const AccessVerdict user = judge_access(root, *invoking, facts);
        const std::string head = "checked as root through sudo, which may open " + node + "; " +
                                 described + "; without sudo, ";
        return user.allowed ? CheckResult{CheckVerdict::ok, "access", head + user.reason, ""}
                            : CheckResult{CheckVerdict::warn, "access", head + user.reason,
                                          user.fix + ", or keep running renumber with sudo"};
    }
    const AccessVerdict verdict = judge_access(root, identity, facts);
    return {verdict.allowed ? CheckVerdict::ok : CheckVerdict::fail, "access",
            described + "; " + verdict.reason, verdict.fix};
}

CheckResult check_holders(const SystemRoot& root, const DeviceFacts& facts)
{
    const std::string& node = facts.resolution.path;
    std::vector<std::string> holders;
    std::vector<std::string> pids;
    std::vector<int> holder_pids;
    int uninspected = 0;
    bool own_line = false;
    for (const ProcessInfo& process : facts.processes) {
        uninspected += process.files_readable ? 0 : 1;
        const bool holds = std::find(process.open_files.begin(), process.open_files.end(), node) !=
                           process.open_files.end();
        // ModemManager and gettys have their own lines and fixes: killed, they are restarted.
        if (holds && has_own_line(process.command)) {
            own_line = true;
        } else if (holds) {
            holders.push_back("pid " + std::to_string(process.pid) + " (" + process.command + ")");
            pids.push_back(std::to_string(process.pid));
            holder_pids.push_back(process.pid);
        }
    }
    if (facts.processes_error) {
        return {CheckVerdict::warn, "holders",
                "cannot tell which programs have " + node +
                    " open: reading /proc: " + facts.processes_error.message(),
                "sudo fuser -v " + node + " names them"};
    }
    const std::string unseen =
        uninspected > 0 ? " (" + std::to_string(uninspected) +
                              " processes belong to other users and only root sees their "
                              "files: sudo renumber-doctor checks them too)"
                        : "";
    if (!holders.empty()) {
        return {CheckVerdict::fail, "holders",
                node + " is open in " + join(holders, ", ") + ": " +
                    held_consequence(root, facts, holder_pids) + unseen,
                "quit those programs first (or kill " + join(pids, " ") + ")"};
    }
    return {CheckVerdict::ok, "holders",
            "no other process has " + node + " open" +
                (own_line ? " apart from those with their own line above" : "") + unseen,
            ""};
}

CheckResult check_chip(const DeviceFacts& facts)
{
    const SerialAdapter& adapter = *facts.adapter;
    if (!adapter.ids) {
        if (is_native_uart(adapter.name)) {
            return check_native_uart(adapter);
        }
        return {CheckVerdict::warn, "chip",
                adapter.name + " is not on USB (no USB ids above " + adapter.sys_path +
                    "), so it is not a USB-to-RS-485 adapter",
                "name the adapter's node; renumber-doctor without arguments lists them"};
    }
    const ChipRow* row = adapter.chip;
    const std::string label = chip_label(row, *adapter.ids, adapter.driver);
    if (row == nullptr) {
        return {CheckVerdict::warn, "chip",
                "no documented maximum baud rate for " + label +
                    (adapter.product.empty() ? "" : ", \"" + adapter.product + "\""),
                "check the adapter's datasheet for 4,000,000 baud, or use one built on " +
                    std::string(FAST_CHIPS)};
    }
    const std::string documented = label + " is documented up to " + format_baud(row->max_baud) +
                                   " baud (" + row->source + ")";
    const bool own_module = !adapter.driver.empty() && adapter.driver != row->driver;
    const std::string module =
        own_module
            ? "; " + adapter.driver + " is the maker's own module, not the kernel's " + row->driver
            : "";
    const bool runs =
        row->handling == RateHandling::exact ||
        (row->handling == RateHandling::passed_to_chip && row->max_baud >= MOTOR_BUS_BAUD);
    if (runs) {
        return {CheckVerdict::ok, "chip",
                documented + "; the line runs at the motor bus's " + format_baud(MOTOR_BUS_BAUD) +
                    module,
                ""};
    }
    return {CheckVerdict::fail, "chip",
            documented + ": " + rate_outcome(*row, adapter.driver) + "; " + timeout_outcome() +
                module,
            "use an adapter built on " + std::string(FAST_CHIPS)};
}

CheckResult check_latency(const SystemRoot& root, const DeviceFacts& facts)
{
    const SerialAdapter& adapter = *facts.adapter;
    if (adapter.driver != FTDI_DRIVER) {
        return {CheckVerdict::ok, "latency",
                "no latency timer to check: driver " +
                    (adapter.driver.empty() ? std::string("(none)") : adapter.driver) +
                    " is not FTDI's",
                ""};
    }
    const std::string timer_file = "/sys/class/tty/" + adapter.name + "/device/latency_timer";
    const std::string user_file = "/sys/bus/usb-serial/devices/" + adapter.name + "/latency_timer";
    std::string content;
    const SysError error = read_file(root, timer_file, content);
    const std::string value = content.substr(0, content.find('\n'));
    const bool numeric =
        !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    if (error || !numeric) {
        return {CheckVerdict::warn, "latency",
                "cannot read the FTDI latency timer: " +
                    (error ? describe_error(error, timer_file)
                           : timer_file + " holds \"" + value + "\""),
                ""};
    }
    const std::string timer = "FTDI latency timer is " + value + " ms";
    if (facts.typed.starts_with(LOW_LATENCY_PREFIX)) {
        return {CheckVerdict::ok, "latency",
                timer +
                    "; renumber switches the port to low latency itself, since the path "
                    "begins with " +
                    LOW_LATENCY_PREFIX,
                ""};
    }
    if (value == "0" || value == "1") {
        return {CheckVerdict::ok, "latency", timer, ""};
    }
    return {CheckVerdict::warn, "latency",
            timer + ", and renumber asks for low latency only when the path begins with " +
                LOW_LATENCY_PREFIX + ", so through " + facts.typed + " every answer waits up to " +
                value + " ms in the adapter",
            "give renumber " + adapter.node + " instead, or lower the timer: echo 1 | sudo tee " +
                user_file};
}

Diagnosis diagnose(const SystemRoot& root, const Identity& identity,
                   const std::optional<Identity>& invoking, const std::string& typed)
{
    const DeviceFacts facts = gather_facts(root, typed);
    Diagnosis diagnosis;
    diagnosis.results.push_back(check_device_node(facts));
    if (!facts.resolution.error) {
        diagnosis.results.push_back(check_access(root, identity, invoking, facts));
    }
    // Who holds /dev/null or a terminal says nothing about the motor bus.
    if (facts.adapter) {
        diagnosis.results.push_back(check_console(root, facts));
    }
    diagnosis.results.push_back(check_brltty(root, facts));
    diagnosis.results.push_back(check_modem_manager(root, facts));
    if (facts.adapter) {
        diagnosis.results.push_back(check_holders(root, facts));
        diagnosis.results.push_back(check_chip(facts));
        diagnosis.results.push_back(check_latency(root, facts));
    }
    for (const char* topic : {"access", "console", "holders", "chip", "latency"}) {
        if (std::none_of(diagnosis.results.begin(), diagnosis.results.end(),
                         [topic](const CheckResult& result) { return result.topic == topic; })) {
            diagnosis.skipped.emplace_back(topic);
        }
    }
    return diagnosis;
}

int exit_status(const std::vector<CheckResult>& results)
{
    CheckVerdict worst = CheckVerdict::ok;
    for (const CheckResult& result : results) {
        worst = std::max(worst, result.verdict);
    }
    return static_cast<int>(worst);
}

std::string format_result(const CheckResult& result)
{
    constexpr std::array<const char*, 3> LABELS{"OK", "WARN", "FAIL"};
    std::array<char, 32> head{};
    std::snprintf(head.data(), head.size(), "%-4s  %-12s ",
                  LABELS[static_cast<std::size_t>(result.verdict)], result.topic.c_str());
    // A reason may end on one of renumber's own messages, which carries its full stop.
    const bool ends_sentence = result.reason.ends_with('.') || result.reason.ends_with(".\"");
    return head.data() + result.reason + (ends_sentence ? "" : ".") +
           (result.fix.empty() ? "" : " Fix: " + result.fix + ".") + "\n";
}

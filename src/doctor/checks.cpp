#include "doctor/checks.h"

#include "serial/operator_texts.h"

#include "adapter/chips.h"
#include "adapter/port.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

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

// A rate the driver substitutes and reports back is refused before any frame leaves.
std::string refused_outcome()
{
    return std::string("renumber reads the rate back and stops with \"") + MSG_BAUD_REFUSED +
           "\" (status 255) before sending anything";
}

// A rate the driver changes without a word is refused too: renumber knows the driver.
std::string unreported_outcome()
{
    return std::string("renumber knows the driver and stops with \"") + MSG_BAUD_REFUSED +
           "\" (status 255) before sending anything, naming the rate the line runs on standard "
           "error";
}

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
    std::vector<std::string> names;
    for (const SerialAdapter& adapter : facts.present) {
        if (check_chip(adapter).verdict != CheckVerdict::fail) {
            names.push_back(adapter.stable_names.empty()
                                ? adapter.node
                                : adapter.node + " (" + join(adapter.stable_names, ", ") + ")");
        }
    }
    if (!names.empty()) {
        return "name one of the serial ports present: " + join(names, "; ");
    }
    if (!facts.present.empty()) {
        return "no serial port here can carry the motor bus; plug in a USB-to-RS-485 adapter "
               "built on " +
               std::string(FAST_CHIPS);
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

struct Grant {
    bool allowed = false;
    std::string how; // "as the owner", "as a member of dialout", "through an ACL entry for alice"
};

const AclRule* find_entry(const std::vector<AclRule>& acl, AclRule::Tag tag,
                          std::optional<unsigned> id = std::nullopt)
{
    const auto found = std::find_if(acl.begin(), acl.end(), [&](const AclRule& entry) {
        return entry.tag == tag && (!id || entry.id == *id);
    });
    return found != acl.end() ? &*found : nullptr;
}

std::string name_of_group(const AccessFacts& access, gid_t gid)
{
    const auto found = access.group_names.find(gid);
    return found != access.group_names.end() ? found->second : "group " + std::to_string(gid);
}

// POSIX.1e access check: owner, named user, any matching group entry (which decides), then
// others; the mask limits named entries and the group class.
Grant evaluate_access(const AccessFacts& access, const struct stat& info, uid_t uid,
                      const std::vector<gid_t>& groups, const std::string& user)
{
    const AclRule* mask = find_entry(access.acl, AclRule::mask);
    const bool mask_allows = mask == nullptr || mask->read_write;
    if (const AclRule* owner = find_entry(access.acl, AclRule::user_obj);
        owner != nullptr && uid == info.st_uid) {
        return {owner->read_write, "as its owner"};
    }
    if (const AclRule* named = find_entry(access.acl, AclRule::user, uid)) {
        return {named->read_write && mask_allows, "through an ACL entry for " + user};
    }
    std::optional<Grant> refusal;
    for (const AclRule& entry : access.acl) {
        const bool group_entry = entry.tag == AclRule::group_obj || entry.tag == AclRule::group;
        const gid_t gid = entry.tag == AclRule::group_obj ? info.st_gid : entry.id;
        if (!group_entry || std::find(groups.begin(), groups.end(), gid) == groups.end()) {
            continue;
        }
        if (entry.read_write && mask_allows) {
            return {true, (entry.tag == AclRule::group ? "through an ACL entry for group "
                                                       : "as a member of ") +
                              name_of_group(access, gid)};
        }
        refusal = Grant{false, "as a member of its group"};
    }
    if (refusal) {
        return *refusal;
    }
    const AclRule* other = find_entry(access.acl, AclRule::other);
    return {other != nullptr && other->read_write, "as anyone may"};
}

struct AccessVerdict {
    bool allowed = false;
    std::string reason;
    std::string fix;
};

AccessVerdict judge_access(const AccessFacts& access, const Person& person, const struct stat& info)
{
    const std::string& user = person.name;
    std::vector<gid_t> session = person.identity.groups;
    session.push_back(person.identity.gid);
    Grant grant = evaluate_access(access, info, person.identity.uid, session, user);
    if (person.kernel_allows) {
        if (*person.kernel_allows && !grant.allowed) {
            grant.how = "(the kernel allows it, beyond the mode and ACL)";
        }
        grant.allowed = *person.kernel_allows;
    }
    if (grant.allowed) {
        return {true, user + " may read and write it " + grant.how, ""};
    }
    const std::string group = name_of_group(access, info.st_gid);
    if (person.login_groups &&
        evaluate_access(access, info, person.identity.uid, *person.login_groups, user).allowed) {
        return {
            false,
            "the group database puts " + user + " in " + group +
                ", but this login session started before that: " + would_stop_with(MSG_OPEN_FAILED),
            "log out and back in (or reboot); 'newgrp " + group +
                "' gives one shell the group at once"};
    }
    const AclRule* owning = find_entry(access.acl, AclRule::group_obj);
    const AclRule* mask = find_entry(access.acl, AclRule::mask);
    const bool group_may =
        owning != nullptr && owning->read_write && (mask == nullptr || mask->read_write);
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

std::string held_consequence(const DeviceFacts& facts, const std::vector<int>& holder_pids)
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
    for (const int pid : facts.lock_holders) {
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

// What the driver does with 4,000,000 and what renumber then prints; refused: renumber refuses
// the rate the driver changes without a word (it does so only for the driver the table names).
std::string rate_outcome(const ChipRow& row, const std::string& driver, bool refused)
{
    const std::string bound = driver.empty() ? row.driver : driver;
    switch (row.handling) {
    case RateHandling::falls_to_9600:
        return "ftdi_sio sets this part to 9,600 baud when asked for 4,000,000 (\"Baud rate too "
               "high\") and reports 9,600 back: " +
               refused_outcome();
    case RateHandling::clamped_reported:
        return bound + " clamps 4,000,000 to " +
               (row.line_baud == 0 ? std::string("the part's cap")
                                   : "the part's " + format_baud(row.line_baud)) +
               " and reports that rate back: " + refused_outcome();
    case RateHandling::clamped_unreported:
        return bound + " clamps 4,000,000 to " + format_baud(row.line_baud) +
               " while the terminal settings still read 4,000,000; " +
               (refused ? unreported_outcome() : timeout_outcome());
    case RateHandling::passed_to_chip:
        return bound + " passes 4,000,000 to the chip, which its maker documents only up to " +
               format_baud(row.max_baud) + "; " + timeout_outcome();
    case RateHandling::exact:
        break;
    }
    return "";
}

// "2.3 % slow", "0.1 % fast"
std::string deviation(std::uint64_t rate)
{
    const auto bus = static_cast<std::uint64_t>(MOTOR_BUS_BAUD);
    const std::uint64_t off = rate > bus ? rate - bus : bus - rate;
    const std::uint64_t tenths = (off * 1000 + bus / 2) / bus;
    if (off == 0) {
        return "the bus's rate exactly";
    }
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " % " +
           (rate >= bus ? "fast" : "slow");
}

// The driver's arithmetic is the adapter library's (divide_uart_clock); this says what it means.
CheckResult check_native_uart(const SerialAdapter& adapter)
{
    const std::string fix = "use a USB-to-RS-485 adapter built on " + std::string(FAST_CHIPS);
    const std::optional<UartDivision> division = divide_uart_clock(adapter);
    if (!division) {
        return {CheckVerdict::warn, "chip",
                adapter.name + " is a native UART whose clock " + adapter.sys_path +
                    "/uartclk does not give",
                fix};
    }
    const std::uint64_t clock = *adapter.uart_clock;
    const std::uint64_t ceiling = division->ceiling;
    const std::string head = adapter.name + " is a native UART (driver " +
                             (adapter.driver.empty() ? "(none)" : adapter.driver) +
                             ") clocked at " + format_baud(static_cast<std::uint32_t>(clock)) +
                             " Hz";
    if (division->above_ceiling) {
        return {CheckVerdict::fail, "chip",
                head + ", so it runs at most " + format_baud(static_cast<std::uint32_t>(ceiling)) +
                    " baud (uartclk / 16): the serial core falls back to the previous rate and "
                    "reports it; " +
                    refused_outcome(),
                fix};
    }
    const std::uint64_t divisor = division->divisor;
    const std::uint64_t rate = division->rate;
    const std::string divided =
        head + ": " +
        (adapter.fractional_divisor ? "divisor " + std::to_string(divisor) + "/64"
                                    : "divisor " + std::to_string(divisor)) +
        " gives " + format_baud(static_cast<std::uint32_t>(rate)) + " baud, " + deviation(rate);
    if (serial_rate_carries_bus(static_cast<long long>(rate))) {
        return {CheckVerdict::ok, "chip",
                divided + ", within the " + std::to_string(SERIAL_RATE_TOLERANCE_PERMILLE / 10) +
                    " % a UART tolerates; it needs an RS-485 transceiver on its pins",
                ""};
    }
    return {CheckVerdict::fail, "chip",
            divided + ", beyond the " + std::to_string(SERIAL_RATE_TOLERANCE_PERMILLE / 10) +
                " % a UART tolerates, while the terminal settings read 4,000,000; " +
                unreported_outcome(),
            fix};
}

} // namespace

std::vector<int> version_numbers(const std::string& version)
{
    std::vector<int> numbers;
    const std::size_t epoch = version.find(':');
    const std::string upstream =
        version.substr(epoch == std::string::npos ? 0 : epoch + 1, version.find('-'));
    std::size_t at = 0;
    while (at < upstream.size()) {
        int value = 0;
        std::from_chars(upstream.data() + at, upstream.data() + upstream.size(), value);
        numbers.push_back(value);
        const std::size_t dot = upstream.find('.', at);
        at = dot == std::string::npos ? upstream.size() : dot + 1;
    }
    return numbers;
}

bool serial_library_locks(const std::string& version)
{
    return version_numbers(version) >= std::vector<int>{0, 1, 2};
}

CheckResult check_device_node(const DeviceFacts& facts)
{
    CheckResult result{CheckVerdict::fail, "device", "", adapter_hint(facts)};
    const Resolution& resolution = facts.resolution;
    if (resolution.error == std::errc::no_such_file_or_directory) {
        result.reason = resolution.missing == facts.typed
                            ? facts.typed + " does not exist"
                            : facts.typed + " leads to " + resolution.missing + " (" +
                                  join(resolution.hops, ", ") + "), which does not exist";
        result.reason += std::string(": ") + would_stop_with(MSG_NO_DEVICE);
    } else if (resolution.error) {
        result.reason = "cannot follow " + facts.typed + ": lstat " + resolution.missing + ": " +
                        resolution.error.message();
    } else if (!facts.terminal.empty()) {
        result.reason = shown_path(facts) + " is " + facts.terminal +
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

CheckResult check_access(const DeviceFacts& facts)
{
    const AccessFacts& access = facts.access;
    const std::string& node = facts.resolution.path;
    const std::string described = node + " is " + permission_text(facts.info.st_mode) + " " +
                                  access.owner + ":" + name_of_group(access, facts.info.st_gid);
    if (access.user.identity.uid == 0 && !access.invoking) {
        return {CheckVerdict::ok, "access", "running as root, which may open " + node, ""};
    }
    if (access.user.identity.uid == 0) {
        const AccessVerdict user = judge_access(access, *access.invoking, facts.info);
        const std::string head = "checked as root through sudo, which may open " + node + "; " +
                                 described + "; without sudo, ";
        return user.allowed ? CheckResult{CheckVerdict::ok, "access", head + user.reason, ""}
                            : CheckResult{CheckVerdict::warn, "access", head + user.reason,
                                          user.fix + ", or keep running renumber with sudo"};
    }
    const AccessVerdict verdict = judge_access(access, access.user, facts.info);
    return {verdict.allowed ? CheckVerdict::ok : CheckVerdict::fail, "access",
            described + "; " + verdict.reason, verdict.fix};
}

CheckResult check_holders(const DeviceFacts& facts)
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
    const std::string checked = facts.processes_cut_short ? " among those checked in time" : "";
    if (!holders.empty()) {
        return {CheckVerdict::fail, "holders",
                node + " is open in " + join(holders, ", ") + ": " +
                    held_consequence(facts, holder_pids) + unseen,
                "quit those programs first (or kill " + join(pids, " ") + ")"};
    }
    return {CheckVerdict::ok, "holders",
            "no other process has " + node + " open" + checked +
                (own_line ? " apart from those with their own line above" : "") + unseen,
            ""};
}

CheckResult check_chip(const SerialAdapter& adapter)
{
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
    const std::string documented =
        label +
        (row->max_baud == NO_UART
             ? " has no UART, so any rate passes"
             : " is documented up to " + format_baud(row->max_baud) + " baud") +
        " (" + row->source + ")";
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
                    ", and renumber can change the motor" + module,
                ""};
    }
    const bool refused = line_at_bus_rate(adapter).kind == BusRate::unreported;
    return {CheckVerdict::fail, "chip",
            documented + ": " + rate_outcome(*row, adapter.driver, refused) + module,
            "use an adapter built on " + std::string(FAST_CHIPS)};
}

CheckResult check_latency(const DeviceFacts& facts)
{
    const SerialAdapter& adapter = *facts.adapter;
    if (adapter.driver != FTDI_DRIVER) {
        return {CheckVerdict::ok, "latency",
                "no latency timer to check: driver " +
                    (adapter.driver.empty() ? std::string("(none)") : adapter.driver) +
                    " is not FTDI's",
                ""};
    }
    const std::string user_file = "/sys/bus/usb-serial/devices/" + adapter.name + "/latency_timer";
    const std::string& value = facts.latency.value;
    const bool numeric =
        !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    if (!facts.latency.error.empty() || !numeric) {
        return {CheckVerdict::warn, "latency",
                "cannot read the FTDI latency timer: " +
                    (!facts.latency.error.empty()
                         ? facts.latency.error
                         : "/sys/class/tty/" + adapter.name + "/device/latency_timer holds \"" +
                               value + "\""),
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

Diagnosis diagnose(const DeviceFacts& facts)
{
    Diagnosis diagnosis;
    diagnosis.results.push_back(check_device_node(facts));
    if (!facts.resolution.error) {
        diagnosis.results.push_back(check_access(facts));
    }
    // Who holds /dev/null or a terminal says nothing about the motor bus.
    if (facts.adapter) {
        diagnosis.results.push_back(check_console(facts));
    }
    diagnosis.results.push_back(check_brltty(facts));
    diagnosis.results.push_back(check_modem_manager(facts));
    if (facts.adapter) {
        diagnosis.results.push_back(check_holders(facts));
        diagnosis.results.push_back(check_chip(*facts.adapter));
        diagnosis.results.push_back(check_latency(facts));
    }
    for (const char* topic : {"access", "console", "holders", "chip", "latency"}) {
        if (std::none_of(diagnosis.results.begin(), diagnosis.results.end(),
                         [topic](const CheckResult& result) { return result.topic == topic; })) {
            diagnosis.skipped.emplace_back(topic);
        }
    }
    return diagnosis;
}

std::vector<CheckResult> explain_failed_run(const DeviceFacts& facts)
{
    std::vector<CheckResult> findings;
    const auto add = [&findings](const CheckResult& result) {
        if (result.verdict != CheckVerdict::ok) {
            findings.push_back(result);
        }
    };
    if (facts.adapter) {
        add(check_console(facts));
    }
    add(check_brltty(facts));
    add(check_modem_manager(facts));
    if (facts.adapter) {
        add(check_holders(facts));
        add(check_chip(*facts.adapter));
        add(check_latency(facts));
    }
    return findings;
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

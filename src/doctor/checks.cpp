#include "doctor/checks.h"

#include "doctor/chips.h"

#include <fnmatch.h>
#include <libserialport.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::uint32_t MOTOR_BUS_BAUD = 4'000'000;
constexpr char LOW_LATENCY_PREFIX[] = "/dev/ttyUSB";
constexpr char FTDI_DRIVER[] = "ftdi_sio";
constexpr char LOOKUP_FAILURE[] =
    "renumber would stop with \"[Error] Device name does not exist.\"";
constexpr char OPEN_FAILURE[] = "renumber would stop with \"[Error] Failed to open serial port, "
                                "try opening with administrator privileges.\"";
constexpr char FAST_CHIPS[] = "FTDI FT232H, FT2232H or FT4232H, WCH CH343 or CH9102";
// udev reads rules from these folders; a file in an earlier one replaces one of the same name
// in a later one.
constexpr std::array RULE_FOLDERS{"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                  "/lib/udev/rules.d"};

std::string join(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

std::string adapter_hint(const DeviceFacts& facts)
{
    if (!facts.present.empty()) {
        std::vector<std::string> names;
        for (const SerialAdapter& adapter : facts.present) {
            names.push_back(adapter.stable_names.empty()
                                ? adapter.node
                                : adapter.node + " (" + join(adapter.stable_names, ", ") + ")");
        }
        return "name one of the adapters present: " + join(names, "; ");
    }
    if (!facts.chips_without_tty.empty()) {
        const ChipWithoutTty& chip = facts.chips_without_tty.front();
        const ChipRow* row = find_chip(chip.ids);
        return "no adapter has a tty, but USB device " + chip.usb_name + " is a " + row->name +
               " (" + format_ids(chip.ids) + ") whose interface is held by " +
               (chip.interface_driver.empty() ? "no driver" : chip.interface_driver) +
               (chip.interface_driver == "usbfs" ? " (a program such as brltty took it)" : "") +
               "; see the brltty line";
    }
    return "no serial adapter is plugged in: plug it in and run again (journalctl -k shows "
           "whether the kernel saw it)";
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

std::string group_name(const std::vector<GroupEntry>& groups, gid_t gid)
{
    const auto found = std::find_if(groups.begin(), groups.end(),
                                    [gid](const GroupEntry& group) { return group.gid == gid; });
    return found != groups.end() ? found->name : "group " + std::to_string(gid);
}

bool in_session_group(const Identity& identity, gid_t gid)
{
    return identity.gid == gid ||
           std::find(identity.groups.begin(), identity.groups.end(), gid) != identity.groups.end();
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

// Adapters brltty might claim: this one, or, when its tty is gone, the chips left without one.
std::vector<UsbIds> candidate_ids(const DeviceFacts& facts)
{
    std::vector<UsbIds> ids;
    if (facts.adapter && facts.adapter->ids) {
        ids.push_back(*facts.adapter->ids);
    } else if (!facts.adapter) {
        for (const ChipWithoutTty& chip : facts.chips_without_tty) {
            ids.push_back(chip.ids);
        }
    }
    return ids;
}

struct BrlttyRule {
    std::string file;
    std::string product_pattern; // "1a86/7523/*", matched against udev's PRODUCT
};

std::vector<BrlttyRule> brltty_rules(const SystemRoot& root)
{
    std::vector<BrlttyRule> rules;
    std::vector<std::string> seen;
    for (const char* folder : RULE_FOLDERS) {
        std::error_code error;
        for (const std::string& name : list_directory(root, folder, error)) {
            if (name.find("brltty") == std::string::npos || !name.ends_with(".rules") ||
                std::find(seen.begin(), seen.end(), name) != seen.end()) {
                continue;
            }
            seen.push_back(name);
            const std::string file = std::string(folder) + "/" + name;
            // A rule file linked to /dev/null (how udev rules are masked) is not regular and
            // reads as empty.
            constexpr std::string_view KEY = "ENV{PRODUCT}==\"";
            for (const std::string& line : read_lines(root, file)) {
                const std::size_t first = line.find_first_not_of(" \t");
                if (first == std::string::npos || line[first] == '#') {
                    continue;
                }
                for (std::size_t at = line.find(KEY); at != std::string::npos;
                     at = line.find(KEY, at + 1)) {
                    const std::size_t start = at + KEY.size();
                    const std::size_t end = line.find('"', start);
                    if (end != std::string::npos) {
                        rules.push_back({file, line.substr(start, end - start)});
                    }
                }
            }
        }
    }
    return rules;
}

// udev's PRODUCT for a USB device: vendor/product/bcdDevice in lower-case hex, no leading zeros.
std::string udev_product(const UsbIds& ids)
{
    std::array<char, 20> text{};
    std::snprintf(text.data(), text.size(), "%x/%x/%x", static_cast<unsigned>(ids.vendor),
                  static_cast<unsigned>(ids.product), static_cast<unsigned>(ids.release));
    return text.data();
}

} // namespace

DeviceFacts gather_facts(const SystemRoot& root, const std::string& typed)
{
    DeviceFacts facts;
    facts.typed = typed;
    facts.resolution = resolve_path(root, typed);
    facts.present = find_adapters(root);
    facts.chips_without_tty = find_chips_without_tty(root, facts.present);
    facts.processes = scan_processes(root);
    if (facts.resolution.error || stat_path(root, facts.resolution.path, facts.info)) {
        return facts;
    }
    // libserialport goes by the name alone; whether a character device sits there is the
    // device check's own question.
    const std::string& resolved = facts.resolution.path;
    facts.library_finds_it = serial_library_finds(root, resolved);
    if (facts.library_finds_it) {
        facts.adapter = describe_tty(root, resolved.substr(5));
    }
    return facts;
}

CheckResult check_device_node(const DeviceFacts& facts)
{
    CheckResult result{Verdict::fail, "device", "", adapter_hint(facts)};
    const Resolution& resolution = facts.resolution;
    if (resolution.error == std::errc::no_such_file_or_directory) {
        result.reason = resolution.missing == facts.typed
                            ? facts.typed + " does not exist"
                            : facts.typed + " leads to " + resolution.missing + " (" +
                                  join(resolution.hops, ", ") + "), which does not exist";
        result.reason += std::string(": ") + LOOKUP_FAILURE;
    } else if (resolution.error) {
        result.reason = "cannot follow " + facts.typed + ": lstat " + resolution.missing + ": " +
                        resolution.error.message();
    } else if (!S_ISCHR(facts.info.st_mode)) {
        result.reason =
            shown_path(facts) + ": " + file_kind(facts.info.st_mode) + ", not a character device";
    } else if (!facts.library_finds_it) {
        result.reason = shown_path(facts) +
                        ": a character device, but not a serial tty the kernel lists under "
                        "/sys/class/tty, so libserialport cannot look it up: " +
                        LOOKUP_FAILURE;
    } else {
        const std::string numbers = facts.adapter ? " " + facts.adapter->dev_numbers : "";
        return {Verdict::ok, "device",
                shown_path(facts) + ": character device" + numbers + ", the kernel's tty " +
                    base_name(resolution.path),
                ""};
    }
    return result;
}

CheckResult check_access(const SystemRoot& root, const Identity& identity, const DeviceFacts& facts)
{
    const std::string& node = facts.resolution.path;
    if (identity.uid == 0) {
        return {Verdict::ok, "access", "running as root, which may open " + node, ""};
    }
    const std::vector<GroupEntry> groups = read_groups(root);
    const mode_t mode = facts.info.st_mode;
    const std::string group = group_name(groups, facts.info.st_gid);
    const std::string owner = find_user(root, facts.info.st_uid)
                                  .value_or(PasswdEntry{"uid " + std::to_string(facts.info.st_uid)})
                                  .name;
    const std::optional<PasswdEntry> user = find_user(root, identity.uid);
    const std::string user_name = user ? user->name : "uid " + std::to_string(identity.uid);
    const std::string described = node + " is " + permission_text(mode) + " " + owner + ":" + group;

    const bool as_owner = identity.uid == facts.info.st_uid;
    const bool as_member = !as_owner && in_session_group(identity, facts.info.st_gid);
    const mode_t read_bit = as_owner ? S_IRUSR : as_member ? S_IRGRP : S_IROTH;
    const mode_t write_bit = as_owner ? S_IWUSR : as_member ? S_IWGRP : S_IWOTH;
    if ((mode & read_bit) != 0 && (mode & write_bit) != 0) {
        return {Verdict::ok, "access",
                described + "; " + user_name + " may read and write it" +
                    (as_member ? " as a member of " + group : ""),
                ""};
    }
    CheckResult result{Verdict::fail, "access", described + "; ", ""};
    const bool group_may = (mode & S_IRGRP) != 0 && (mode & S_IWGRP) != 0;
    if (!group_may || as_member) {
        result.reason +=
            "neither " + user_name + " nor " + group + " may read and write it: " + OPEN_FAILURE;
        result.fix = "run renumber with sudo, or have a udev rule give the adapter "
                     "MODE=\"0660\", GROUP=\"dialout\" and join dialout";
        return result;
    }
    const auto entry = std::find_if(groups.begin(), groups.end(), [&](const GroupEntry& g) {
        return g.gid == facts.info.st_gid;
    });
    const bool listed =
        (user && user->gid == facts.info.st_gid) ||
        (entry != groups.end() && std::find(entry->members.begin(), entry->members.end(),
                                            user_name) != entry->members.end());
    if (listed) {
        result.reason += "/etc/group puts " + user_name + " in " + group +
                         ", but this login session started before that: " + OPEN_FAILURE;
        result.fix = "log out and back in (or reboot); 'newgrp " + group +
                     "' gives one shell the group at once";
    } else {
        result.reason += user_name + " is not in " + group + ": " + OPEN_FAILURE;
        result.fix = "sudo usermod -aG " + group + " " + user_name +
                     ", then log out and back in (a new login is needed before it counts)";
    }
    return result;
}

CheckResult check_brltty(const SystemRoot& root, const DeviceFacts& facts)
{
    const bool running = is_running(facts.processes, "brltty");
    const std::vector<BrlttyRule> rules = brltty_rules(root);
    const BrlttyRule* naming = nullptr;
    std::string named_ids;
    for (const UsbIds& ids : candidate_ids(facts)) {
        for (const BrlttyRule& rule : rules) {
            if (naming == nullptr &&
                fnmatch(rule.product_pattern.c_str(), udev_product(ids).c_str(), 0) == 0) {
                naming = &rule;
                named_ids = format_ids(ids);
            }
        }
    }
    const std::string remove =
        "unless a braille display is used: sudo apt remove brltty (or sudo systemctl mask "
        "brltty-udev.service), then unplug and replug the adapter";
    if (naming != nullptr) {
        const std::string claim = "its udev rules (" + naming->file + ") claim " + named_ids +
                                  " (ENV{PRODUCT}==\"" + naming->product_pattern + "\")";
        if (running) {
            return {Verdict::fail, "brltty",
                    "brltty is running and " + claim +
                        ": it takes such adapters from the serial driver and their tty vanishes",
                    remove};
        }
        return {Verdict::warn, "brltty",
                "brltty is not running, but " + claim +
                    ": plugging this adapter in starts brltty, which takes it away",
                remove};
    }
    if (running) {
        return {Verdict::warn, "brltty",
                "brltty is running; its rules do not name this adapter, but it probes the USB "
                "serial adapters it knows",
                "stop it unless a braille display is used: sudo systemctl stop brltty"};
    }
    return {Verdict::ok, "brltty",
            rules.empty() ? "brltty is not running and has no udev rules"
                          : "brltty is not running and its udev rules do not name this adapter",
            ""};
}

CheckResult check_modem_manager(const SystemRoot& root, const DeviceFacts& facts)
{
    const std::vector<ProcessInfo>& processes = facts.processes;
    if (!is_running(processes, "ModemManager")) {
        return {Verdict::ok, "ModemManager", "ModemManager is not running", ""};
    }
    const std::string& node = facts.resolution.path;
    const std::string rule_fix = [&] {
        const std::optional<UsbIds> ids = facts.adapter ? facts.adapter->ids : std::nullopt;
        const std::string match = ids ? "ATTRS{idVendor}==\"" + format_ids(*ids).substr(0, 4) +
                                            "\", ATTRS{idProduct}==\"" +
                                            format_ids(*ids).substr(5) + "\", "
                                      : std::string();
        return "stop it while renumbering (sudo systemctl stop ModemManager), or add a udev rule "
               "such as SUBSYSTEM==\"tty\", " +
               match + "ENV{ID_MM_DEVICE_IGNORE}=\"1\" and replug the adapter";
    }();
    for (const ProcessInfo& process : processes) {
        if (process.command == "ModemManager" &&
            std::find(process.open_files.begin(), process.open_files.end(), node) !=
                process.open_files.end()) {
            return {Verdict::fail, "ModemManager",
                    "ModemManager (pid " + std::to_string(process.pid) + ") has " + node +
                        " open: it is probing the adapter as a modem",
                    rule_fix};
        }
    }
    if (!facts.adapter) {
        return {Verdict::warn, "ModemManager",
                "ModemManager is running; whether it leaves the adapter alone cannot be told "
                "without its tty",
                rule_fix};
    }
    const std::vector<std::string> properties = udev_properties(root, facts.adapter->dev_numbers);
    if (std::find(properties.begin(), properties.end(), "ID_MM_DEVICE_IGNORE=1") !=
        properties.end()) {
        return {Verdict::ok, "ModemManager",
                "ModemManager is running, but udev marks " + node +
                    " ID_MM_DEVICE_IGNORE=1, so it leaves the adapter alone",
                ""};
    }
    return {Verdict::warn, "ModemManager",
            "ModemManager is running and udev does not mark " + node +
                " ID_MM_DEVICE_IGNORE: it may open the adapter and send AT commands on the bus",
            rule_fix};
}

CheckResult check_holders(const DeviceFacts& facts)
{
    const std::string& node = facts.resolution.path;
    std::vector<std::string> holders;
    std::vector<std::string> pids;
    int uninspected = 0;
    bool modem_manager = false;
    for (const ProcessInfo& process : facts.processes) {
        uninspected += process.files_readable ? 0 : 1;
        const bool holds = std::find(process.open_files.begin(), process.open_files.end(), node) !=
                           process.open_files.end();
        // ModemManager has its own line and its own fix: killing it only gets it restarted.
        if (holds && process.command == "ModemManager") {
            modem_manager = true;
        } else if (holds) {
            holders.push_back("pid " + std::to_string(process.pid) + " (" + process.command + ")");
            pids.push_back(std::to_string(process.pid));
        }
    }
    if (!holders.empty()) {
        return {Verdict::fail, "holders",
                node + " is open in " + join(holders, ", ") +
                    ": libserialport 0.1.1 takes no lock, so renumber would share the line and "
                    "the motor's answers with them",
                "quit those programs first (or kill " + join(pids, " ") + ")"};
    }
    std::string reason = "no other process has " + node + " open" +
                         (modem_manager ? " apart from ModemManager (see its line)" : "");
    if (uninspected > 0) {
        reason += " among those you may inspect (" + std::to_string(uninspected) +
                  " belong to other users; sudo renumber-doctor checks them too)";
    }
    return {Verdict::ok, "holders", reason, ""};
}

CheckResult check_chip(const DeviceFacts& facts)
{
    const SerialAdapter& adapter = *facts.adapter;
    if (!adapter.ids) {
        return {Verdict::warn, "chip",
                adapter.name + " is not on USB (no USB ids above " + adapter.sys_path +
                    "), so it is not a USB-to-RS-485 adapter",
                "name the adapter's node; renumber-doctor without arguments lists them"};
    }
    const ChipRow* row = find_chip(*adapter.ids);
    const std::string label = chip_label(*adapter.ids, adapter.driver);
    if (row == nullptr) {
        return {Verdict::warn, "chip",
                "no documented maximum baud rate for " + label +
                    (adapter.product.empty() ? "" : ", \"" + adapter.product + "\""),
                "check the adapter's datasheet for 4,000,000 baud, or use one built on " +
                    std::string(FAST_CHIPS)};
    }
    if (row->max_baud == MAX_BAUD_VARIES) {
        return {Verdict::warn, "chip",
                label + " comes in revisions that sysfs cannot tell apart: " + row->note,
                "check the adapter's documentation for 4,000,000 baud, or use one built on " +
                    std::string(FAST_CHIPS)};
    }
    const std::string documented =
        label + " is documented up to " + format_baud(row->max_baud) + " baud";
    if (row->max_baud >= MOTOR_BUS_BAUD) {
        return {Verdict::ok, "chip",
                documented + "; the motor bus runs at " + format_baud(MOTOR_BUS_BAUD), ""};
    }
    return {Verdict::fail, "chip",
            documented + ", below the motor bus's " + format_baud(MOTOR_BUS_BAUD) +
                ": renumber stops with \"[Error] Set serial failure.\", or the driver picks "
                "another rate and no motor answers",
            "use an adapter built on " + std::string(FAST_CHIPS)};
}

CheckResult check_latency(const SystemRoot& root, const DeviceFacts& facts)
{
    const SerialAdapter& adapter = *facts.adapter;
    if (adapter.driver != FTDI_DRIVER) {
        return {Verdict::ok, "latency",
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
        return {Verdict::warn, "latency",
                "cannot read the FTDI latency timer: " +
                    (error ? describe_error(error, timer_file)
                           : timer_file + " holds \"" + value + "\""),
                ""};
    }
    const std::string timer = "FTDI latency timer is " + value + " ms";
    if (facts.typed.starts_with(LOW_LATENCY_PREFIX)) {
        return {Verdict::ok, "latency",
                timer +
                    "; renumber switches the port to low latency itself, since the path "
                    "begins with " +
                    LOW_LATENCY_PREFIX,
                ""};
    }
    if (value == "0" || value == "1") {
        return {Verdict::ok, "latency", timer, ""};
    }
    return {Verdict::warn, "latency",
            timer + ", and renumber asks for low latency only when the path begins with " +
                LOW_LATENCY_PREFIX + ", so through " + facts.typed + " every answer waits up to " +
                value + " ms in the adapter",
            "give renumber " + adapter.node + " instead, or lower the timer: echo 1 | sudo tee " +
                user_file};
}

Diagnosis diagnose(const SystemRoot& root, const Identity& identity, const std::string& typed)
{
    const DeviceFacts facts = gather_facts(root, typed);
    Diagnosis diagnosis;
    diagnosis.results.push_back(check_device_node(facts));
    if (!facts.resolution.error) {
        diagnosis.results.push_back(check_access(root, identity, facts));
    }
    diagnosis.results.push_back(check_brltty(root, facts));
    diagnosis.results.push_back(check_modem_manager(root, facts));
    // Who holds /dev/null or a pseudo-terminal says nothing about the motor bus.
    if (facts.library_finds_it) {
        diagnosis.results.push_back(check_holders(facts));
    }
    if (facts.adapter) {
        diagnosis.results.push_back(check_chip(facts));
        diagnosis.results.push_back(check_latency(root, facts));
    }
    for (const char* topic : {"access", "holders", "chip", "latency"}) {
        if (std::none_of(diagnosis.results.begin(), diagnosis.results.end(),
                         [topic](const CheckResult& result) { return result.topic == topic; })) {
            diagnosis.skipped.emplace_back(topic);
        }
    }
    return diagnosis;
}

int exit_status(const std::vector<CheckResult>& results)
{
    Verdict worst = Verdict::ok;
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

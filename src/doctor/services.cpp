// The services that take serial ports away from other programs: kernel consoles and their
// gettys, brltty and ModemManager. Each is judged by what the installed package really does.
#include "doctor/checks.h"

#include "doctor/chips.h"

#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// udev reads rules from these folders; a file in an earlier one replaces one of the same name
// in a later one.
constexpr std::array RULE_FOLDERS{"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                  "/lib/udev/rules.d"};
// systemd's unit folders, highest precedence first.
constexpr std::array UNIT_FOLDERS{"/etc/systemd/system", "/run/systemd/system",
                                  "/usr/lib/systemd/system", "/lib/systemd/system"};
constexpr std::array BRLTTY_UNITS{"brltty-udev.service", "brltty-device@.service",
                                  "brltty.service"};
constexpr std::array GETTIES{"agetty", "getty", "mgetty"};
constexpr std::array SINGLE_PORT_DRIVERS{"ftdi_sio", "ch341-uart", "cp210x", "pl2303"};

std::string join(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// ---- udev rules ----

struct RuleToken {
    std::string key; // "ENV{PRODUCT}", "ATTRS{idVendor}", "GOTO"
    std::string op;  // "==", "!=", "=", "+=", ":=", "-="
    std::string value;
};

std::vector<RuleToken> tokenize_rule(const std::string& line)
{
    std::vector<RuleToken> tokens;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t,", at);
        if (at == std::string::npos) {
            break;
        }
        const std::size_t op_at = line.find_first_of("=!+:-", at);
        const std::size_t quote = op_at == std::string::npos ? op_at : line.find('"', op_at);
        const std::size_t close = quote == std::string::npos ? quote : line.find('"', quote + 1);
        if (close == std::string::npos) {
            break;
        }
        std::string key = line.substr(at, op_at - at);
        key.erase(key.find_last_not_of(" \t") + 1);
        std::string op = line.substr(op_at, quote - op_at);
        op.erase(op.find_last_not_of(" \t") + 1);
        tokens.push_back({key, op, line.substr(quote + 1, close - quote - 1)});
        at = close + 1;
    }
    return tokens;
}

// udev's glob: fnmatch patterns joined by '|'.
bool udev_glob(const std::string& pattern, const std::string& text)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = pattern.find('|', start);
        if (fnmatch(pattern.substr(start, bar - start).c_str(), text.c_str(), 0) == 0) {
            return true;
        }
        if (bar == std::string::npos) {
            return false;
        }
        start = bar + 1;
    }
}

// udev's PRODUCT for a USB device: vendor/product/bcdDevice in lower-case hex, no leading zeros.
std::string udev_product(const UsbIds& ids)
{
    std::array<char, 20> text{};
    std::snprintf(text.data(), text.size(), "%x/%x/%x", static_cast<unsigned>(ids.vendor),
                  static_cast<unsigned>(ids.product), static_cast<unsigned>(ids.release));
    return text.data();
}

bool condition_holds(const RuleToken& token, const std::optional<std::string>& value)
{
    const bool equal = value && udev_glob(token.value, *value);
    return token.op == "==" ? equal : !equal;
}

std::string attribute_name(const std::string& key)
{
    const std::size_t open = key.find('{');
    return open == std::string::npos ? "" : key.substr(open + 1, key.size() - open - 2);
}

// ATTRS conditions hold only if one device, the USB device or a parent up the tree, matches all.
bool parents_match(const SystemRoot& root, const std::vector<RuleToken>& conditions,
                   const std::string& usb_device)
{
    if (conditions.empty()) {
        return true;
    }
    for (std::string folder = usb_device; folder.starts_with("/sys/devices/");
         folder = parent_path(folder)) {
        if (std::all_of(conditions.begin(), conditions.end(), [&](const RuleToken& token) {
                return condition_holds(
                    token, read_attribute(root, folder + "/" + attribute_name(token.key)));
            })) {
            return true;
        }
    }
    return false;
}

struct ClaimingRule {
    std::string file;
    std::string line;
};

// Rule lines that hand a USB device to brltty: they name it by ENV{PRODUCT} or by ATTRS ids.
std::vector<ClaimingRule> brltty_rules(const SystemRoot& root, bool& any_file)
{
    std::vector<ClaimingRule> rules;
    std::vector<std::string> seen;
    any_file = false;
    for (const char* folder : RULE_FOLDERS) {
        std::error_code error;
        for (const std::string& name : list_directory(root, folder, error)) {
            if (name.find("brltty") == std::string::npos || !name.ends_with(".rules") ||
                contains(seen, name)) {
                continue;
            }
            seen.push_back(name);
            any_file = true;
            const std::string file = std::string(folder) + "/" + name;
            // A rule file linked to /dev/null (how udev rules are masked) reads as empty.
            for (const std::string& line : read_lines(root, file)) {
                const std::size_t first = line.find_first_not_of(" \t");
                if (first == std::string::npos || line[first] == '#') {
                    continue;
                }
                if (line.find("ENV{PRODUCT}==") != std::string::npos ||
                    line.find("ATTRS{idVendor}==") != std::string::npos) {
                    rules.push_back({file, line.substr(first)});
                }
            }
        }
    }
    return rules;
}

// A unit file that exists and is not masked (linked to /dev/null).
std::vector<std::string> installed_units(const SystemRoot& root, const auto& names)
{
    std::vector<std::string> units;
    for (const char* unit : names) {
        for (const char* folder : UNIT_FOLDERS) {
            const std::string file = std::string(folder) + "/" + unit;
            if (!path_exists(root, file)) {
                continue;
            }
            const Resolution target = resolve_path(root, file);
            if (!target.error && target.path != "/dev/null") {
                units.emplace_back(unit);
            }
            break;
        }
    }
    return units;
}

struct UsbCandidate {
    std::string device; // folder under /sys/devices
    UsbIds ids;
};

// Adapters brltty might claim: this one, or, when its tty is gone, the chips left without one.
std::vector<UsbCandidate> candidates(const DeviceFacts& facts)
{
    std::vector<UsbCandidate> found;
    if (facts.adapter && facts.adapter->ids) {
        found.push_back({facts.adapter->usb_device, *facts.adapter->ids});
    } else if (!facts.adapter) {
        for (const ChipWithoutTty& chip : facts.chips_without_tty) {
            found.push_back({chip.device_path, chip.ids});
        }
    }
    return found;
}

std::string brltty_fix(const std::vector<std::string>& units)
{
    const std::string mask = units.empty()
                                 ? std::string("sudo apt remove brltty")
                                 : "sudo systemctl mask --now " + join(units, " ") +
                                       " (masking lasts across reboots; or sudo apt remove brltty)";
    return "unless a braille display is used: " + mask + ", then unplug and replug the adapter";
}

// ---- ModemManager ----

std::string filter_policy_in(const std::vector<std::string>& words)
{
    for (std::size_t at = 0; at < words.size(); ++at) {
        if (words[at].starts_with("--filter-policy=")) {
            return words[at].substr(16);
        }
        if (words[at] == "--filter-policy" && at + 1 < words.size()) {
            return words[at + 1];
        }
    }
    return "";
}

struct Policy {
    std::string name; // upper case: STRICT, LEGACY, PARANOID, ALLOWLIST-ONLY, ...
    std::string from; // where it was read
};

Policy filter_policy(const SystemRoot& root, int pid)
{
    std::string command_line;
    if (!read_file(root, "/proc/" + std::to_string(pid) + "/cmdline", command_line)) {
        std::replace(command_line.begin(), command_line.end(), '\0', ' ');
        const std::string policy = filter_policy_in(split_words(command_line));
        if (!policy.empty()) {
            return {policy, "its command line"};
        }
    }
    for (const char* folder : UNIT_FOLDERS) {
        const std::string unit = std::string(folder) + "/ModemManager.service";
        for (const std::string& line : read_lines(root, unit)) {
            if (line.starts_with("ExecStart=")) {
                const std::string policy = filter_policy_in(split_words(line.substr(10)));
                return {policy.empty() ? "STRICT" : policy,
                        unit +
                            (policy.empty() ? ", whose ExecStart names no --filter-policy" : "")};
            }
        }
    }
    return {"STRICT", "ModemManager's default"};
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool any_link_under(const SystemRoot& root, const std::string& folder, const std::string& device)
{
    std::error_code error;
    const std::vector<std::string> entries = list_directory(root, folder, error);
    return std::any_of(entries.begin(), entries.end(), [&](const std::string& entry) {
        std::string link = folder;
        link.append("/").append(entry);
        const Resolution target = resolve_path(root, link);
        return !target.error && target.path.starts_with(device + "/");
    });
}

int ports_under(const std::vector<SerialAdapter>& present, const std::string& device)
{
    return static_cast<int>(
        std::count_if(present.begin(), present.end(),
                      [&](const SerialAdapter& adapter) { return adapter.usb_device == device; }));
}

// Why a STRICT ModemManager leaves this port alone, or "" when it would probe it.
std::string strict_leaves_alone(const SystemRoot& root, const DeviceFacts& facts)
{
    const SerialAdapter& adapter = *facts.adapter;
    if (adapter.usb_device.empty()) {
        return "it never probes platform, PCI or PNP serial ports";
    }
    if (adapter.driver == "cdc_acm") {
        const auto protocol = read_attribute(root, adapter.sys_path + "/device/bInterfaceProtocol");
        const int value = protocol ? parse_hex_id(*protocol).value_or(0) : 0;
        // CDC ACM protocols 1 to 6 announce AT commands (V.250 and its variants).
        return value >= 1 && value <= 6
                   ? ""
                   : "the cdc_acm port does not advertise AT commands (bInterfaceProtocol " +
                         protocol.value_or("?") + ")";
    }
    if (std::find(SINGLE_PORT_DRIVERS.begin(), SINGLE_PORT_DRIVERS.end(), adapter.driver) ==
        SINGLE_PORT_DRIVERS.end()) {
        return "";
    }
    if (ports_under(facts.present, adapter.usb_device) > 1 ||
        any_link_under(root, "/sys/class/net", adapter.usb_device)) {
        return "";
    }
    return "it never probes a single-port " + adapter.driver +
           " adapter without a network interface";
}

std::string ignore_mark(const SystemRoot& root, const SerialAdapter& adapter)
{
    const std::vector<std::string> port = udev_properties(root, adapter.dev_numbers);
    for (const char* mark : {"ID_MM_DEVICE_IGNORE=1", "ID_MM_PORT_IGNORE=1"}) {
        if (contains(port, mark)) {
            return "udev marks " + adapter.node + " " + mark;
        }
    }
    if (!adapter.usb_device.empty() &&
        contains(usb_udev_properties(root, adapter.usb_device), "ID_MM_DEVICE_IGNORE=1")) {
        return "udev marks its USB device " + base_name(adapter.usb_device) +
               " ID_MM_DEVICE_IGNORE=1";
    }
    return "";
}

bool allowed_explicitly(const SystemRoot& root, const SerialAdapter& adapter)
{
    const std::string mark = "ID_MM_DEVICE_PROCESS=1";
    return contains(udev_properties(root, adapter.dev_numbers), mark) ||
           (!adapter.usb_device.empty() &&
            contains(usb_udev_properties(root, adapter.usb_device), mark));
}

// ---- consoles ----

// "ttyAMA0" from "console=ttyAMA0,115200"; "serial0" (a Raspberry Pi alias) through /dev.
std::string console_tty(const SystemRoot& root, const std::string& value)
{
    const std::string name = value.substr(0, value.find(','));
    const Resolution resolved = resolve_path(root, "/dev/" + name);
    return !resolved.error && resolved.path.starts_with("/dev/") ? resolved.path.substr(5) : name;
}

struct ConsoleSource {
    std::string where; // "console=ttyAMA0,115200 on the kernel command line and ..."
    std::string entry; // "console=ttyAMA0,115200", as the command line spells it
};

ConsoleSource console_source(const SystemRoot& root, const std::string& name)
{
    std::string content;
    std::vector<std::string> sources;
    std::string entry;
    if (!read_file(root, "/proc/cmdline", content)) {
        for (const std::string& word : split_words(content)) {
            if (word.starts_with("console=") && console_tty(root, word.substr(8)) == name) {
                sources.push_back(word + " on the kernel command line");
                entry = word;
                break;
            }
        }
    }
    if (!read_file(root, "/sys/class/tty/console/active", content) &&
        contains(split_words(content), name)) {
        sources.emplace_back("/sys/class/tty/console/active");
    }
    return {join(sources, " and "), entry.empty() ? "console=" + name : entry};
}

std::string cmdline_file(const SystemRoot& root)
{
    for (const char* file : {"/boot/firmware/cmdline.txt", "/boot/cmdline.txt"}) {
        if (path_exists(root, file)) {
            return std::string("remove it from ") + file;
        }
    }
    return "remove it from GRUB_CMDLINE_LINUX in /etc/default/grub and run sudo update-grub";
}

} // namespace

bool has_own_line(const std::string& command)
{
    return command == "ModemManager" ||
           std::find(GETTIES.begin(), GETTIES.end(), command) != GETTIES.end();
}

bool udev_rule_matches(const SystemRoot& root, const std::string& line,
                       const std::string& usb_device, const UsbIds& ids)
{
    std::vector<RuleToken> parent_conditions;
    for (const RuleToken& token : tokenize_rule(line)) {
        if (token.op != "==" && token.op != "!=") {
            continue; // an assignment
        }
        if (token.key == "ENV{PRODUCT}") {
            if (!condition_holds(token, udev_product(ids))) {
                return false;
            }
        } else if (token.key.starts_with("ATTRS{")) {
            parent_conditions.push_back(token);
        } else if (token.key.starts_with("ATTR{")) {
            if (!condition_holds(
                    token, read_attribute(root, usb_device + "/" + attribute_name(token.key)))) {
                return false;
            }
        }
        // ACTION, SUBSYSTEM, ENV{DEVTYPE} and the like hold for some event of the device.
    }
    return parents_match(root, parent_conditions, usb_device);
}

CheckResult check_console(const SystemRoot& root, const DeviceFacts& facts)
{
    const std::string name = base_name(facts.resolution.path);
    const ConsoleSource console = console_source(root, name);
    const std::string& source = console.where;
    std::vector<std::string> getties;
    for (const ProcessInfo& process : facts.processes) {
        if (std::find(GETTIES.begin(), GETTIES.end(), process.command) != GETTIES.end() &&
            contains(process.open_files, facts.resolution.path)) {
            getties.push_back(process.command + " (pid " + std::to_string(process.pid) + ")");
        }
    }
    if (source.empty() && getties.empty()) {
        return {CheckVerdict::ok, "console", name + " is no kernel console and no getty holds it",
                ""};
    }
    std::string reason;
    std::vector<std::string> fixes;
    if (!getties.empty()) {
        reason = "a login prompt runs on " + name + ": " + join(getties, ", ") +
                 " holds it, and systemd starts a new one when it is killed";
        fixes.push_back("sudo systemctl disable --now serial-getty@" + name + ".service");
    }
    if (!source.empty()) {
        reason += (reason.empty() ? "" : "; ") + name + " is a kernel console (" + source +
                  "): the kernel writes its messages into the motor bus";
        fixes.push_back("take the " + console.entry + " entry off the kernel command line (" +
                        cmdline_file(root) + ") and reboot");
    }
    if (getties.empty()) {
        fixes.insert(fixes.begin(), "sudo systemctl disable --now serial-getty@" + name +
                                        ".service (a console gets a getty at boot)");
    }
    return {CheckVerdict::fail, "console", reason, join(fixes, "; ")};
}

CheckResult check_brltty(const SystemRoot& root, const DeviceFacts& facts)
{
    const bool running = is_running(facts.processes, "brltty");
    bool any_file = false;
    const std::vector<ClaimingRule> rules = brltty_rules(root, any_file);
    const std::vector<std::string> units = installed_units(root, BRLTTY_UNITS);
    const ClaimingRule* naming = nullptr;
    std::string named_ids;
    for (const UsbCandidate& candidate : candidates(facts)) {
        for (const ClaimingRule& rule : rules) {
            if (naming == nullptr &&
                udev_rule_matches(root, rule.line, candidate.device, candidate.ids)) {
                naming = &rule;
                named_ids = format_ids(candidate.ids);
            }
        }
    }
    const bool taken =
        !facts.adapter &&
        std::any_of(facts.chips_without_tty.begin(), facts.chips_without_tty.end(),
                    [](const ChipWithoutTty& chip) { return chip.interface_driver == "usbfs"; });
    if (naming != nullptr) {
        const std::string claim =
            "its udev rules (" + naming->file + ") claim " + named_ids + ": " + naming->line;
        return running ? CheckResult{CheckVerdict::fail, "brltty",
                                     "brltty is running and " + claim +
                                         "; it takes such adapters from the serial driver and "
                                         "their tty vanishes",
                                     brltty_fix(units)}
                       : CheckResult{CheckVerdict::warn, "brltty",
                                     "brltty is not running, but " + claim +
                                         "; plugging this adapter in starts brltty, which takes it",
                                     brltty_fix(units)};
    }
    const std::string packaging =
        any_file ? "its udev rules do not claim this adapter"
                 : "no brltty udev rules are installed, so no adapter starts it";
    if (running && taken) {
        return {CheckVerdict::fail, "brltty",
                "brltty is running and a USB serial chip's interface is held by usbfs, as "
                "brltty holds what it claims (" +
                    packaging + ", but " + join(units, ", ") +
                    " probes USB devices for braille displays when it starts)",
                brltty_fix(units)};
    }
    if (running) {
        return {CheckVerdict::warn, "brltty",
                "brltty is running" + (units.empty() ? "" : " (" + join(units, ", ") + ")") + "; " +
                    packaging +
                    ", but when it starts it probes the USB devices its braille drivers know",
                brltty_fix(units)};
    }
    return {CheckVerdict::ok, "brltty", "brltty is not running and " + packaging, ""};
}

CheckResult check_modem_manager(const SystemRoot& root, const DeviceFacts& facts)
{
    const auto process =
        std::find_if(facts.processes.begin(), facts.processes.end(),
                     [](const ProcessInfo& p) { return p.command == "ModemManager"; });
    if (process == facts.processes.end()) {
        return {CheckVerdict::ok, "ModemManager", "ModemManager is not running", ""};
    }
    const std::string& node = facts.resolution.path;
    const std::optional<UsbIds> ids = facts.adapter ? facts.adapter->ids : std::nullopt;
    const std::string match = ids ? "ATTRS{idVendor}==\"" + format_ids(*ids).substr(0, 4) +
                                        "\", ATTRS{idProduct}==\"" + format_ids(*ids).substr(5) +
                                        "\", "
                                  : std::string();
    const std::string rule_fix =
        "add a udev rule such as SUBSYSTEM==\"tty\", " + match +
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\" and replug the adapter, or sudo systemctl disable --now "
        "ModemManager";
    if (contains(process->open_files, node)) {
        return {CheckVerdict::fail, "ModemManager",
                "ModemManager (pid " + std::to_string(process->pid) + ") has " + node +
                    " open: it is probing the adapter as a modem",
                rule_fix};
    }
    const std::string unseen =
        process->files_readable
            ? ""
            : "; it runs as root, so only sudo renumber-doctor sees whether it has the port open";
    if (!facts.adapter) {
        return {CheckVerdict::warn, "ModemManager",
                "ModemManager is running; whether it leaves the adapter alone cannot be told "
                "without its tty" +
                    unseen,
                rule_fix};
    }
    const Policy policy = filter_policy(root, process->pid);
    const std::string running =
        "ModemManager is running with filter policy " + policy.name + " (" + policy.from + ")";
    const std::string mark = ignore_mark(root, *facts.adapter);
    if (!mark.empty()) {
        return {CheckVerdict::ok, "ModemManager",
                running + ", but " + mark + ", so it leaves the port alone" + unseen, ""};
    }
    const std::string name = upper(policy.name);
    std::string alone;
    if (name == "ALLOWLIST-ONLY" || name == "WHITELIST-ONLY") {
        alone = allowed_explicitly(root, *facts.adapter)
                    ? ""
                    : "it probes only devices udev marks ID_MM_DEVICE_PROCESS";
    } else if (name == "STRICT" || name == "PARANOID") {
        alone = strict_leaves_alone(root, facts);
    }
    if (!alone.empty()) {
        return {CheckVerdict::ok, "ModemManager", running + ": " + alone + unseen, ""};
    }
    return {CheckVerdict::warn, "ModemManager",
            running + " and nothing marks " + node +
                " ID_MM_DEVICE_IGNORE: it may open the port and send AT commands on the bus" +
                unseen,
            rule_fix};
}

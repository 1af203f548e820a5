// The one pass that reads the machine for the checks: every file the doctor looks at is read
// here, into the records of checks.h (the node's access, which needs libacl, in access.cpp).
#include "doctor/checks.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string_view>

namespace {

constexpr char PACKAGE_DATABASE[] = "/var/lib/dpkg/status";
// udev reads rules from these folders; a file in an earlier one replaces one of the same name
// in a later one.
constexpr std::array RULE_FOLDERS{"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                  "/lib/udev/rules.d"};
// systemd's unit folders, highest precedence first.
constexpr std::array UNIT_FOLDERS{"/etc/systemd/system", "/run/systemd/system",
                                  "/usr/lib/systemd/system", "/lib/systemd/system"};
constexpr std::array BRLTTY_UNITS{"brltty-udev.service", "brltty-device@.service",
                                  "brltty.service"};

// What a terminal that is no serial port is, or "" for anything else. /dev/tty, /dev/console
// and /dev/ptmx are major 5, pseudo-terminals 136 to 143, virtual consoles major 4 below 64.
std::string terminal_kind(const std::string& path, const struct stat& info)
{
    const bool device = S_ISCHR(info.st_mode);
    const unsigned major_number = device ? major(info.st_rdev) : 0;
    const unsigned minor_number = device ? minor(info.st_rdev) : 0;
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
    return numbered || (major_number == 4 && minor_number < 64) ? "a virtual console" : "";
}

// "ttyAMA0" from "console=ttyAMA0,115200"; "serial0" (a Raspberry Pi alias) through /dev.
std::string console_tty(const SystemRoot& root, const std::string& value)
{
    const std::string name = value.substr(0, value.find(','));
    const Resolution resolved = resolve_path(root, "/dev/" + name);
    return !resolved.error && resolved.path.starts_with("/dev/") ? resolved.path.substr(5) : name;
}

ConsoleFacts gather_console(const SystemRoot& root)
{
    ConsoleFacts console;
    std::string content;
    if (!read_file(root, "/proc/cmdline", content)) {
        for (const std::string& word : split_words(content)) {
            if (word.starts_with("console=")) {
                console.command_line.emplace_back(word, console_tty(root, word.substr(8)));
            }
        }
    }
    if (!read_file(root, "/sys/class/tty/console/active", content)) {
        console.active = split_words(content);
    }
    for (const char* file : {"/boot/firmware/cmdline.txt", "/boot/cmdline.txt"}) {
        if (console.boot_file.empty() && path_exists(root, file)) {
            console.boot_file = file;
        }
    }
    return console;
}

// Rule lines that hand a USB device to brltty: they name it by ENV{PRODUCT} or by ATTRS ids.
void brltty_rules(const SystemRoot& root, BrlttyFacts& brltty)
{
    std::vector<std::string> seen;
    for (const char* folder : RULE_FOLDERS) {
        std::error_code error;
        for (const std::string& name : list_directory(root, folder, error)) {
            if (name.find("brltty") == std::string::npos || !name.ends_with(".rules") ||
                std::find(seen.begin(), seen.end(), name) != seen.end()) {
                continue;
            }
            seen.push_back(name);
            brltty.any_rule_file = true;
            const std::string file = std::string(folder) + "/" + name;
            // A rule file linked to /dev/null (how udev rules are masked) reads as empty.
            for (const std::string& line : read_lines(root, file)) {
                const std::size_t first = line.find_first_not_of(" \t");
                if (first != std::string::npos && line[first] != '#' &&
                    (line.find("ENV{PRODUCT}==") != std::string::npos ||
                     line.find("ATTRS{idVendor}==") != std::string::npos)) {
                    brltty.rules.push_back({file, line.substr(first)});
                }
            }
        }
    }
}

// Unit files that exist and are not masked (linked to /dev/null).
std::vector<std::string> installed_units(const SystemRoot& root)
{
    std::vector<std::string> units;
    for (const char* unit : BRLTTY_UNITS) {
        for (const char* folder : UNIT_FOLDERS) {
            const std::string file = std::string(folder) + "/" + unit;
            if (path_exists(root, file)) {
                const Resolution target = resolve_path(root, file);
                if (!target.error && target.path != "/dev/null") {
                    units.emplace_back(unit);
                }
                break;
            }
        }
    }
    return units;
}

UsbChain usb_chain(const SystemRoot& root, const std::string& device, const UsbIds& ids,
                   const std::vector<std::string>& names)
{
    UsbChain chain{device, ids, {}};
    for (std::string folder = device; folder.starts_with("/sys/devices/");
         folder = parent_path(folder)) {
        std::map<std::string, std::string>& attributes = chain.attributes.emplace_back();
        for (const std::string& name : names) {
            std::string file = folder;
            file.append("/").append(name);
            if (const auto value = read_attribute(root, file)) {
                attributes[name] = *value;
            }
        }
    }
    return chain;
}

BrlttyFacts gather_brltty(const SystemRoot& root, const DeviceFacts& facts)
{
    BrlttyFacts brltty;
    brltty.running = is_running(facts.processes, "brltty");
    brltty_rules(root, brltty);
    brltty.units = installed_units(root);
    brltty.version = installed_version(root, "brltty");
    // The attributes brltty itself asks of a CH340 (its parent hub), and those its rules name.
    std::vector<std::string> names{"idVendor", "idProduct"};
    for (const UdevRule& rule : brltty.rules) {
        for (const std::string& name : rule_attributes(rule.line)) {
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(name);
            }
        }
    }
    if (facts.adapter && facts.adapter->ids) {
        brltty.candidates.push_back(
            usb_chain(root, facts.adapter->usb_device, *facts.adapter->ids, names));
    } else if (!facts.adapter) {
        for (const ChipWithoutTty& chip : facts.chips_without_tty) {
            brltty.candidates.push_back(usb_chain(root, chip.device_path, chip.ids, names));
        }
    }
    return brltty;
}

int count_links_under(const SystemRoot& root, const std::string& folder, const std::string& device)
{
    std::error_code error;
    const std::vector<std::string> entries = list_directory(root, folder, error);
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const auto& entry) {
        const Resolution target = resolve_path(root, folder + "/" + entry);
        return !target.error && target.path.starts_with(device + "/");
    }));
}

std::optional<int> interface_number(const SystemRoot& root, const std::string& file)
{
    const auto text = read_attribute(root, file);
    const auto value = text ? parse_hex_id(*text) : std::nullopt;
    return value ? std::optional<int>(*value) : std::nullopt;
}

ModemManagerFacts gather_modem_manager(const SystemRoot& root, const DeviceFacts& facts)
{
    ModemManagerFacts modem;
    const auto process =
        std::find_if(facts.processes.begin(), facts.processes.end(),
                     [](const ProcessInfo& p) { return p.command == "ModemManager"; });
    if (process != facts.processes.end()) {
        modem.process = *process;
        std::string command_line;
        if (!read_file(root, "/proc/" + std::to_string(process->pid) + "/cmdline", command_line)) {
            std::replace(command_line.begin(), command_line.end(), '\0', ' ');
            modem.command_line = split_words(command_line);
        }
    }
    if (!facts.adapter) {
        return modem;
    }
    const SerialAdapter& adapter = *facts.adapter;
    modem.physdev_subsystem = adapter.bus;
    modem.port_properties = udev_properties(root, adapter.dev_numbers);
    if (!adapter.usb_device.empty()) {
        modem.device_properties = usb_udev_properties(root, adapter.usb_device);
        // usb-serial drivers put a port device between the interface and the tty.
        std::string interface = resolve_path(root, adapter.sys_path + "/device").path;
        if (!path_exists(root, interface + "/bInterfaceClass")) {
            interface = parent_path(interface);
        }
        modem.interface_class = interface_number(root, interface + "/bInterfaceClass").value_or(-1);
        modem.interface_subclass =
            interface_number(root, interface + "/bInterfaceSubClass").value_or(-1);
        modem.interface_protocol =
            interface_number(root, interface + "/bInterfaceProtocol").value_or(-1);
        const int nets = count_links_under(root, "/sys/class/net", adapter.usb_device);
        modem.net_port = nets > 0;
        modem.device_ports =
            nets + static_cast<int>(std::count_if(
                       facts.present.begin(), facts.present.end(),
                       [&](const SerialAdapter& a) { return a.usb_device == adapter.usb_device; }));
    }
    return modem;
}

LatencyFacts gather_latency(const SystemRoot& root, const SerialAdapter& adapter)
{
    const std::string timer_file = "/sys/class/tty/" + adapter.name + "/device/latency_timer";
    std::string content;
    const SysError error = read_file(root, timer_file, content);
    return {content.substr(0, content.find('\n')), error ? describe_error(error, timer_file) : ""};
}

} // namespace

std::string installed_version(const SystemRoot& root, const std::string& package)
{
    // The database runs to thousands of stanzas: only the package's own are looked at.
    std::string database;
    if (read_file(root, PACKAGE_DATABASE, database)) {
        return "";
    }
    const std::string heading = "\nPackage: " + package + "\n";
    // The first stanza has no empty line before it.
    const bool first = std::string_view(database).starts_with(heading.substr(1));
    for (std::size_t at = first ? 0 : database.find(heading); at != std::string::npos;
         at = database.find(heading, at + 1)) {
        const std::size_t end = std::min(database.find("\n\n", at + 1), database.size());
        std::string version;
        bool installed = false;
        for (std::size_t line = at == 0 && first ? 0 : at + 1; line < end;) {
            const std::size_t stop = std::min(database.find('\n', line), end);
            const std::string_view text(database.data() + line, stop - line);
            installed = installed || (text.starts_with("Status: ") && text.ends_with(" installed"));
            if (text.starts_with("Version: ")) {
                version = text.substr(9);
            }
            line = stop + 1;
        }
        if (installed) {
            return version;
        }
    }
    return "";
}

DeviceFacts gather_line_facts(const Machine& machine, const std::string& typed,
                              std::chrono::steady_clock::time_point scan_until)
{
    const SystemRoot& root = machine.root;
    DeviceFacts facts;
    facts.typed = typed;
    facts.resolution = resolve_path(root, typed);
    facts.present = find_adapters(root, facts.ports_error);
    facts.chips_without_tty = find_chips_without_tty(root, facts.present);
    facts.processes = scan_processes(root, machine.self, facts.processes_error,
                                     facts.processes_cut_short, scan_until);
    facts.serial_library_version = installed_version(root, "libserialport0");
    facts.console = gather_console(root);
    if (!facts.resolution.error && !stat_path(root, facts.resolution.path, facts.info)) {
        // libserialport goes by the name alone; whether a character device sits there is the
        // device check's own question.
        const std::string& resolved = facts.resolution.path;
        facts.terminal = terminal_kind(resolved, facts.info);
        facts.library_finds_it = machine.library_finds(machine, resolved);
        if (facts.library_finds_it && facts.terminal.empty()) {
            facts.adapter = describe_tty(root, resolved.substr(5));
        }
    }
    if (!facts.resolution.error) {
        facts.lock_holders = lock_holders(root, facts.info);
    }
    facts.brltty = gather_brltty(root, facts);
    facts.modem = gather_modem_manager(root, facts);
    if (facts.adapter && facts.adapter->driver == "ftdi_sio") {
        facts.latency = gather_latency(root, *facts.adapter);
    }
    return facts;
}

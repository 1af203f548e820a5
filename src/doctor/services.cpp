// The services that take serial ports away from other programs: kernel consoles and their
// gettys, brltty and ModemManager. Each is judged by what the running program really does.
#include "doctor/checks.h"

#include "adapter/chips.h"

#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::array GETTIES{"agetty", "getty", "mgetty"};
// ModemManager's own modem drivers, which STRICT always probes (mm-filter.c).
constexpr std::array MODEM_DRIVERS{"option", "option1", "qcserial", "qcaux", "nozomi", "sierra"};
// Since brltty 6.5 its one braille driver that lists the CH340 wants this hub above it.
constexpr std::uint16_t CH340_VENDOR = 0x1a86;
constexpr std::uint16_t CH340_PRODUCT = 0x7523;
constexpr char BRLTTY_HUB_VENDOR[] = "1a40";
constexpr char BRLTTY_HUB_PRODUCT[] = "0101";

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
bool parents_match(const std::vector<RuleToken>& conditions, const UsbChain& chain)
{
    if (conditions.empty()) {
        return true;
    }
    return std::any_of(chain.attributes.begin(), chain.attributes.end(), [&](const auto& device) {
        return std::all_of(conditions.begin(), conditions.end(), [&](const RuleToken& token) {
            const auto found = device.find(attribute_name(token.key));
            return condition_holds(token, found != device.end()
                                              ? std::optional<std::string>(found->second)
                                              : std::nullopt);
        });
    });
}

std::string brltty_fix(const std::vector<std::string>& units)
{
    const std::string mask = units.empty()
                                 ? std::string("sudo apt remove brltty")
                                 : "sudo systemctl mask --now " + join(units, " ") +
                                       " (masking lasts across reboots; or sudo apt remove brltty)";
    return "unless a braille display is used: " + mask + ", then unplug and replug the adapter";
}

// brltty 6.5 on takes a CH340 only behind the hub its Baum driver names.
bool brltty_leaves_ch340(const BrlttyFacts& brltty, const UsbChain& chain)
{
    if (chain.ids.vendor != CH340_VENDOR || chain.ids.product != CH340_PRODUCT ||
        brltty.version.empty() || version_numbers(brltty.version) < std::vector<int>{6, 5}) {
        return false;
    }
    return std::none_of(chain.attributes.begin() + (chain.attributes.empty() ? 0 : 1),
                        chain.attributes.end(), [](const auto& device) {
                            const auto vendor = device.find("idVendor");
                            const auto product = device.find("idProduct");
                            return vendor != device.end() && product != device.end() &&
                                   vendor->second == BRLTTY_HUB_VENDOR &&
                                   product->second == BRLTTY_HUB_PRODUCT;
                        });
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

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The running process decides: without --filter-policy it runs its default, STRICT. The policy's
// name, then where it comes from.
std::string filter_policy(const ModemManagerFacts& modem)
{
    const std::string named =
        modem.command_line ? filter_policy_in(*modem.command_line) : std::string();
    if (!named.empty()) {
        return upper(named) + " (its command line)";
    }
    return modem.command_line ? "STRICT (its default: its command line names none)"
                              : "STRICT (its default; its command line could not be read)";
}

bool marked(const ModemManagerFacts& modem, const std::string& mark)
{
    return contains(modem.port_properties, mark) || contains(modem.device_properties, mark);
}

// Why STRICT (mm-filter.c) leaves this port alone, or "" when it probes it.
std::string strict_leaves_alone(const ModemManagerFacts& modem, const SerialAdapter& adapter)
{
    if (modem.physdev_subsystem != "usb") {
        return "it never probes platform, PCI or PNP serial ports";
    }
    if (std::find(MODEM_DRIVERS.begin(), MODEM_DRIVERS.end(), adapter.driver) !=
        MODEM_DRIVERS.end()) {
        return "";
    }
    const std::string interface = std::to_string(modem.interface_class) + "/" +
                                  std::to_string(modem.interface_subclass) + "/" +
                                  std::to_string(modem.interface_protocol);
    if (adapter.driver == "cdc_acm" &&
        (modem.interface_class != 2 || modem.interface_subclass != 2 ||
         modem.interface_protocol < 1 || modem.interface_protocol > 6)) {
        return "the cdc_acm port does not advertise AT commands (interface " + interface + ")";
    }
    // Any other tty is only "maybe forbidden": probed when the device also has a network
    // interface, or, for cdc_acm, another port.
    if (modem.net_port || (adapter.driver == "cdc_acm" && modem.device_ports > 1)) {
        return "";
    }
    return adapter.driver == "cdc_acm"
               ? "it never probes a cdc_acm device whose one port is this ttyACM"
               : "it never probes a " +
                     (adapter.driver.empty() ? std::string("serial") : adapter.driver) +
                     " port of a device without a network interface";
}

// ---- consoles ----

std::string boot_fix(const ConsoleFacts& console)
{
    return console.boot_file.empty()
               ? "remove it from GRUB_CMDLINE_LINUX in /etc/default/grub and run sudo update-grub"
               : "remove it from " + console.boot_file;
}

} // namespace

bool has_own_line(const std::string& command)
{
    return command == "ModemManager" ||
           std::find(GETTIES.begin(), GETTIES.end(), command) != GETTIES.end();
}

std::vector<std::string> rule_attributes(const std::string& line)
{
    std::vector<std::string> names;
    for (const RuleToken& token : tokenize_rule(line)) {
        if (token.key.starts_with("ATTR{") || token.key.starts_with("ATTRS{")) {
            names.push_back(attribute_name(token.key));
        }
    }
    return names;
}

bool udev_rule_matches(const std::string& line, const UsbChain& chain)
{
    std::vector<RuleToken> parent_conditions;
    for (const RuleToken& token : tokenize_rule(line)) {
        if (token.op != "==" && token.op != "!=") {
            continue; // an assignment
        }
        if (token.key == "ENV{PRODUCT}") {
            if (!condition_holds(token, udev_product(chain.ids))) {
                return false;
            }
        } else if (token.key.starts_with("ATTRS{")) {
            parent_conditions.push_back(token);
        } else if (token.key.starts_with("ATTR{")) {
            const UsbChain own{chain.device,
                               chain.ids,
                               {chain.attributes.empty() ? std::map<std::string, std::string>{}
                                                         : chain.attributes.front()}};
            if (!parents_match({token}, own)) {
                return false;
            }
        }
        // ACTION, SUBSYSTEM, ENV{DEVTYPE} and the like hold for some event of the device.
    }
    return parents_match(parent_conditions, chain);
}

CheckResult check_console(const DeviceFacts& facts)
{
    const std::string name = base_name(facts.resolution.path);
    const ConsoleFacts& console = facts.console;
    std::vector<std::string> sources;
    std::string entry = "console=" + name;
    for (const auto& [word, tty] : console.command_line) {
        if (tty == name) {
            sources.push_back(word + " on the kernel command line");
            entry = word;
            break;
        }
    }
    if (contains(console.active, name)) {
        sources.emplace_back("/sys/class/tty/console/active");
    }
    const std::string source = join(sources, " and ");
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
        fixes.push_back("take the " + entry + " entry off the kernel command line (" +
                        boot_fix(console) + ") and reboot");
    }
    if (getties.empty()) {
        fixes.insert(fixes.begin(), "sudo systemctl disable --now serial-getty@" + name +
                                        ".service (a console gets a getty at boot)");
    }
    return {CheckVerdict::fail, "console", reason, join(fixes, "; ")};
}

CheckResult check_brltty(const DeviceFacts& facts)
{
    const BrlttyFacts& brltty = facts.brltty;
    const UdevRule* naming = nullptr;
    std::string named_ids;
    for (const UsbChain& candidate : brltty.candidates) {
        for (const UdevRule& rule : brltty.rules) {
            if (naming == nullptr && udev_rule_matches(rule.line, candidate)) {
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
        return brltty.running
                   ? CheckResult{CheckVerdict::fail, "brltty",
                                 "brltty is running and " + claim +
                                     "; it takes such adapters from the serial driver and "
                                     "their tty vanishes",
                                 brltty_fix(brltty.units)}
                   : CheckResult{CheckVerdict::warn, "brltty",
                                 "brltty is not running, but " + claim +
                                     "; plugging this adapter in starts brltty, which takes it",
                                 brltty_fix(brltty.units)};
    }
    const std::string packaging =
        brltty.any_rule_file ? "its udev rules do not claim this adapter"
                             : "no brltty udev rules are installed, so no adapter starts it";
    if (brltty.running && taken) {
        return {CheckVerdict::fail, "brltty",
                "brltty is running and a USB serial chip's interface is held by usbfs, as "
                "brltty holds what it claims (" +
                    packaging + ", but " + join(brltty.units, ", ") +
                    " probes USB devices for braille displays when it starts)",
                brltty_fix(brltty.units)};
    }
    const bool left_alone =
        !brltty.candidates.empty() &&
        std::all_of(brltty.candidates.begin(), brltty.candidates.end(),
                    [&](const UsbChain& chain) { return brltty_leaves_ch340(brltty, chain); });
    if (brltty.running && left_alone) {
        return {CheckVerdict::ok, "brltty",
                "brltty " + brltty.version + " is running, but " + packaging +
                    ", and it takes a CH340 only behind the hub 1a40:0101, which this one is "
                    "not on",
                ""};
    }
    if (brltty.running) {
        return {CheckVerdict::warn, "brltty",
                "brltty is running" +
                    (brltty.units.empty() ? "" : " (" + join(brltty.units, ", ") + ")") + "; " +
                    packaging +
                    ", but when it starts it probes the USB devices its braille drivers know",
                brltty_fix(brltty.units)};
    }
    return {CheckVerdict::ok, "brltty", "brltty is not running and " + packaging, ""};
}

CheckResult check_modem_manager(const DeviceFacts& facts)
{
    const ModemManagerFacts& modem = facts.modem;
    if (!modem.process) {
        return {CheckVerdict::ok, "ModemManager", "ModemManager is not running", ""};
    }
    const ProcessInfo& process = *modem.process;
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
    if (contains(process.open_files, node)) {
        return {CheckVerdict::fail, "ModemManager",
                "ModemManager (pid " + std::to_string(process.pid) + ") has " + node +
                    " open: it is probing the adapter as a modem",
                rule_fix};
    }
    const std::string unseen =
        process.files_readable
            ? ""
            : "; it runs as root, so only sudo renumber-doctor sees whether it has the port open";
    if (!facts.adapter) {
        return {CheckVerdict::warn, "ModemManager",
                "ModemManager is running; whether it leaves the adapter alone cannot be told "
                "without its tty" +
                    unseen,
                rule_fix};
    }
    const std::string policy = filter_policy(modem);
    const std::string running = "ModemManager is running with filter policy " + policy;
    for (const char* mark : {"ID_MM_DEVICE_IGNORE=1", "ID_MM_PORT_IGNORE=1"}) {
        if (contains(modem.port_properties, mark) || contains(modem.device_properties, mark)) {
            std::string reason = running + ", but udev marks ";
            reason += contains(modem.port_properties, mark)
                          ? node
                          : "its USB device " + base_name(facts.adapter->usb_device);
            reason.append(" ").append(mark).append(", so it leaves the port alone").append(unseen);
            return {CheckVerdict::ok, "ModemManager", reason, ""};
        }
    }
    std::string alone;
    const std::string name = policy.substr(0, policy.find(' '));
    if (name == "ALLOWLIST-ONLY" || name == "WHITELIST-ONLY") {
        alone = marked(modem, "ID_MM_DEVICE_PROCESS=1")
                    ? ""
                    : "it probes only devices udev marks ID_MM_DEVICE_PROCESS";
    } else if ((name == "STRICT" || name == "PARANOID") &&
               !marked(modem, "ID_MM_DEVICE_PROCESS=1")) {
        alone = strict_leaves_alone(modem, *facts.adapter);
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

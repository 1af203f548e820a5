#include "doctor/doctor.h"

#include "adapter/chips.h"
#include "adapter/sysroot.h"
#include "doctor/checks.h"
#include "doctor/inventory.h"
#include "version.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

namespace {

constexpr char USAGE[] =
    "renumber-doctor " RENUMBER_VERSION
    ": finds what would stop renumber at the bench, without touching the bus.\n"
    "\n"
    "usage: renumber-doctor            list the serial ports (ttyUSB*, ttyACM*, native UARTs)\n"
    "       renumber-doctor DEVICE     check DEVICE for renumber, one line per check\n"
    "       renumber-doctor --help     show this text\n"
    "\n"
    "Each check says OK, WARN or FAIL, the reason and what to do: the device node, read and\n"
    "write access, kernel consoles and gettys, brltty, ModemManager, other programs holding the\n"
    "port, what the adapter's driver does at 4,000,000 baud, and the FTDI latency timer.\n"
    "Exit status: 0 all OK, 1 warnings only, 2 at least one FAIL or, when listing, no port\n"
    "that can carry the motor bus at 4,000,000 baud, 64 bad usage.\n"
    "\n"
    "examples:\n"
    "  renumber-doctor\n"
    "  renumber-doctor /dev/ttyUSB0\n"
    "  renumber-doctor /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\n"
    "\n"
    "It only reads /dev, /sys, /proc, /run/udev, /etc, the udev rules and systemd unit folders\n"
    "and the package database: it never opens the device and never changes a setting.\n";

struct Options {
    Identity identity;
    std::optional<Identity> invoking; // the user who ran sudo
    std::optional<std::string> device;
};

DoctorRun bad_usage(const std::string& message)
{
    return {"", "renumber-doctor: " + message + "\nTry 'renumber-doctor --help'.\n",
            EXIT_BAD_USAGE};
}

// The port's line, its names and its chip line; adapters with the same ids and no serial number
// share their by-id name, so their by-path names are shown too.
std::string adapter_entry(const SystemRoot& root, const SerialAdapter& adapter,
                          const std::vector<SerialAdapter>& adapters)
{
    std::string out = adapter.node;
    out += path_exists(root, adapter.node) ? "" : " (no device node)";
    if (adapter.ids) {
        out += "  " + chip_label(adapter.chip, *adapter.ids, adapter.driver);
    } else {
        out += "  native UART, driver " + (adapter.driver.empty() ? "(none)" : adapter.driver);
    }
    out += adapter.product.empty() ? "" : "  \"" + adapter.product + "\"";
    out += adapter.chip != nullptr && adapter.chip->max_baud != NO_UART
               ? "  up to " + format_baud(adapter.chip->max_baud) + " baud"
               : "";
    out += "\n";
    const auto shared =
        std::count_if(adapters.begin(), adapters.end(), [&](const SerialAdapter& other) {
            return adapter.ids && other.ids && other.serial.empty() && adapter.serial.empty() &&
                   other.ids->vendor == adapter.ids->vendor &&
                   other.ids->product == adapter.ids->product;
        });
    for (const std::string& name : adapter.stable_names) {
        out += "    " + name + (shared > 1 ? "  (shared: no serial number)" : "") + "\n";
    }
    for (const std::string& name : shared > 1 ? adapter.path_names : std::vector<std::string>{}) {
        out += "    " + name + "\n";
    }
    if (adapter.stable_names.empty() && adapter.ids) {
        out += "    (no /dev/serial/by-id name)\n";
    }
    // The port's verdict: whether renumber can run the motor bus on it.
    return out + "  " + format_result(check_chip(adapter));
}

std::string orphan_entry(const ChipWithoutTty& chip)
{
    const std::string held =
        chip.interface_driver.empty()
            ? "no driver holds it; load it with " + load_module_command(*chip.chip)
            : "its interface is held by " + chip.interface_driver +
                  (chip.interface_driver == "usbfs" ? ", as brltty does when it claims an adapter"
                                                    : "");
    return "USB device " + chip.usb_name + " is a " + chip_label(chip.chip, chip.ids, "") +
           " without a tty: " + held + "; renumber-doctor /dev/ttyUSB0 says more.\n";
}

std::string list_adapters(const SystemRoot& root, int& status)
{
    std::error_code error;
    const std::vector<SerialAdapter> adapters = find_adapters(root, error);
    status = static_cast<int>(CheckVerdict::fail);
    if (error) {
        return "Cannot list the serial ports: reading /sys/class/tty: " + error.message() + "\n";
    }
    std::string out;
    if (adapters.empty()) {
        out += "No serial port found: the kernel lists no ttyUSB*, ttyACM* or native UART under "
               "/sys/class/tty.\n";
    }
    for (const SerialAdapter& adapter : adapters) {
        out += adapter_entry(root, adapter, adapters);
    }
    for (const ChipWithoutTty& chip : find_chips_without_tty(root, adapters)) {
        out += orphan_entry(chip);
    }
    if (adapters.empty()) {
        return out + "Plug the USB-to-RS-485 adapter in and run again; sudo dmesg shows whether "
                     "the kernel saw it.\n";
    }
    const auto usable = std::find_if(adapters.begin(), adapters.end(), [](const SerialAdapter& a) {
        return check_chip(a).verdict != CheckVerdict::fail;
    });
    if (usable == adapters.end()) {
        return out + "No port here can carry the motor bus at 4,000,000 baud: plug in a "
                     "USB-to-RS-485 adapter that can.\n";
    }
    status = 0;
    return out + "Check one with: renumber-doctor " + usable->node + "\n";
}

std::string check_device(const Machine& machine, const Options& options, int& status)
{
    const std::string& device = *options.device;
    const Diagnosis diagnosis =
        diagnose(gather_facts(machine, options.identity, options.invoking, device));
    std::string out = "Checking " + device + " for renumber:\n";
    int warnings = 0;
    int failures = 0;
    for (const CheckResult& result : diagnosis.results) {
        out += format_result(result);
        warnings += result.verdict == CheckVerdict::warn ? 1 : 0;
        failures += result.verdict == CheckVerdict::fail ? 1 : 0;
    }
    if (!diagnosis.skipped.empty()) {
        std::string topics;
        for (const std::string& topic : diagnosis.skipped) {
            topics += (topics.empty() ? "" : ", ") + topic;
        }
        out += "Not checked without the adapter's tty: " + topics + ".\n";
    }
    status = exit_status(diagnosis.results);
    if (failures > 0) {
        out += std::to_string(failures) + " FAIL, " + std::to_string(warnings) +
               " WARN: renumber will not work until the FAIL lines are fixed.\n";
    } else if (warnings > 0) {
        out += std::to_string(warnings) + " WARN: renumber can run; read the WARN lines.\n";
    } else {
        out += "All checks OK: nothing here stops renumber.\n";
    }
    return out;
}

// sudo leaves the invoking user's ids in SUDO_UID and SUDO_GID; their groups are those a new
// login of that user would get.
std::optional<Identity> sudo_user(const Machine& machine)
{
    const char* uid = std::getenv("SUDO_UID");
    const char* gid = std::getenv("SUDO_GID");
    if (uid == nullptr || gid == nullptr) {
        return std::nullopt;
    }
    std::optional<Identity> user = parse_identity(std::string(uid) + ":" + gid);
    const std::optional<PasswdEntry> entry =
        user ? machine.find_user(machine, user->uid) : std::nullopt;
    if (user && entry && user->uid != 0) {
        user->groups = machine.login_groups(machine, entry->name, user->gid);
        return user;
    }
    return std::nullopt;
}

// Applies one option; returns the run to end with (help or bad usage), if any. Hidden options:
// --identity plays another user, and --invoked-by the user behind sudo.
std::optional<DoctorRun> apply_option(int option, const char* value, Options& options)
{
    if (option == 'h') {
        return DoctorRun{USAGE, "", 0};
    }
    const bool user = option == 'i';
    const std::optional<Identity> identity = parse_identity(value);
    if (!identity) {
        return bad_usage(std::string(user ? "--identity" : "--invoked-by") +
                         " needs UID:GID[:GID,...]");
    }
    if (user) {
        options.identity = *identity;
    } else {
        options.invoking = identity;
    }
    return std::nullopt;
}

} // namespace

DoctorRun doctor_main(const std::vector<std::string>& args, const Machine& machine)
{
    Options options{identity_of_this_process(), std::nullopt, std::nullopt};
    std::vector<std::string> words{"renumber-doctor"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    constexpr std::array<option, 4> LONG_OPTIONS{{{"help", no_argument, nullptr, 'h'},
                                                  {"identity", required_argument, nullptr, 'i'},
                                                  {"invoked-by", required_argument, nullptr, 'b'},
                                                  {nullptr, 0, nullptr, 0}}};
    optind = 0; // a fresh scan on every call
    opterr = 0;
    const int argc = static_cast<int>(words.size());
    for (int option = 0;
         (option = getopt_long(argc, argv.data(), ":h", LONG_OPTIONS.data(), nullptr)) != -1;) {
        if (option == '?' || option == ':') {
            const std::string typed = argv[static_cast<std::size_t>(optind) - 1];
            return option == ':' ? bad_usage(typed + " needs a value")
                                 : bad_usage("unknown option '" + typed + "'");
        }
        if (std::optional<DoctorRun> end = apply_option(option, optarg, options)) {
            return *end;
        }
    }
    if (argc - optind > 1) {
        const auto at = static_cast<std::size_t>(optind);
        return bad_usage("one device at a time (got '" + std::string(argv[at]) + "' and '" +
                         argv[at + 1] + "')");
    }
    if (optind < argc) {
        options.device = argv[static_cast<std::size_t>(optind)];
    }
    if (!options.invoking && options.identity.own && options.identity.uid == 0) {
        options.invoking = sudo_user(machine);
    }
    DoctorRun run;
    run.out = options.device ? check_device(machine, options, run.status)
                             : list_adapters(machine.root, run.status);
    return run;
}

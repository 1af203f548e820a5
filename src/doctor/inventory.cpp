#include "doctor/inventory.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <tuple>

namespace {

constexpr char TTY_CLASS[] = "/sys/class/tty/";
constexpr char STABLE_NAMES[] = "/dev/serial/by-id";
constexpr char PATH_NAMES[] = "/dev/serial/by-path";
constexpr std::array PORT_PREFIXES{"ttyUSB", "ttyACM",      "ttyS",        "ttyAMA",
                                   "ttySC",  "ttyCH343USB", "ttyCH9344USB"};
constexpr char USB_DEVICES[] = "/sys/bus/usb/devices";

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::vector<std::string> links_to(const SystemRoot& root, const std::string& folder,
                                  const std::string& node)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const std::string& entry : list_directory(root, folder, error)) {
        std::string link = folder;
        link.append("/").append(entry);
        const Resolution target = resolve_path(root, link);
        if (!target.error && target.path == node) {
            names.push_back(link);
        }
    }
    return names;
}

// "ttyUSB10" sorts after "ttyUSB9".
std::tuple<std::string, unsigned, std::string> natural_key(const std::string& name)
{
    const std::size_t digits = name.find_first_of("0123456789");
    if (digits == std::string::npos) {
        return {name, 0, ""};
    }
    const std::size_t digits_end = name.find_first_not_of("0123456789", digits);
    const std::string number = name.substr(digits, digits_end - digits);
    return {name.substr(0, digits), parse_number<unsigned>(number).value_or(0), name};
}

} // namespace

std::optional<SerialAdapter> describe_tty(const SystemRoot& root, const std::string& name)
{
    std::optional<SerialAdapter> adapter = describe_port(root, name);
    if (adapter) {
        adapter->stable_names = links_to(root, STABLE_NAMES, adapter->node);
        adapter->path_names = links_to(root, PATH_NAMES, adapter->node);
    }
    return adapter;
}

std::vector<SerialAdapter> find_adapters(const SystemRoot& root, std::error_code& error)
{
    std::vector<std::string> names;
    for (const std::string& name : list_directory(root, TTY_CLASS, error)) {
        const bool port =
            std::any_of(PORT_PREFIXES.begin(), PORT_PREFIXES.end(), [&](const char* prefix) {
                const std::string_view rest = std::string_view(name).substr(
                    std::min(name.size(), std::string_view(prefix).size()));
                return name.starts_with(prefix) && !rest.empty() &&
                       rest.find_first_not_of("0123456789") == std::string_view::npos;
            });
        // The 8250 driver registers placeholder ttyS ports with no UART behind them (type 0).
        if (port && (!name.starts_with("ttyS") || name.starts_with("ttySC") ||
                     read_attribute(root, TTY_CLASS + name + "/type").value_or("0") != "0")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return natural_key(a) < natural_key(b);
    });
    std::vector<SerialAdapter> adapters;
    for (const std::string& name : names) {
        if (auto adapter = describe_tty(root, name)) {
            adapters.push_back(std::move(*adapter));
        }
    }
    return adapters;
}

std::vector<ChipWithoutTty> find_chips_without_tty(const SystemRoot& root,
                                                   const std::vector<SerialAdapter>& adapters)
{
    std::vector<ChipWithoutTty> chips;
    std::error_code error;
    for (const std::string& name : list_directory(root, USB_DEVICES, error)) {
        // Interfaces ("1-1:1.0") and root hubs ("usb1") are listed here too.
        if (name.find(':') != std::string::npos || name.starts_with("usb")) {
            continue;
        }
        const Resolution device = resolve_path(root, std::string(USB_DEVICES) + "/" + name);
        const std::optional<UsbIds> ids =
            device.error ? std::nullopt : read_usb_ids(root, device.path);
        const ChipRow* chip =
            ids ? identify_chip(read_descriptors(root, device.path, *ids), "") : nullptr;
        if (chip == nullptr ||
            std::any_of(adapters.begin(), adapters.end(), [&](const SerialAdapter& adapter) {
                return adapter.usb_device == device.path;
            })) {
            continue;
        }
        ChipWithoutTty orphan{name, *ids,
                              chip, read_attribute(root, device.path + "/product").value_or(""),
                              "",   device.path};
        for (const std::string& entry : list_directory(root, device.path, error)) {
            if (entry.starts_with(name + ":")) {
                orphan.interface_driver = bound_driver(root, device.path + "/" + entry);
                break;
            }
        }
        chips.push_back(std::move(orphan));
    }
    return chips;
}

std::vector<ProcessInfo> scan_processes(const SystemRoot& root, pid_t self, std::error_code& error,
                                        bool& cut_short,
                                        std::chrono::steady_clock::time_point until)
{
    std::vector<ProcessInfo> processes;
    cut_short = false;
    for (const std::string& entry : list_directory(root, "/proc", error)) {
        if (std::chrono::steady_clock::now() > until) {
            cut_short = true;
            break;
        }
        const std::optional<int> pid = parse_number<int>(entry);
        if (!pid || *pid == self) {
            continue;
        }
        ProcessInfo process;
        process.pid = *pid;
        const std::string folder = "/proc/" + entry;
        const std::optional<std::string> command = read_attribute(root, folder + "/comm");
        std::error_code fd_error;
        const std::vector<std::string> fds = list_directory(root, folder + "/fd", fd_error);
        // A process that exited mid-scan is gone, not another user's: its folder answers ENOENT
        // (or ESRCH, read mid-exit) where another user's answers EACCES.
        if (!command || fd_error == std::errc::no_such_file_or_directory ||
            fd_error == std::errc::no_such_process) {
            continue;
        }
        process.command = *command;
        process.files_readable = !fd_error;
        for (const std::string& fd : fds) {
            std::error_code link_error;
            std::string fd_path = folder;
            fd_path.append("/fd/").append(fd);
            const auto target = read_link(root, fd_path, link_error);
            if (target && target->starts_with("/dev/")) {
                process.open_files.push_back(*target);
            }
        }
        processes.push_back(std::move(process));
    }
    return processes;
}

bool is_running(const std::vector<ProcessInfo>& processes, const std::string& command)
{
    return std::any_of(processes.begin(), processes.end(),
                       [&](const ProcessInfo& process) { return process.command == command; });
}

std::vector<std::string> udev_properties(const SystemRoot& root, const std::string& dev_numbers)
{
    std::vector<std::string> properties;
    for (const std::string& line : read_lines(root, "/run/udev/data/c" + dev_numbers)) {
        if (line.starts_with("E:")) {
            properties.push_back(line.substr(2));
        }
    }
    return properties;
}

std::vector<std::string> usb_udev_properties(const SystemRoot& root, const std::string& usb_device)
{
    const auto numbers = read_attribute(root, usb_device + "/dev");
    return numbers ? udev_properties(root, *numbers) : std::vector<std::string>{};
}

Identity identity_of_this_process()
{
    Identity identity{::geteuid(), ::getegid(), {}, true};
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        identity.groups.resize(static_cast<std::size_t>(count));
        const int filled = ::getgroups(count, identity.groups.data());
        identity.groups.resize(static_cast<std::size_t>(std::max(filled, 0)));
    }
    return identity;
}

std::optional<Identity> parse_identity(const std::string& text)
{
    const std::vector<std::string> fields = split(text, ':');
    if (fields.size() < 2 || fields.size() > 3) {
        return std::nullopt;
    }
    const auto uid = parse_number<uid_t>(fields[0]);
    const auto gid = parse_number<gid_t>(fields[1]);
    if (!uid || !gid) {
        return std::nullopt;
    }
    Identity identity{*uid, *gid, {}, false};
    if (fields.size() == 3 && !fields[2].empty()) {
        for (const std::string& group : split(fields[2], ',')) {
            const auto number = parse_number<gid_t>(group);
            if (!number) {
                return std::nullopt;
            }
            identity.groups.push_back(*number);
        }
    }
    return identity;
}

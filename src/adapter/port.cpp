#include "adapter/port.h"

#include "serial/operator_texts.h"

#include <sys/sysmacros.h>

#include <array>
#include <charconv>
#include <cstdio>

namespace {

constexpr char TTY_CLASS[] = "/sys/class/tty/";
constexpr char DEVICE_TREE[] = "/sys/devices/";
constexpr auto BUS_BAUD = static_cast<std::uint64_t>(SERIAL_BAUDRATE);

std::optional<int> read_hex_byte(const SystemRoot& root, const std::string& file)
{
    const auto text = read_attribute(root, file);
    const auto value = text ? parse_hex_id(*text) : std::nullopt;
    return value ? std::optional<int>(*value) : std::nullopt;
}

// A ttyUSB sits three folders below its USB device (port, interface, device), a ttyACM two;
// walking up to the first folder with idVendor covers both and any hub in between.
std::string usb_device_above(const SystemRoot& root, const std::string& sys_path)
{
    for (std::string folder = parent_path(sys_path); folder.starts_with(DEVICE_TREE);
         folder = parent_path(folder)) {
        if (path_exists(root, folder + "/idVendor") && path_exists(root, folder + "/idProduct")) {
            return folder;
        }
    }
    return {};
}

// usb-serial drivers put a port device between the interface and the tty; cdc_acm does not.
int interface_number(const SystemRoot& root, const std::string& device)
{
    for (const std::string& folder : {device, parent_path(device)}) {
        if (const auto number = read_hex_byte(root, folder + "/bInterfaceNumber")) {
            return *number;
        }
    }
    return ANY_INTERFACE;
}

LineAtBusRate usb_line(const SerialAdapter& port)
{
    const ChipRow* row = port.chip;
    // What the table says of a part holds for the kernel's driver; a maker's own module may do
    // otherwise.
    if (row == nullptr || port.driver != row->driver) {
        return {};
    }
    switch (row->handling) {
    case RateHandling::exact:
        return {BusRate::runs, static_cast<std::uint32_t>(BUS_BAUD)};
    case RateHandling::falls_to_9600:
    case RateHandling::clamped_reported:
        return {BusRate::reported, row->line_baud};
    case RateHandling::clamped_unreported:
        return {BusRate::unreported, row->line_baud};
    case RateHandling::passed_to_chip:
        return row->max_baud >= BUS_BAUD
                   ? LineAtBusRate{BusRate::runs, static_cast<std::uint32_t>(BUS_BAUD)}
                   : LineAtBusRate{BusRate::beyond_chip, 0};
    }
    return {};
}

} // namespace

bool is_native_uart(const std::string& name)
{
    return name.starts_with("ttyS") || name.starts_with("ttyAMA");
}

// A link's last component: the driver or subsystem a device's link names.
std::string link_name(const SystemRoot& root, const std::string& link)
{
    std::error_code error;
    const std::optional<std::string> target = read_link(root, link, error);
    return target ? base_name(*target) : std::string();
}

std::string bound_driver(const SystemRoot& root, const std::string& device)
{
    return link_name(root, device + "/driver");
}

std::optional<UsbIds> read_usb_ids(const SystemRoot& root, const std::string& usb_device)
{
    const auto vendor = read_attribute(root, usb_device + "/idVendor");
    const auto product = read_attribute(root, usb_device + "/idProduct");
    const auto vendor_id = vendor ? parse_hex_id(*vendor) : std::nullopt;
    const auto product_id = product ? parse_hex_id(*product) : std::nullopt;
    if (!vendor_id || !product_id) {
        return std::nullopt;
    }
    const auto release = read_attribute(root, usb_device + "/bcdDevice");
    const std::optional<std::uint16_t> release_id = release ? parse_hex_id(*release) : std::nullopt;
    return UsbIds{*vendor_id, *product_id, release_id.value_or(std::uint16_t{0})};
}

UsbDescriptors read_descriptors(const SystemRoot& root, const std::string& usb_device,
                                const UsbIds& ids)
{
    UsbDescriptors usb;
    usb.ids = ids;
    usb.product = read_attribute(root, usb_device + "/product").value_or("");
    usb.device_class = read_hex_byte(root, usb_device + "/bDeviceClass").value_or(-1);
    // bMaxPacketSize0 is printed in decimal.
    const auto packet = read_attribute(root, usb_device + "/bMaxPacketSize0");
    usb.max_packet_size0 = packet ? parse_number<int>(*packet).value_or(-1) : -1;
    const auto version = read_attribute(root, usb_device + "/version");
    usb.usb_version = version ? parse_usb_version(*version).value_or(0) : 0;
    return usb;
}

std::optional<SerialAdapter> describe_port(const SystemRoot& root, const std::string& name)
{
    const std::string class_entry = TTY_CLASS + name;
    if (name.empty() || name.find('/') != std::string::npos || !path_exists(root, class_entry)) {
        return std::nullopt;
    }
    SerialAdapter port;
    port.name = name;
    port.node = "/dev/" + name;
    const Resolution resolved = resolve_path(root, class_entry);
    port.sys_path = resolved.error ? class_entry : resolved.path;
    port.dev_numbers = read_attribute(root, class_entry + "/dev").value_or("");
    // A class device sits in <device>/tty/<name>, where its device link points; the link is
    // followed only for another layout. Since 6.5 a UART's tty hangs below serial-base's "port"
    // and "ctrl" devices; what drives the hardware is the driver of the device above them.
    const std::string tty_folder = parent_path(port.sys_path);
    std::string device = base_name(tty_folder) == "tty" && !resolved.error
                             ? parent_path(tty_folder)
                             : resolve_path(root, class_entry + "/device").path;
    port.driver = bound_driver(root, device);
    while (port.driver == "port" || port.driver == "ctrl") {
        device = parent_path(device);
        port.driver = bound_driver(root, device);
    }
    port.usb_device = usb_device_above(root, port.sys_path);
    port.bus = !port.usb_device.empty() ? "usb" : link_name(root, device + "/subsystem");
    if (!port.usb_device.empty()) {
        port.ids = read_usb_ids(root, port.usb_device);
        port.interface = interface_number(root, device);
        port.product = read_attribute(root, port.usb_device + "/product").value_or("");
        port.serial = read_attribute(root, port.usb_device + "/serial").value_or("");
        if (port.ids) {
            port.descriptors = read_descriptors(root, port.usb_device, *port.ids);
            port.chip = identify_chip(port.descriptors, port.driver, port.interface);
        }
    } else if (is_native_uart(name)) {
        const auto clock = read_attribute(root, class_entry + "/uartclk");
        port.uart_clock = clock ? parse_number<std::uint32_t>(*clock) : std::nullopt;
        port.fractional_divisor =
            name.starts_with("ttyAMA") || port.driver.find("pl011") != std::string::npos;
    }
    return port;
}

// The serial core caps a UART at uartclk / 16 (the 8250 driver allows 1 % above); asked for
// more, uart_get_baud_rate() falls back to the previous rate and writes it into the terminal
// settings. Below the cap, the 8250 driver divides uartclk / 16 by DIV_ROUND_CLOSEST(uartclk,
// 16 * baud), the PL011 uartclk * 4 by DIV_ROUND_CLOSEST(uartclk * 4, baud) (64ths of a
// divisor), and the settings keep 4,000,000.
std::optional<UartDivision> divide_uart_clock(const SerialAdapter& port)
{
    if (!port.uart_clock || *port.uart_clock == 0) {
        return std::nullopt;
    }
    const std::uint64_t clock = *port.uart_clock;
    UartDivision division;
    division.ceiling = clock / 16;
    const std::uint64_t allowed =
        port.fractional_divisor ? division.ceiling : (clock + clock / 100) / 16;
    division.above_ceiling = allowed < BUS_BAUD;
    if (division.above_ceiling) {
        return division;
    }
    division.divisor = port.fractional_divisor ? (clock * 4 + BUS_BAUD / 2) / BUS_BAUD
                                               : (clock + 8 * BUS_BAUD) / (16 * BUS_BAUD);
    division.rate =
        port.fractional_divisor ? clock * 4 / division.divisor : clock / (16 * division.divisor);
    return division;
}

// /proc/locks: "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF", the device
// numbers in hexadecimal. Waiters ("1: -> FLOCK") hold nothing yet.
std::vector<int> lock_holders(const SystemRoot& root, const struct stat& info)
{
    std::vector<int> pids;
    std::array<char, 48> file{};
    std::snprintf(file.data(), file.size(), "%02x:%02x:%lu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long>(info.st_ino));
    for (const std::string& line : read_lines(root, "/proc/locks")) {
        const std::vector<std::string> words = split_words(line);
        int pid = 0;
        if (words.size() >= 6 && words[1] == "FLOCK" && words[5] == file.data() &&
            std::from_chars(words[4].data(), words[4].data() + words[4].size(), pid).ec ==
                std::errc{}) {
            pids.push_back(pid);
        }
    }
    return pids;
}

LineAtBusRate line_at_bus_rate(const SerialAdapter& port)
{
    if (port.ids) {
        return usb_line(port);
    }
    const std::optional<UartDivision> division =
        is_native_uart(port.name) ? divide_uart_clock(port) : std::nullopt;
    if (!division) {
        return {};
    }
    if (division->above_ceiling) {
        return {BusRate::reported, 0};
    }
    const auto rate = static_cast<std::uint32_t>(division->rate);
    return {serial_rate_carries_bus(rate) ? BusRate::runs : BusRate::unreported, rate};
}

// A serial port as the kernel describes it under /sys: the driver bound to its tty, the USB device
// and interface above it or the clock of a native UART, and what that driver does when the motor
// bus's 4,000,000 baud is asked of it. renumber asks this before it sends anything; renumber-doctor
// builds its chip verdicts on the same answers.
#pragma once

#include "adapter/chips.h"
#include "adapter/sysroot.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SerialAdapter {
    std::string name;          // "ttyUSB0", the kernel's name under /sys/class/tty
    std::string node;          // "/dev/ttyUSB0"
    std::string sys_path;      // "/sys/devices/.../ttyUSB0/tty/ttyUSB0", links followed
    std::string dev_numbers;   // "188:0", from the tty's dev attribute
    std::string driver;        // "ftdi_sio", "ch341-uart", "cdc_acm", "serial8250"; "" unbound
    std::string bus;           // the subsystem of the device behind it: "usb", "platform", "pnp"
    std::string usb_device;    // the USB device folder above the tty; empty off USB
    std::optional<UsbIds> ids; // idVendor, idProduct, bcdDevice of that device
    int interface = ANY_INTERFACE; // bInterfaceNumber of the USB interface the tty belongs to
    std::string product;           // its product string, when it has one
    std::string serial;            // its serial number string; empty when it has none
    UsbDescriptors descriptors;
    const ChipRow* chip = nullptr;           // the chip as its driver identifies it
    std::optional<std::uint32_t> uart_clock; // uartclk of a native UART, in Hz
    bool fractional_divisor = false;         // a PL011, whose divisor has 64ths
    std::vector<std::string> stable_names;   // /dev/serial/by-id links that lead to node
    std::vector<std::string> path_names;     // /dev/serial/by-path links that lead to node
};

/// A whole decimal number, as sysfs and /proc print them; nothing for any other text.
template <typename Number> std::optional<Number> parse_number(const std::string& text)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

/// Native UARTs (ttyS, ttyAMA) are driven by the serial core rather than a USB driver.
bool is_native_uart(const std::string& name);

/// The tty the kernel names name ("ttyUSB0") as sysfs describes it, stable names left empty;
/// nothing when /sys/class/tty does not list it.
std::optional<SerialAdapter> describe_port(const SystemRoot& root, const std::string& name);

/// The processes holding an flock on the node that info describes (libserialport 0.1.2 and later
/// lock the ports they open), from /proc/locks.
std::vector<int> lock_holders(const SystemRoot& root, const struct stat& info);

/// The sysfs name of the driver bound to a device folder; "" when none is.
std::string bound_driver(const SystemRoot& root, const std::string& device);
/// idVendor, idProduct and bcdDevice of a USB device folder.
std::optional<UsbIds> read_usb_ids(const SystemRoot& root, const std::string& usb_device);
/// The descriptor fields the drivers tell their parts apart by.
UsbDescriptors read_descriptors(const SystemRoot& root, const std::string& usb_device,
                                const UsbIds& ids);

/// How a native UART's driver divides its clock for the motor bus's rate.
struct UartDivision {
    std::uint64_t ceiling = 0;  // uartclk / 16, the most the serial core lets it run
    bool above_ceiling = false; // the bus's rate is refused and the previous one kept (reported)
    std::uint64_t divisor = 0;  // whole for an 8250, in 64ths for a PL011
    std::uint64_t rate = 0;     // what that divisor gives
};

/// Nothing for a port without a known UART clock.
std::optional<UartDivision> divide_uart_clock(const SerialAdapter& port);

/// What the line runs at when the motor bus's rate is asked of a port.
enum class BusRate {
    unknown,     // nothing known about its driver: nothing is held against the port
    runs,        // the bus's rate, within the tolerance of a UART
    reported,    // another rate, which the driver writes into the terminal settings
    unreported,  // another rate, while the terminal settings keep 4,000,000
    beyond_chip, // the driver hands the rate to a chip documented only up to less
};

struct LineAtBusRate {
    BusRate kind = BusRate::unknown;
    std::uint32_t line_baud = 0; // the rate the line runs at; 0 when not known
};

/// From the chip table for USB parts served by the driver the table names (a maker's own module
/// may do otherwise), from the clock for native UARTs.
LineAtBusRate line_at_bus_rate(const SerialAdapter& port);

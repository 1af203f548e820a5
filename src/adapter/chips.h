// USB-to-serial chips as the kernel's drivers tell them apart, the fastest rate their makers
// document, and what each driver really does when renumber asks for 4,000,000 baud: none of the
// common ones refuses the rate, several quietly run the line at another one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct UsbIds {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0; // bcdDevice: how ftdi_sio and pl2303 tell their parts apart
};

/// The parts of a USB device descriptor the drivers look at, as sysfs shows them.
struct UsbDescriptors {
    UsbIds ids;
    std::string product;           // the product string
    int device_class = -1;         // bDeviceClass
    int max_packet_size0 = -1;     // bMaxPacketSize0
    std::uint16_t usb_version = 0; // bcdUSB: 0x0110, 0x0200
};

/// What the driver does with a request for 4,000,000 baud.
enum class RateHandling {
    exact,              // the line runs at 4,000,000
    falls_to_9600,      // ftdi_sio: "Baud rate too high", 9,600 set and reported
    clamped_reported,   // clamped to line_baud, and the terminal settings say so
    clamped_unreported, // clamped to line_baud, the terminal settings still read 4,000,000
    passed_to_chip,     // cdc_acm: the chip gets the rate; it runs it only up to max_baud
};

inline constexpr std::uint16_t ANY_ID = 0xffff;
/// max_baud of a part without a UART, which carries any rate.
inline constexpr std::uint32_t NO_UART = 0;
inline constexpr int ANY_RELEASE = -1;
/// Rows that hold for every port of a part.
inline constexpr int ANY_INTERFACE = -1;

struct ChipRow {
    std::uint16_t vendor;
    std::uint16_t product; // ANY_ID for parts the driver tells apart by release or key
    int release;           // bcdDevice, or ANY_RELEASE
    const char* key;       // pl2303 type or CP210x product-string prefix; "" otherwise
    const char* name;
    const char* driver; // the kernel driver that serves it
    std::uint32_t max_baud;
    RateHandling handling;
    std::uint32_t line_baud;       // the rate the line ends up at for clamped rows
    const char* source;            // the datasheet or driver line each figure comes from
    int interface = ANY_INTERFACE; // bInterfaceNumber, for parts whose ports differ
};

std::span<const ChipRow> chip_table();

/// The row for this device (and, for parts whose ports differ, this port's interface) as its driver
/// would identify it; nothing when no row fits.
const ChipRow* identify_chip(const UsbDescriptors& usb, const std::string& driver,
                             int interface = ANY_INTERFACE);

/// The pl2303 driver's type for these descriptors (pl2303_detect_type): "H", "HX", "HXD",
/// "TA or G", "TB or G", "G"; nothing when the driver would refuse the device.
std::optional<std::string> pl2303_type(const UsbDescriptors& usb);

/// "WCH CH340 (1a86:7523, driver ch341-uart)", or "USB device 1234:5678 (driver x)" off the table.
std::string chip_label(const ChipRow* row, const UsbIds& ids, const std::string& driver);
/// "sudo modprobe ch341 (on Ubuntu: ...)": how to load the module that serves the chip.
std::string load_module_command(const ChipRow& row);
/// "0403:6001"
std::string format_ids(const UsbIds& ids);
/// "4,000,000"
std::string format_baud(std::uint32_t baud);
/// A hexadecimal id as sysfs prints it ("0403"), or nothing for any other text.
std::optional<std::uint16_t> parse_hex_id(const std::string& text);
/// bcdUSB from sysfs's version attribute (" 2.00" -> 0x0200); nothing for other text.
std::optional<std::uint16_t> parse_usb_version(const std::string& text);

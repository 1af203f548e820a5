// Common USB-to-serial chips and the fastest baud rate their makers document, to tell whether
// an adapter can run the motor bus at 4,000,000 baud at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct UsbIds {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0; // bcdDevice: tells FTDI chips that share a product id apart
};

inline constexpr int ANY_RELEASE = -1;
/// max_baud of a row whose chips share the ids but not the speed.
inline constexpr std::uint32_t MAX_BAUD_VARIES = 0;

struct ChipRow {
    std::uint16_t vendor;
    std::uint16_t product;
    int release; // bcdDevice, or ANY_RELEASE
    const char* name;
    std::uint32_t max_baud;
    const char* note; // what the maker documents, when max_baud alone would mislead
};

const ChipRow* find_chip(const UsbIds& ids);

/// "WCH CH340 (1a86:7523, driver ch341-uart)", or "USB device 1234:5678 (driver x)" off the table.
std::string chip_label(const UsbIds& ids, const std::string& driver);
/// "0403:6001"
std::string format_ids(const UsbIds& ids);
/// "4,000,000"
std::string format_baud(std::uint32_t baud);
/// A hexadecimal id as sysfs prints it ("0403"), or nothing for any other text.
std::optional<std::uint16_t> parse_hex_id(const std::string& text);

// The adapter chips usb-chip can be: what each answers to its Linux driver's control requests and
// how it turns the driver's register writes into a line rate. What each presents on USB is its
// row of chips.tsv.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace chip {

/// The families differ in their requests and rate registers; the parts of one family in their
/// descriptors and in the answers that tell them apart.
enum class Family { ch341, cp210x, ftdi, pl2303, cdc_acm };

/// How a part behaves: what its driver finds in its interface and asks of it. What it presents
/// as a device (ids, bcdDevice, class, product string) is its row of chips.tsv (Descriptors).
struct Profile {
    std::string_view name; ///< the row's name in chips.tsv, e.g. "CH340"
    Family family;
    std::uint8_t interface_class;
    std::uint8_t interface_subclass;
    std::uint8_t interface_protocol;
    bool interrupt_endpoint;  ///< FTDI parts have none
    std::uint8_t part_number; ///< cp210x's part-number read; 0 for the others
    bool ftdi_high_speed;     ///< an FT232H: 120 MHz clock, 10 samples a bit, channel in wIndex
    bool pl2303_alt_divisor;  ///< TA/TB parts: a mantissa of 11 bits and exponents of 2
    std::string_view manufacturer;
};

/// The device descriptor's facts that drivers and renumber-doctor read: the chip's row of
/// chips.tsv, which the kernel tier passes on usb-chip's command line.
struct Descriptors {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0;     ///< bcdDevice: ftdi_sio and pl2303 read the part from it
    std::uint8_t device_class = 0; ///< bDeviceClass: 0x02 makes pl2303 see a legacy PL2303H
    std::string product_string;
};

const Profile* find_profile(std::string_view name);

/// A control request as it arrives on ep0.
struct Setup {
    std::uint8_t type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

/// What the chip keeps between requests: the line settings as the driver last wrote them and the
/// rate they amount to.
struct Registers {
    std::vector<std::uint8_t> line_coding = {0x80, 0x25, 0, 0, 0, 0, 8}; ///< 9600 8N1
    std::uint8_t latency_ms = 16;
};

/// The bytes the chip answers a device-to-host request with (at most setup.length).
std::vector<std::uint8_t> answer(const Profile& chip, const Setup& setup, const Registers& regs);

/// Applies a host-to-device request with its data stage; returns the line rate in baud when the
/// request programmed one.
std::optional<std::uint32_t> apply(const Profile& chip, const Setup& setup,
                                   std::span<const std::uint8_t> data, Registers& regs);

/// The bytes that start every bulk IN packet (FTDI's modem and line status), empty for others.
std::span<const std::uint8_t> in_packet_header(const Profile& chip);

} // namespace chip

#include "chip.h"

#include <algorithm>
#include <array>

namespace chip {
namespace {

constexpr std::uint8_t TO_HOST = 0x80;
constexpr std::uint8_t VENDOR = 0x40;
constexpr std::uint8_t CLASS = 0x20;
constexpr std::uint8_t TO_INTERFACE = 0x01;

// Every part as its maker ships it: the interface's class triple, the endpoints, the answers that
// tell it apart, and the manufacturer string.
constexpr std::array PROFILES{
    Profile{"CH340", Family::ch341, 0xff, 0x01, 0x02, true, 0, false, false, ""},
    Profile{"CH343", Family::cdc_acm, 0x02, 0x02, 0x01, true, 0, false, false, "WCH.CN"},
    Profile{"CP2102", Family::cp210x, 0xff, 0x00, 0x00, false, 0x02, false, false, "Silicon Labs"},
    Profile{"CP2102N", Family::cp210x, 0xff, 0x00, 0x00, false, 0x20, false, false, "Silicon Labs"},
    Profile{"FT232R", Family::ftdi, 0xff, 0xff, 0xff, false, 0, false, false, "FTDI"},
    Profile{"FT232H", Family::ftdi, 0xff, 0xff, 0xff, false, 0, true, false, "FTDI"},
    // pl2303_detect_type: bcdUSB 2.00 and bcdDevice 3.00 with the HX status read answered is a TA.
    Profile{"PL2303TA", Family::pl2303, 0xff, 0x00, 0x00, true, 0, false, true,
            "Prolific Technology Inc."},
    // A G-series part (bcdDevice 1.00 on its own id): pl2303's HXN type, which takes the rate as
    // a number, never as a divisor.
    Profile{"PL2303GC", Family::pl2303, 0xff, 0x00, 0x00, true, 0, false, false,
            "Prolific Technology Inc."},
    // bDeviceClass 0x02 is the legacy PL2303H whatever the rest says.
    Profile{"PL2303H", Family::pl2303, 0xff, 0x00, 0x00, true, 0, false, false,
            "Prolific Technology Inc."},
};

std::uint32_t little_endian32(std::span<const std::uint8_t> data)
{
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8U |
           static_cast<std::uint32_t>(data[2]) << 16U | static_cast<std::uint32_t>(data[3]) << 24U;
}

std::uint32_t divide_rounded(std::uint64_t dividend, std::uint64_t divisor)
{
    return static_cast<std::uint32_t>((dividend + divisor / 2) / divisor);
}

// CH340/CH341: register 0x13 holds 256 minus the divisor, register 0x12 the prescaler (bits 0-1)
// and the extra factor of two (bit 2) of a 48 MHz clock; bit 7 only tells the chip not to buffer.
std::uint32_t ch341_rate(std::uint16_t registers)
{
    const unsigned divisor = 0x100U - (registers >> 8U);
    const unsigned prescaler = registers & 0x03U;
    const unsigned factor = (registers >> 2U) & 0x01U;
    const unsigned clock_divider = 1U << (12U - 3U * prescaler - factor);
    return divisor == 0 ? 0 : divide_rounded(48'000'000U, std::uint64_t{clock_divider} * divisor);
}

// FTDI: a 14-bit divisor with a fraction in eighths coded in bits 14-16 (AN232B-05); 0 means 1
// and 1 means 1.5. The base is 3 MHz (48 MHz / 16); on the high-speed parts bit 17 switches to
// 12 MHz (120 MHz / 10).
std::uint32_t ftdi_rate(std::uint32_t divisor, bool high_speed)
{
    constexpr std::array<unsigned, 8> EIGHTHS{0, 4, 2, 1, 3, 5, 6, 7};
    const unsigned whole = divisor & 0x3fffU;
    const unsigned code = (divisor >> 14U) & 0x07U;
    unsigned eighths = whole * 8U + EIGHTHS[code];
    if (whole == 0 && code == 0) {
        eighths = 8;
    } else if (whole == 1 && code == 0) {
        eighths = 12;
    }
    const std::uint64_t base = high_speed && (divisor & 0x20000U) != 0 ? 12'000'000U : 3'000'000U;
    return divide_rounded(base * 8U, eighths);
}

// PL2303: the rate as a number, or with bit 31 set a divisor of 12 MHz * 32: a 9-bit mantissa
// and a power of four (older parts), or an 11-bit mantissa and a power of two (TA, TB).
std::uint32_t pl2303_rate(std::span<const std::uint8_t> line, bool alt_divisor)
{
    if ((line[3] & 0x80U) == 0) {
        return little_endian32(line);
    }
    constexpr std::uint32_t BASE = 12'000'000U * 32U;
    if (alt_divisor) {
        const unsigned mantissa = line[0] | (line[1] & 0x07U) << 8U;
        const unsigned exponent = ((line[1] >> 5U) & 0x07U) << 1U | (line[2] & 0x01U);
        return mantissa == 0 ? 0 : (BASE / mantissa) >> exponent;
    }
    const unsigned mantissa = line[0] | (line[1] & 0x01U) << 8U;
    const unsigned exponent = (line[1] >> 1U) & 0x07U;
    return mantissa == 0 ? 0 : (BASE / mantissa) >> (2U * exponent);
}

} // namespace

const Profile* find_profile(std::string_view name)
{
    const auto* found = std::find_if(PROFILES.begin(), PROFILES.end(),
                                     [&](const Profile& chip) { return chip.name == name; });
    return found != PROFILES.end() ? found : nullptr;
}

std::vector<std::uint8_t> answer(const Profile& chip, const Setup& setup, const Registers& regs)
{
    // Anything not named below reads as zeros: status words with nothing pending, no errors.
    std::vector<std::uint8_t> reply(setup.length, 0);
    const bool vendor = (setup.type & 0x60U) == VENDOR;
    const bool line_read = setup.type == (TO_HOST | CLASS | TO_INTERFACE) && setup.request == 0x21;
    switch (chip.family) {
    case Family::ch341:
        if (vendor && setup.request == 0x5f) {
            reply = {0x31, 0x00}; // chip version: line control in register 0x25
        } else if (vendor && setup.request == 0x95 && setup.value == 0x0706) {
            reply = {0xff, 0xee}; // modem lines inverted: none active
        }
        break;
    case Family::cp210x:
        if (vendor && setup.request == 0xff && setup.value == 0x370b) {
            reply = {chip.part_number};
        }
        break;
    case Family::ftdi:
        if (vendor && setup.request == 0x05) {
            reply = {0x01, 0x60}; // modem status; line status: transmitter empty (TEMT, THRE)
        } else if (vendor && setup.request == 0x0a) {
            reply = {regs.latency_ms};
        }
        break;
    case Family::pl2303:
    case Family::cdc_acm:
        if (line_read) {
            reply = regs.line_coding;
        }
        break;
    }
    reply.resize(std::min<std::size_t>(reply.size(), setup.length));
    return reply;
}

std::optional<std::uint32_t> apply(const Profile& chip, const Setup& setup,
                                   std::span<const std::uint8_t> data, Registers& regs)
{
    const bool vendor = (setup.type & 0x60U) == VENDOR;
    const bool line_write = setup.type == (CLASS | TO_INTERFACE) && setup.request == 0x20;
    switch (chip.family) {
    case Family::ch341:
        if (vendor && setup.request == 0x9a && setup.value == 0x1312) {
            return ch341_rate(setup.index);
        }
        break;
    case Family::cp210x:
        if (vendor && setup.request == 0x1e && data.size() >= 4) {
            return little_endian32(data);
        }
        break;
    case Family::ftdi:
        if (vendor && setup.request == 0x03) {
            // Parts with a channel number (the H series, FT2232C, FT-X) take it in the index's
            // low byte and the divisor's upper bits in its high byte.
            const std::uint32_t upper =
                chip.ftdi_high_speed ? setup.index >> 8U : std::uint32_t{setup.index};
            return ftdi_rate(setup.value | upper << 16U, chip.ftdi_high_speed);
        }
        if (vendor && setup.request == 0x09) {
            regs.latency_ms = static_cast<std::uint8_t>(setup.value);
        }
        break;
    case Family::pl2303:
    case Family::cdc_acm:
        if (line_write && data.size() >= 7) {
            regs.line_coding.assign(data.begin(), data.begin() + 7);
            return chip.family == Family::pl2303 ? pl2303_rate(data, chip.pl2303_alt_divisor)
                                                 : little_endian32(data);
        }
        break;
    }
    return std::nullopt;
}

std::span<const std::uint8_t> in_packet_header(const Profile& chip)
{
    static constexpr std::array<std::uint8_t, 2> FTDI_STATUS{0x01, 0x60};
    return chip.family == Family::ftdi ? std::span<const std::uint8_t>(FTDI_STATUS)
                                       : std::span<const std::uint8_t>();
}

} // namespace chip

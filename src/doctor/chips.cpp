#include "doctor/chips.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace {

// Each figure is the highest UART rate in the maker's datasheet for the chip named.
constexpr std::array CHIPS{
    // FTDI FT232R datasheet (FT_000053): "Data transfer rates from 300 baud to 3 Mbaud".
    ChipRow{0x0403, 0x6001, ANY_RELEASE, "FTDI FT232R", 3'000'000, nullptr},
    // FTDI FT2232C/D datasheet: "Transfer Data Rate 300 to 3 Mega Baud (TTL, RS422/RS485)".
    // bcdDevice 5.00 is the C/D generation, 7.00 the H; the kernel's ftdi_sio tells them apart
    // the same way.
    ChipRow{0x0403, 0x6010, 0x0500, "FTDI FT2232C/D", 3'000'000, nullptr},
    // FTDI FT2232H datasheet (FT_000061): UART up to 12 Mbaud.
    ChipRow{0x0403, 0x6010, 0x0700, "FTDI FT2232H", 12'000'000, nullptr},
    // FTDI FT4232H datasheet (FT_000060): UART up to 12 Mbaud.
    ChipRow{0x0403, 0x6011, ANY_RELEASE, "FTDI FT4232H", 12'000'000, nullptr},
    // FTDI FT232H datasheet (FT_000288): UART up to 12 Mbaud.
    ChipRow{0x0403, 0x6014, ANY_RELEASE, "FTDI FT232H", 12'000'000, nullptr},
    // FTDI FT231X datasheet (FT_000565): "Data transfer rates from 300 baud to 3 Mbaud"; the
    // whole FT-X series (FT230X, FT231X, FT234XD) shares 0403:6015 and this limit.
    ChipRow{0x0403, 0x6015, ANY_RELEASE, "FTDI FT-X series", 3'000'000, nullptr},
    // Silicon Labs CP2102N datasheet: up to 3 Mbaud, the fastest chip sold under 10c4:ea60
    // (the CP2102/9 datasheet says 1 Mbps, the CP2104 datasheet 2 Mbps).
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "Silicon Labs CP210x", 3'000'000, nullptr},
    // WCH CH340 datasheet (CH340DS1): "baud rate varies from 50bps to 2Mbps".
    ChipRow{0x1a86, 0x7523, ANY_RELEASE, "WCH CH340", 2'000'000, nullptr},
    // WCH CH341 datasheet (CH341DS1): UART "50bps to 2Mbps".
    ChipRow{0x1a86, 0x5523, ANY_RELEASE, "WCH CH341", 2'000'000, nullptr},
    // WCH CH343 datasheet (CH343DS1): "baud rates from 50bps to 6Mbps".
    ChipRow{0x1a86, 0x55d3, ANY_RELEASE, "WCH CH343", 6'000'000, nullptr},
    // WCH CH9102 datasheet (CH9102DS1): "baud rate varies from 50bps to 4Mbps".
    ChipRow{0x1a86, 0x55d4, ANY_RELEASE, "WCH CH9102", 4'000'000, nullptr},
    // Prolific sells several PL2303 revisions under 067b:2303 and sysfs does not say which one
    // is plugged in. The Linux pl2303 driver's type table caps them at 1,228,800 (PL2303H),
    // 6,000,000 (HX, TA) and 12,000,000 baud (TB, HXD).
    ChipRow{0x067b, 0x2303, ANY_RELEASE, "Prolific PL2303", MAX_BAUD_VARIES,
            "1,228,800 baud on the old PL2303H, 6,000,000 or more on the HX, TA, TB and HXD "
            "revisions"},
};

} // namespace

const ChipRow* find_chip(const UsbIds& ids)
{
    for (const ChipRow& row : CHIPS) {
        if (row.vendor == ids.vendor && row.product == ids.product &&
            (row.release == ANY_RELEASE || row.release == ids.release)) {
            return &row;
        }
    }
    return nullptr;
}

std::string chip_label(const UsbIds& ids, const std::string& driver)
{
    const ChipRow* row = find_chip(ids);
    const std::string bound = driver.empty() ? "" : ", driver " + driver;
    return row != nullptr ? std::string(row->name) + " (" + format_ids(ids) + bound + ")"
                          : "USB device " + format_ids(ids) +
                                (driver.empty() ? "" : " (driver " + driver + ")");
}

std::string format_ids(const UsbIds& ids)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%04x:%04x", static_cast<unsigned>(ids.vendor),
                  static_cast<unsigned>(ids.product));
    return text.data();
}

std::string format_baud(std::uint32_t baud)
{
    std::string digits = std::to_string(baud);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

std::optional<std::uint16_t> parse_hex_id(const std::string& text)
{
    std::uint16_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
    if (text.empty() || error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

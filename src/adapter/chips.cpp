#include "adapter/chips.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <functional>
#include <string_view>

namespace {

constexpr char FTDI[] = "ftdi_sio";
constexpr char PL2303[] = "pl2303";
constexpr char CP210X[] = "cp210x";
constexpr char CH341[] = "ch341-uart";
constexpr char CDC_ACM[] = "cdc_acm";
constexpr std::uint16_t FTDI_VENDOR = 0x0403;
constexpr std::uint16_t PROLIFIC_VENDOR = 0x067b;
constexpr std::uint16_t CP210X_VENDOR = 0x10c4;
constexpr std::uint16_t CP210X_SINGLE = 0xea60;
constexpr std::uint16_t FTDI_FIRST_AM_RELEASE = 0x0200; // below it, ftdi_sio assumes an SIO

using enum RateHandling;

// ftdi_sio tells its parts apart by bcdDevice alone (ftdi_determine_type), whatever product id
// a maker gave them; get_ftdi_divisor() then sets parts clocked at 48 MHz to 9,600 baud above
// 3,000,000 ("Baud rate too high") and gives the high-speed parts an exact divisor up to 12 Mbaud.
// cp210x clamps to the part's cap (cp210x_init_max_speed) and reports it; ch341 clamps to
// CH341_MAX_BPS (3,000,000) without updating the terminal settings; cdc_acm hands the rate to
// the chip; pl2303 clamps to its type's max_baud_rate (pl2303_type_data) and reports it.
constexpr std::array CHIPS{
    ChipRow{0x0403, ANY_ID, ANY_RELEASE, "SIO", "FTDI SIO", FTDI, 115'200, falls_to_9600, 9'600,
            "ftdi_sio.c ftdi_determine_type(): bcdDevice below 0x200; change_speed() SIO table"},
    ChipRow{0x0403, 0x6001, 0x0200, "", "FTDI FT232AM", FTDI, 3'000'000, falls_to_9600, 9'600,
            "ftdi_sio.c get_ftdi_divisor(), FT232A: 3,000,000 at most"},
    ChipRow{0x0403, 0x6001, 0x0400, "", "FTDI FT232BM", FTDI, 3'000'000, falls_to_9600, 9'600,
            "FT232BL datasheet (DS_FT232BL): 3 Mbaud"},
    ChipRow{0x0403, 0x6010, 0x0500, "", "FTDI FT2232C/D", FTDI, 3'000'000, falls_to_9600, 9'600,
            "FT2232D datasheet (FT_000173): 3 Mbaud"},
    ChipRow{0x0403, 0x6001, 0x0600, "", "FTDI FT232R", FTDI, 3'000'000, falls_to_9600, 9'600,
            "FT232R datasheet (FT_000053): 3 Mbaud"},
    ChipRow{0x0403, 0x6010, 0x0700, "", "FTDI FT2232H", FTDI, 12'000'000, exact, 0,
            "FT2232H datasheet (FT_000061): 12 Mbaud"},
    ChipRow{0x0403, 0x6011, 0x0800, "", "FTDI FT4232H", FTDI, 12'000'000, exact, 0,
            "FT4232H datasheet (FT_000060): 12 Mbaud"},
    ChipRow{0x0403, 0x6014, 0x0900, "", "FTDI FT232H", FTDI, 12'000'000, exact, 0,
            "FT232H datasheet (FT_000288): 12 Mbaud"},
    ChipRow{0x0403, 0x6015, 0x1000, "", "FTDI FT-X series", FTDI, 3'000'000, falls_to_9600, 9'600,
            "FT231X datasheet (FT_000565): 3 Mbaud"},
    ChipRow{0x0403, 0x6040, 0x2800, "", "FTDI FT2233HP", FTDI, 12'000'000, exact, 0,
            "FT233HP/FT2233HP/FT4233HP datasheet: 12 Mbaud"},
    ChipRow{0x0403, 0x6041, 0x2900, "", "FTDI FT4233HP", FTDI, 12'000'000, exact, 0,
            "FT233HP/FT2233HP/FT4233HP datasheet: 12 Mbaud"},
    ChipRow{0x0403, 0x6042, 0x3000, "", "FTDI FT2232HP", FTDI, 12'000'000, exact, 0,
            "FT232HP/FT2232HP/FT4232HP datasheet: 12 Mbaud"},
    ChipRow{0x0403, 0x6043, 0x3100, "", "FTDI FT4232HP", FTDI, 12'000'000, exact, 0,
            "FT232HP/FT2232HP/FT4232HP datasheet: 12 Mbaud"},
    ChipRow{0x0403, 0x6044, 0x3200, "", "FTDI FT233HP", FTDI, 12'000'000, exact, 0,
            "FT233HP/FT2233HP/FT4233HP datasheet: 12 Mbaud"},
    ChipRow{0x0403, 0x6045, 0x3300, "", "FTDI FT232HP", FTDI, 12'000'000, exact, 0,
            "FT232HP/FT2232HP/FT4232HP datasheet: 12 Mbaud"},
    ChipRow{0x0403, 0x6048, 0x3600, "", "FTDI FT4232HA", FTDI, 12'000'000, exact, 0,
            "FT4232HA datasheet: 12 Mbaud"},
    // The CP210x part number is only read from the chip itself; the default product strings
    // name it, so they are the one hint sysfs gives. CP2102N before CP2102: a prefix match.
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "CP2102N", "Silicon Labs CP2102N", CP210X, 3'000'000,
            clamped_reported, 3'000'000,
            "CP2102N datasheet: 3 Mbaud; cp210x.c cp210x_init_max_speed()"},
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "CP2101", "Silicon Labs CP2101", CP210X, 921'600,
            clamped_reported, 921'600, "cp210x.c cp210x_init_max_speed(): CP2101 921,600"},
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "CP2102", "Silicon Labs CP2102", CP210X, 1'000'000,
            clamped_reported, 1'000'000,
            "CP2102/9 datasheet: 1 Mbaud; cp210x.c cp210x_init_max_speed()"},
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "CP2103", "Silicon Labs CP2103", CP210X, 1'000'000,
            clamped_reported, 1'000'000,
            "CP2103 datasheet: 1 Mbaud; cp210x.c cp210x_init_max_speed()"},
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "CP2104", "Silicon Labs CP2104", CP210X, 2'000'000,
            clamped_reported, 2'000'000,
            "CP2104 datasheet: 2 Mbaud; cp210x.c cp210x_init_max_speed()"},
    ChipRow{0x10c4, 0xea60, ANY_RELEASE, "", "Silicon Labs CP210x (part not named)", CP210X,
            3'000'000, clamped_reported, 0,
            "cp210x.c cp210x_init_max_speed(): 921,600 to 3,000,000 by part"},
    // The CP2105's two ports differ: cp210x_init_max_speed() caps interface 0 (ECI) at 2,000,000
    // and interface 1 (SCI) at 921,600.
    ChipRow{0x10c4, 0xea70, ANY_RELEASE, "", "Silicon Labs CP2105 (ECI port)", CP210X, 2'000'000,
            clamped_reported, 2'000'000, "CP2105 datasheet: 2 Mbaud (ECI); cp210x_init_max_speed()",
            0},
    ChipRow{0x10c4, 0xea70, ANY_RELEASE, "", "Silicon Labs CP2105 (SCI port)", CP210X, 921'600,
            clamped_reported, 921'600,
            "CP2105 datasheet: 921,600 baud (SCI); cp210x_init_max_speed()", 1},
    ChipRow{0x10c4, 0xea71, ANY_RELEASE, "", "Silicon Labs CP2108", CP210X, 2'000'000,
            clamped_reported, 2'000'000,
            "CP2108 datasheet: 2 Mbaud; cp210x.c cp210x_init_max_speed()"},
    ChipRow{0x1a86, 0x7523, ANY_RELEASE, "", "WCH CH340", CH341, 2'000'000, clamped_unreported,
            3'000'000, "CH340DS1: 2 Mbps; ch341.c CH341_MAX_BPS"},
    ChipRow{0x1a86, 0x7522, ANY_RELEASE, "", "WCH CH340 (7522)", CH341, 2'000'000,
            clamped_unreported, 3'000'000, "CH340DS1: 2 Mbps; ch341.c id table, CH341_MAX_BPS"},
    ChipRow{0x9986, 0x7523, ANY_RELEASE, "", "WCH CH340 (9986)", CH341, 2'000'000,
            clamped_unreported, 3'000'000, "CH340DS1: 2 Mbps; ch341.c id table, CH341_MAX_BPS"},
    ChipRow{0x1a86, 0x5523, ANY_RELEASE, "", "WCH CH341", CH341, 2'000'000, clamped_unreported,
            3'000'000, "CH341DS1: 2 Mbps; ch341.c CH341_MAX_BPS"},
    ChipRow{0x4348, 0x5523, ANY_RELEASE, "", "WCH CH341 (4348)", CH341, 2'000'000,
            clamped_unreported, 3'000'000, "CH341DS1: 2 Mbps; ch341.c id table, CH341_MAX_BPS"},
    ChipRow{0x1a86, ANY_ID, ANY_RELEASE, "", "WCH CH340/CH341 (another id ch341 serves)", CH341,
            2'000'000, clamped_unreported, 3'000'000, "ch341.c id table and CH341_MAX_BPS"},
    ChipRow{0x1a86, 0x55d3, ANY_RELEASE, "", "WCH CH343", CDC_ACM, 6'000'000, passed_to_chip, 0,
            "CH343DS1: 6 Mbps"},
    ChipRow{0x1a86, 0x55d4, ANY_RELEASE, "", "WCH CH9102", CDC_ACM, 4'000'000, passed_to_chip, 0,
            "CH9102DS1: 4 Mbps"},
    ChipRow{0x1a86, 0x55d8, ANY_RELEASE, "", "WCH CH9101", CDC_ACM, 3'000'000, passed_to_chip, 0,
            "CH9101DS1: 3 Mbps"},
    ChipRow{0x04d8, 0x00df, ANY_RELEASE, "", "Microchip MCP2200", CDC_ACM, 1'000'000,
            passed_to_chip, 0, "MCP2200 datasheet (DS20002228): 1,000,000 baud"},
    // Linux's own serial gadget (g_serial, or an ACM function of a configfs gadget) has no
    // UART: the line coding it is sent is only stored, and the bytes travel over USB.
    ChipRow{0x0525, 0xa4a7, ANY_RELEASE, "", "Linux USB gadget serial (ACM)", CDC_ACM, NO_UART,
            exact, 0, "f_acm.c: SET_LINE_CODING is only stored; no UART"},
    ChipRow{0x04e2, 0x1410, ANY_RELEASE, "", "MaxLinear XR21V1410", "xr_serial", 12'000'000, exact,
            0, "XR21V1410 datasheet: 12 Mbps; xr_serial.c divides 48 MHz exactly"},
    ChipRow{0x067b, 0x2303, ANY_RELEASE, "H", "Prolific PL2303H", PL2303, 1'228'800,
            clamped_reported, 1'228'800, "pl2303.c pl2303_type_data[TYPE_H]: 1,228,800"},
    ChipRow{0x067b, 0x2303, ANY_RELEASE, "HX", "Prolific PL2303HX", PL2303, 6'000'000, exact, 0,
            "pl2303.c pl2303_type_data[TYPE_HX]: 6,000,000; 4,000,000 divides exactly"},
    ChipRow{0x067b, 0x2303, ANY_RELEASE, "TA or G", "Prolific PL2303TA or G-series", PL2303,
            6'000'000, exact, 0, "pl2303.c pl2303_type_data[TYPE_TA]: 6,000,000; G: 12,000,000"},
    ChipRow{0x067b, 0x2303, ANY_RELEASE, "HXD", "Prolific PL2303HXD", PL2303, 12'000'000, exact, 0,
            "pl2303.c pl2303_type_data[TYPE_HXD]: 12,000,000"},
    ChipRow{0x067b, 0x2303, ANY_RELEASE, "TB or G", "Prolific PL2303TB or G-series", PL2303,
            12'000'000, exact, 0, "pl2303.c pl2303_type_data[TYPE_TB]: 12,000,000"},
    ChipRow{0x067b, 0x23a3, ANY_RELEASE, "G", "Prolific PL2303G-series", PL2303, 12'000'000, exact,
            0, "PL2303GS datasheet: 12 Mbps; pl2303.c TYPE_HXN sends the rate directly"},
};

} // namespace

std::span<const ChipRow> chip_table()
{
    return CHIPS;
}

std::optional<std::string> pl2303_type(const UsbDescriptors& usb)
{
    if (usb.device_class < 0 || usb.max_packet_size0 < 0) {
        return std::nullopt;
    }
    if (usb.device_class == 0x02 || usb.max_packet_size0 != 0x40) {
        return "H";
    }
    const std::uint16_t release = usb.ids.release;
    if (usb.usb_version == 0x0101 || usb.usb_version == 0x0110) {
        return release == 0x0400 ? "HXD" : "HX";
    }
    if (usb.usb_version != 0x0200) {
        return std::nullopt;
    }
    // TA and TB answer a status request the G parts do not; only the driver can ask it.
    if (release == 0x0300) {
        return "TA or G";
    }
    if (release == 0x0500) {
        return "TB or G";
    }
    constexpr std::array<std::uint16_t, 12> G_RELEASES{0x0100, 0x0105, 0x0305, 0x0400,
                                                       0x0405, 0x0505, 0x0600, 0x0605,
                                                       0x0700, 0x0705, 0x0905, 0x1005};
    if (std::find(G_RELEASES.begin(), G_RELEASES.end(), release) != G_RELEASES.end()) {
        return "G";
    }
    return std::nullopt;
}

namespace {

const ChipRow* find_row(const std::function<bool(const ChipRow&)>& fits)
{
    const auto* row = std::find_if(CHIPS.begin(), CHIPS.end(), fits);
    return row != CHIPS.end() ? row : nullptr;
}

bool served_by(const ChipRow& row, const char* driver)
{
    return std::string_view(row.driver) == driver;
}

// ftdi_determine_type(): bcdDevice alone, an SIO below 0x200.
const ChipRow* ftdi_row(const UsbIds& ids)
{
    const bool sio = ids.release < FTDI_FIRST_AM_RELEASE;
    return find_row([&](const ChipRow& row) {
        return served_by(row, FTDI) &&
               (sio ? std::string_view(row.key) == "SIO" : row.release == ids.release);
    });
}

// The multi-port parts have ids of their own; the part number of the others is only read from
// the chip, so the default product strings are the one hint sysfs gives.
const ChipRow* cp210x_row(const UsbDescriptors& usb, bool bound, int interface)
{
    const ChipRow* own = find_row([&](const ChipRow& row) {
        return served_by(row, CP210X) && row.product == usb.ids.product &&
               row.product != CP210X_SINGLE &&
               (row.interface == ANY_INTERFACE || interface == ANY_INTERFACE ||
                row.interface == interface);
    });
    if (own != nullptr || (!bound && usb.ids.product != CP210X_SINGLE)) {
        return own;
    }
    return find_row([&](const ChipRow& row) {
        return row.product == CP210X_SINGLE && usb.product.starts_with(row.key);
    });
}

} // namespace

const ChipRow* identify_chip(const UsbDescriptors& usb, const std::string& driver, int interface)
{
    const UsbIds& ids = usb.ids;
    // A bound driver decides what the chip does; the ids only name the part. Unbound chips
    // (no tty) are named by the vendor ids their driver would take.
    if (driver == FTDI || (driver.empty() && ids.vendor == FTDI_VENDOR)) {
        return ftdi_row(ids);
    }
    if (driver == PL2303 || (driver.empty() && ids.vendor == PROLIFIC_VENDOR)) {
        const std::optional<std::string> type = pl2303_type(usb);
        return type ? find_row([&](const ChipRow& row) {
            return served_by(row, PL2303) && *type == row.key;
        })
                    : nullptr;
    }
    if (driver == CP210X || (driver.empty() && ids.vendor == CP210X_VENDOR)) {
        return cp210x_row(usb, !driver.empty(), interface);
    }
    const ChipRow* exact = find_row([&](const ChipRow& row) {
        return row.vendor == ids.vendor && row.product == ids.product && !served_by(row, FTDI) &&
               !served_by(row, PL2303) && !served_by(row, CP210X);
    });
    if (exact == nullptr && driver == CH341) {
        return find_row(
            [](const ChipRow& row) { return served_by(row, CH341) && row.product == ANY_ID; });
    }
    return exact;
}

std::string chip_label(const ChipRow* row, const UsbIds& ids, const std::string& driver)
{
    const std::string bound = driver.empty() ? "" : ", driver " + driver;
    return row != nullptr ? std::string(row->name) + " (" + format_ids(ids) + bound + ")"
                          : "USB device " + format_ids(ids) +
                                (driver.empty() ? "" : " (driver " + driver + ")");
}

std::string load_module_command(const ChipRow& row)
{
    // The usb-serial driver "ch341-uart" lives in ch341.ko.
    const std::string module = std::string_view(row.driver) == CH341 ? "ch341" : row.driver;
    return "sudo modprobe " + module +
           " (on Ubuntu: sudo apt install linux-modules-extra-$(uname -r))";
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

std::optional<std::uint16_t> parse_usb_version(const std::string& text)
{
    // The kernel prints bcdUSB as "%2x.%02x".
    const std::size_t start = text.find_first_not_of(' ');
    const std::size_t dot = text.find('.');
    if (start == std::string::npos || dot == std::string::npos || dot < start) {
        return std::nullopt;
    }
    const auto major = parse_hex_id(text.substr(start, dot - start));
    const auto minor = parse_hex_id(text.substr(dot + 1));
    if (!major || !minor || *major > 0xff || *minor > 0xff) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*major << 8U | *minor);
}

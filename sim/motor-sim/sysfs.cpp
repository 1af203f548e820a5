#include "sysfs.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace sim {
namespace {

namespace fs = std::filesystem;

// Where a USB adapter's tty hangs in the device tree: host controller, root hub, device 1-1,
// its interface 1-1:1.0.
constexpr char USB_DEVICE[] = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr char PLATFORM_DEVICE[] = "sys/devices/platform/serial8250";
// A clock that divides exactly to the motor bus's 4,000,000 baud (divisor 1).
constexpr char UART_CLOCK[] = "64000000";

enum class Shape { usb_serial, acm, uart };

Shape shape_of(const std::string &name)
{
    if (name.starts_with("ttyUSB"))
        return Shape::usb_serial;
    return name.starts_with("ttyACM") ? Shape::acm : Shape::uart;
}

std::string hex4(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
    return text;
}

// The tty's number, for its dev attribute ("188:0" for ttyUSB0).
std::string minor_of(const std::string &name)
{
    const std::size_t digits = name.find_first_of("0123456789");
    return digits == std::string::npos ? "0" : name.substr(digits);
}

struct Builder {
    fs::path root;
    std::error_code error;
    std::string failed; // the path that could not be made

    void folder(const fs::path &relative)
    {
        if (!error)
            fs::create_directories(root / relative, error);
        if (error && failed.empty())
            failed = (root / relative).string();
    }
    void file(const fs::path &relative, const std::string &content)
    {
        folder(relative.parent_path());
        if (error)
            return;
        std::ofstream out(root / relative);
        out << content << "\n";
        if (!out) {
            error = std::make_error_code(std::errc::io_error);
            failed = (root / relative).string();
        }
    }
    void link(const fs::path &relative, const fs::path &target)
    {
        folder(relative.parent_path());
        if (!error)
            fs::create_symlink(target, root / relative, error);
        if (error && failed.empty())
            failed = (root / relative).string();
    }
};

void lay_out_usb(Builder &tree, const std::string &name, Shape shape, const std::string &driver,
                 const UsbIdentity &ids, Sysfs &sysfs)
{
    const fs::path device = USB_DEVICE;
    const fs::path interface = device / "1-1:1.0";
    tree.file(device / "idVendor", hex4(ids.vendor));
    tree.file(device / "idProduct", hex4(ids.product));
    tree.file(device / "bcdDevice", hex4(ids.release));
    tree.file(device / "product", "motor-sim adapter");
    tree.file(device / "bDeviceClass", "00");
    tree.file(device / "bMaxPacketSize0", "64");
    tree.file(device / "version", " 2.00");
    tree.file(device / "dev", "189:1");
    tree.file(interface / "bInterfaceNumber", "00");
    if (shape == Shape::acm) {
        tree.file(interface / "bInterfaceClass", "02");
        tree.link(interface / "driver", "../../../../../../bus/usb/drivers/" + driver);
        tree.folder("sys/bus/usb/drivers/" + driver);
        tree.file(interface / "tty" / name / "dev", "166:" + minor_of(name));
        tree.link(interface / "tty" / name / "device", "../../../1-1:1.0");
        tree.link("sys/class/tty/" + name,
                  "../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/" + name);
        return;
    }
    // usb-serial puts a port device between the interface and the tty.
    const fs::path port = interface / name;
    tree.file(interface / "bInterfaceClass", "ff");
    tree.link(port / "driver", "../../../../../../../bus/usb-serial/drivers/" + driver);
    tree.folder("sys/bus/usb-serial/drivers/" + driver);
    tree.file(port / "tty" / name / "dev", "188:" + minor_of(name));
    tree.link(port / "tty" / name / "device", "../../../" + name);
    tree.link("sys/class/tty/" + name,
              "../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/" + name + "/tty/" + name);
    if (driver == "ftdi_sio") {
        tree.file(port / "latency_timer", "16");
        sysfs.latency_timer = (tree.root / port / "latency_timer").string();
    }
}

void lay_out_uart(Builder &tree, const std::string &name, const std::string &driver)
{
    const fs::path device = PLATFORM_DEVICE;
    tree.link(device / "driver", "../../../bus/platform/drivers/" + driver);
    tree.folder("sys/bus/platform/drivers/" + driver);
    tree.file(device / "tty" / name / "dev",
              "4:" + std::to_string(64 + std::strtoul(minor_of(name).c_str(), nullptr, 10)));
    tree.file(device / "tty" / name / "uartclk", UART_CLOCK);
    tree.file(device / "tty" / name / "type", "4");
    tree.link(device / "tty" / name / "device", "../../../serial8250");
    tree.link(device / "subsystem", "../../../bus/platform");
    tree.folder("sys/bus/platform");
    tree.link("sys/class/tty/" + name, "../../devices/platform/serial8250/tty/" + name);
}

} // namespace

bool sysfs_create(const Options &options, Sysfs &sysfs, std::string &error)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/motor-sim-sysfs.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        error = "mkdtemp: " + pattern + ": " + std::strerror(errno);
        return false;
    }
    sysfs.folder = pattern;
    const std::string name = fs::path(options.device).filename().string();
    sysfs.class_link = sysfs.folder + "/sys/class/tty/" + name;
    const Shape shape = shape_of(name);
    Builder tree{sysfs.folder, {}, {}};
    if (shape == Shape::uart && options.usb_ids) {
        error = "--usb-ids needs a ttyUSB or ttyACM device, not " + options.device;
        sysfs_remove(sysfs);
        return false;
    }
    if (shape == Shape::uart) {
        lay_out_uart(tree, name, options.driver.empty() ? "serial8250" : options.driver);
    } else {
        const UsbIdentity usual = shape == Shape::acm ? UsbIdentity{0x1a86, 0x55d3, 0x0445}
                                                      : UsbIdentity{0x0403, 0x6014, 0x0900};
        const std::string driver = !options.driver.empty() ? options.driver
                                   : shape == Shape::acm   ? "cdc_acm"
                                                           : "ftdi_sio";
        lay_out_usb(tree, name, shape, driver, options.usb_ids.value_or(usual), sysfs);
    }
    if (tree.error) {
        error = "cannot lay out the device's sysfs: " + tree.failed + ": " + tree.error.message();
        sysfs_remove(sysfs);
        return false;
    }
    return true;
}

void sysfs_note_hangup(const Sysfs &sysfs)
{
    if (!sysfs.class_link.empty())
        unlink(sysfs.class_link.c_str());
}

void sysfs_note_low_latency(const Sysfs &sysfs)
{
    if (!sysfs.latency_timer.empty())
        std::ofstream(sysfs.latency_timer) << "1\n";
}

void sysfs_remove(Sysfs &sysfs)
{
    if (sysfs.folder.empty())
        return;
    std::error_code ignored;
    fs::remove_all(sysfs.folder, ignored);
    sysfs.folder.clear();
}

} // namespace sim

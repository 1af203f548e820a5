#include "gadget.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace chip {
namespace {

constexpr char GADGETS[] = "/sys/kernel/config/usb_gadget/";
constexpr char UDCS[] = "/sys/class/udc";

bool fail(std::string& error, const std::string& what)
{
    error = what + ": " + std::strerror(errno);
    return false;
}

bool write_text(const std::string& path, const std::string& text, std::string& error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(error, path);
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    close(fd);
    errno = saved;
    return written || fail(error, path);
}

bool make_dir(const std::string& path, std::string& error)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST || fail(error, path);
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xffU));
    out.push_back(static_cast<std::uint8_t>(value >> 8U));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    put16(out, static_cast<std::uint16_t>(value & 0xffffU));
    put16(out, static_cast<std::uint16_t>(value >> 16U));
}

// One interface with bulk IN, bulk OUT and (where the part has one) interrupt IN, at one speed.
// A CDC ACM part shows its communication class triple on this one interface. FunctionFS refuses
// class-specific descriptors (CS_INTERFACE), and cdc_acm refuses an interface with no extra
// descriptors at all; an interface association naming the same class fills that place, and
// cdc_acm then takes a three-endpoint interface without a union descriptor as a combined one.
void interface_descriptors(const Profile& chip, std::uint16_t bulk_size,
                           std::vector<std::uint8_t>& out)
{
    const std::uint8_t endpoints = chip.interrupt_endpoint ? 3 : 2;
    out.insert(out.end(), {9, USB_DT_INTERFACE, 0, 0, endpoints, chip.interface_class,
                           chip.interface_subclass, chip.interface_protocol, 0});
    if (chip.interface_class == USB_CLASS_COMM) {
        out.insert(out.end(), {8, USB_DT_INTERFACE_ASSOCIATION, 0, 1, chip.interface_class,
                               chip.interface_subclass, chip.interface_protocol, 0});
    }
    out.insert(out.end(), {7, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_BULK});
    put16(out, bulk_size);
    out.push_back(0);
    out.insert(out.end(), {7, USB_DT_ENDPOINT, 0x02, USB_ENDPOINT_XFER_BULK});
    put16(out, bulk_size);
    out.push_back(0);
    if (chip.interrupt_endpoint) {
        // Every millisecond: 1 frame at full speed, 2^(4-1) microframes at high speed.
        const std::uint8_t interval = bulk_size == 64 ? 1 : 4;
        out.insert(out.end(), {7, USB_DT_ENDPOINT, 0x83, USB_ENDPOINT_XFER_INT, 16, 0, interval});
    }
}

std::vector<std::uint8_t> function_descriptors(const Profile& chip)
{
    std::vector<std::uint8_t> body;
    interface_descriptors(chip, 64, body);
    interface_descriptors(chip, 512, body);
    const std::uint32_t count =
        (chip.interrupt_endpoint ? 4U : 3U) + (chip.interface_class == USB_CLASS_COMM ? 1U : 0U);
    std::vector<std::uint8_t> out;
    put32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(out, static_cast<std::uint32_t>(20 + body.size()));
    // Vendor requests to the device, not only to the interface, must reach the chip.
    put32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    put32(out, count);
    put32(out, count);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool write_blob(int fd, const std::vector<std::uint8_t>& blob, const char* what, std::string& error)
{
    return write(fd, blob.data(), blob.size()) == static_cast<ssize_t>(blob.size()) ||
           fail(error, what);
}

int open_endpoint(const std::string& dir, int number)
{
    return open((dir + "/ep" + std::to_string(number)).c_str(), O_RDWR | O_CLOEXEC);
}

} // namespace

bool gadget_create(const Profile& chip, const Descriptors& device, Gadget& gadget,
                   std::string& error)
{
    std::string name(chip.name);
    for (char& letter : name) {
        letter = static_cast<char>(letter >= 'A' && letter <= 'Z' ? letter - 'A' + 'a' : letter);
    }
    const std::string dir = GADGETS + name;
    const std::string strings = dir + "/strings/0x409";
    const std::string config = dir + "/configs/c.1";
    const std::string function = dir + "/functions/ffs." + name;
    // configfs reads numbers in any base. bcdUSB is for show: the gadget core answers 2.00 on a
    // high-speed UDC whatever is set.
    if (!make_dir(dir, error) ||
        !write_text(dir + "/idVendor", std::to_string(device.vendor), error) ||
        !write_text(dir + "/idProduct", std::to_string(device.product), error) ||
        !write_text(dir + "/bcdDevice", std::to_string(device.release), error) ||
        !write_text(dir + "/bcdUSB", "0x0200", error) ||
        !write_text(dir + "/bDeviceClass", std::to_string(device.device_class), error) ||
        !make_dir(strings, error) ||
        !write_text(strings + "/product", device.product_string, error) ||
        (!chip.manufacturer.empty() &&
         !write_text(strings + "/manufacturer", std::string(chip.manufacturer), error)) ||
        !make_dir(config, error) || !write_text(config + "/MaxPower", "100", error) ||
        !make_dir(function, error)) {
        return false;
    }
    const std::string link = config + "/ffs." + name;
    if (symlink(function.c_str(), link.c_str()) != 0 && errno != EEXIST) {
        return fail(error, link);
    }
    gadget.config_dir = dir;
    gadget.ffs_dir = "/dev/usb-chip-" + name;
    if (!make_dir(gadget.ffs_dir, error)) {
        return false;
    }
    if (mount(name.c_str(), gadget.ffs_dir.c_str(), "functionfs", 0, nullptr) != 0 &&
        errno != EBUSY) {
        return fail(error, "mount functionfs " + gadget.ffs_dir);
    }
    gadget.ep0 = open((gadget.ffs_dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (gadget.ep0 < 0) {
        return fail(error, gadget.ffs_dir + "/ep0");
    }
    std::vector<std::uint8_t> no_strings; // and no languages
    for (const std::uint32_t word : {std::uint32_t{FUNCTIONFS_STRINGS_MAGIC}, 16U, 0U, 0U}) {
        put32(no_strings, word);
    }
    if (!write_blob(gadget.ep0, function_descriptors(chip), "descriptors", error) ||
        !write_blob(gadget.ep0, no_strings, "strings", error)) {
        return false;
    }
    gadget.bulk_in = open_endpoint(gadget.ffs_dir, 1);
    gadget.bulk_out = open_endpoint(gadget.ffs_dir, 2);
    gadget.interrupt_in = chip.interrupt_endpoint ? open_endpoint(gadget.ffs_dir, 3) : -1;
    if (gadget.bulk_in < 0 || gadget.bulk_out < 0 ||
        (chip.interrupt_endpoint && gadget.interrupt_in < 0)) {
        return fail(error, gadget.ffs_dir + " endpoints");
    }
    return true;
}

bool gadget_bind(const Gadget& gadget, std::string& udc, std::string& error)
{
    DIR* list = opendir(UDCS);
    if (list == nullptr) {
        return fail(error, UDCS);
    }
    udc.clear();
    while (const dirent* entry = readdir(list)) {
        if (entry->d_name[0] != '.') {
            udc = entry->d_name;
            break;
        }
    }
    closedir(list);
    if (udc.empty()) {
        errno = ENODEV;
        return fail(error, UDCS);
    }
    return write_text(gadget.config_dir + "/UDC", udc, error);
}

} // namespace chip

#include "fake_tree.h"

#include "adapter/sysroot.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

constexpr char USB_HOST[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/";

fs::path inside(const FakeTree& tree, const std::string& system_path)
{
    return fs::path(tree.root) / system_path.substr(1);
}

void expect_done(const std::error_code& error, const char* call, const fs::path& path)
{
    if (error) {
        ADD_FAILURE() << call << " " << path << ": " << error.message();
    }
}

void make_folder(const FakeTree& tree, const std::string& system_path)
{
    std::error_code error;
    fs::create_directories(inside(tree, system_path), error);
    expect_done(error, "create_directories", inside(tree, system_path));
}

} // namespace

FakeTree make_tree()
{
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "doctor-tree-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr) << "mkdtemp " << pattern;
    FakeTree tree{made != nullptr ? made : ""};
    for (const char* folder : {"/dev/serial/by-id", "/sys/class/tty", "/sys/bus/usb/devices",
                               "/sys/bus/usb-serial/devices", "/proc", "/run/udev/data"}) {
        make_folder(tree, folder);
    }
    return tree;
}

void remove_tree(const FakeTree& tree)
{
    std::error_code error;
    fs::remove_all(tree.root, error);
}

void write_file(const FakeTree& tree, const std::string& system_path, const std::string& text)
{
    make_folder(tree, fs::path(system_path).parent_path().string());
    std::ofstream file(inside(tree, system_path));
    file << text;
    EXPECT_TRUE(file.good()) << "write " << inside(tree, system_path);
}

void make_link(const FakeTree& tree, const std::string& link, const std::string& target)
{
    make_folder(tree, fs::path(link).parent_path().string());
    std::error_code error;
    fs::create_symlink(target, inside(tree, link), error);
    expect_done(error, "symlink", inside(tree, link));
}

void make_relative_link(const FakeTree& tree, const std::string& link, const std::string& target)
{
    make_link(tree, link, fs::path(target).lexically_relative(fs::path(link).parent_path()));
}

namespace {

// A character device node owned by root:dialout; a plain file when nodes cannot be made (not root).
void make_node(const FakeTree& tree, const std::string& system_path, unsigned major, unsigned minor,
               mode_t mode)
{
    const fs::path node = inside(tree, system_path);
    make_folder(tree, fs::path(system_path).parent_path().string());
    if (::mknod(node.c_str(), S_IFCHR | mode, makedev(major, minor)) != 0) {
        write_file(tree, system_path, "");
    }
    // A shared chown/chmod keeps ownership and mode the same whichever way the node was made.
    [[maybe_unused]] const int owned = ::chown(node.c_str(), 0, DIALOUT_GID);
    ::chmod(node.c_str(), mode);
}

// The tty of one interface: usb-serial drivers put a port folder between the interface and
// the tty; cdc_acm and WCH's own drivers hang the tty on the interface.
void add_port(const FakeTree& tree, const FakeAdapter& adapter, const std::string& interface,
              const std::string& tty, int number)
{
    // udev's names: by-id from the descriptors (the interface as ifNN), by-path from the port.
    std::string by_id = adapter.by_id;
    if (const std::size_t at = by_id.find("-if00-"); at != std::string::npos) {
        by_id.replace(at + 3, 2, (number < 10 ? "0" : "") + std::to_string(number));
    }
    const std::string by_path =
        "pci-0000:00:14.0-usb-0:" + adapter.usb_port.substr(adapter.usb_port.find('-') + 1) +
        ":1." + std::to_string(number) + (tty.starts_with("ttyUSB") ? "-port0" : "");
    const bool usb_serial = tty.starts_with("ttyUSB");
    const std::size_t digits = tty.find_last_not_of("0123456789") + 1;
    const auto minor = static_cast<unsigned>(std::strtoul(tty.c_str() + digits, nullptr, 10));
    const unsigned major = tty.starts_with("ttyACM") ? 166 : usb_serial ? 188 : 170;
    const std::string numbers = std::to_string(major) + ":" + std::to_string(minor);
    std::string class_folder = interface + "/tty/" + tty;
    if (usb_serial) {
        const std::string port = interface + "/" + tty;
        class_folder = port + "/tty/" + tty;
        const std::string serial_driver = "/sys/bus/usb-serial/drivers/" + adapter.serial_driver;
        make_folder(tree, serial_driver);
        make_relative_link(tree, port + "/driver", serial_driver);
        make_relative_link(tree, "/sys/bus/usb-serial/devices/" + tty, port);
        make_relative_link(tree, class_folder + "/device", port);
        if (!adapter.latency_timer.empty()) {
            write_file(tree, port + "/latency_timer", adapter.latency_timer + "\n");
        }
    } else {
        make_relative_link(tree, class_folder + "/device", interface);
    }
    write_file(tree, class_folder + "/dev", numbers + "\n");
    make_relative_link(tree, "/sys/class/tty/" + tty, class_folder);
    make_node(tree, "/dev/" + tty, major, minor, adapter.node_mode);
    std::string udev = "S:serial/by-id/" + by_id + "\nS:serial/by-path/" + by_path +
                       "\nI:5471092881\nE:ID_VENDOR_ID=" + adapter.vendor +
                       "\nE:ID_MODEL_ID=" + adapter.product + "\n";
    for (const std::string& property : adapter.udev_properties) {
        udev += "E:" + property + "\n";
    }
    write_file(tree, "/run/udev/data/c" + numbers, udev + "G:systemd\nQ:systemd\nV:1\n");
    // Two adapters without serial numbers get the same by-id name: the later one takes it.
    if (!by_id.empty()) {
        std::error_code error;
        fs::remove(inside(tree, "/dev/serial/by-id/" + by_id), error);
        make_relative_link(tree, "/dev/serial/by-id/" + by_id, "/dev/" + tty);
    }
    make_relative_link(tree, "/dev/serial/by-path/" + by_path, "/dev/" + tty);
}

void add_usb_device(const FakeTree& tree, const std::string& folder, const std::string& name,
                    const std::map<std::string, std::string>& attributes)
{
    for (const auto& [attribute, value] : attributes) {
        if (!value.empty()) {
            write_file(tree, std::string(folder).append("/").append(attribute), value + "\n");
        }
    }
    make_relative_link(tree, "/sys/bus/usb/devices/" + name, folder);
}

} // namespace

void add_adapter(const FakeTree& tree, const FakeAdapter& adapter)
{
    std::string usb = USB_HOST + adapter.usb_port;
    if (!adapter.hub_ids.empty()) {
        // A port behind a hub: the hub is "1-1", the adapter "1-1.2" inside its folder.
        const std::string hub_name = adapter.usb_port.substr(0, adapter.usb_port.find('.'));
        const std::string hub = USB_HOST + hub_name;
        add_usb_device(tree, hub, hub_name,
                       {{"idVendor", adapter.hub_ids[0]},
                        {"idProduct", adapter.hub_ids[1]},
                        {"bDeviceClass", "09"},
                        {"product", "USB 2.0 Hub"}});
        usb = hub + "/" + adapter.usb_port;
    }
    add_usb_device(tree, usb, adapter.usb_port,
                   {{"idVendor", adapter.vendor},
                    {"idProduct", adapter.product},
                    {"bcdDevice", adapter.release},
                    {"product", adapter.product_name},
                    {"manufacturer", adapter.manufacturer},
                    {"serial", adapter.serial},
                    {"bDeviceClass", adapter.device_class},
                    {"bMaxPacketSize0", adapter.max_packet_size0},
                    {"version", adapter.usb_version},
                    {"busnum", "1"},
                    {"devnum", std::to_string(adapter.usb_minor + 1)},
                    {"dev", "189:" + std::to_string(adapter.usb_minor)}});
    if (!adapter.usb_udev_properties.empty()) {
        std::string record = "I:5471092000\n";
        for (const std::string& property : adapter.usb_udev_properties) {
            record += "E:" + property + "\n";
        }
        write_file(tree, "/run/udev/data/c189:" + std::to_string(adapter.usb_minor), record);
    }
    const std::size_t digits = adapter.tty.find_last_not_of("0123456789") + 1;
    const auto first = static_cast<int>(std::strtol(adapter.tty.c_str() + digits, nullptr, 10));
    for (int port = 0; port < adapter.ports; ++port) {
        const std::string name = adapter.usb_port + ":1." + std::to_string(port);
        const std::string interface = std::string(usb).append("/").append(name);
        write_file(tree, interface + "/bInterfaceNumber", "0" + std::to_string(port) + "\n");
        // cdc_acm serves communication interfaces (class 2, subclass 2), the others vendor ones.
        const bool acm = adapter.interface_driver == "cdc_acm";
        write_file(tree, interface + "/bInterfaceClass", acm ? "02\n" : "ff\n");
        write_file(tree, interface + "/bInterfaceSubClass", acm ? "02\n" : "ff\n");
        write_file(tree, interface + "/bInterfaceProtocol", adapter.interface_protocol + "\n");
        make_relative_link(tree, "/sys/bus/usb/devices/" + name, interface);
        const std::string usb_driver = "/sys/bus/usb/drivers/" + adapter.interface_driver;
        make_folder(tree, usb_driver);
        make_relative_link(tree, interface + "/driver", usb_driver);
        if (adapter.has_tty) {
            add_port(tree, adapter, interface,
                     adapter.tty.substr(0, digits) + std::to_string(first + port), port);
        }
    }
}

void add_uart(const FakeTree& tree, const FakeUart& uart)
{
    // Since 6.5 the serial core puts a "ctrl" and a "port" device between the UART and its tty.
    const std::string port = uart.device + "/serial8250:0/serial8250:0.0";
    const std::string above = uart.serial_base ? port : uart.device;
    const std::string folder = above + "/tty/" + uart.tty;
    if (uart.serial_base) {
        for (const auto& [device, driver] :
             {std::pair{fs::path(port).parent_path().string(), "ctrl"}, std::pair{port, "port"}}) {
            make_folder(tree, "/sys/bus/serial-base/drivers/" + std::string(driver));
            make_relative_link(tree, device + "/driver",
                               "/sys/bus/serial-base/drivers/" + std::string(driver));
        }
    }
    const std::string bus = uart.device.find("/pnp") != std::string::npos ? "pnp" : "platform";
    make_folder(tree, "/sys/bus/" + bus);
    make_relative_link(tree, uart.device + "/subsystem", "/sys/bus/" + bus);
    write_file(tree, folder + "/uartclk", uart.clock + "\n");
    write_file(tree, folder + "/type", uart.type + "\n");
    write_file(tree, folder + "/dev",
               std::to_string(uart.major) + ":" + std::to_string(uart.minor) + "\n");
    const std::string driver = "/sys/bus/platform/drivers/" + uart.driver;
    make_folder(tree, driver);
    make_relative_link(tree, uart.device + "/driver", driver);
    make_relative_link(tree, folder + "/device", above);
    make_relative_link(tree, "/sys/class/tty/" + uart.tty, folder);
    if (uart.type != "0") {
        make_node(tree, "/dev/" + uart.tty, uart.major, uart.minor, 0660);
    }
}

void add_process(const FakeTree& tree, int pid, const std::string& command,
                 const std::vector<std::string>& open_files)
{
    const std::string folder = "/proc/" + std::to_string(pid);
    write_file(tree, folder + "/comm", command + "\n");
    make_link(tree, folder + "/fd/0", "/dev/null");
    int fd = 3;
    for (const std::string& file : open_files) {
        make_link(tree, folder + "/fd/" + std::to_string(fd++), file);
    }
}

namespace {

// The fixed users and groups of every tree, as NSS would give them.
std::optional<PasswdEntry> tree_user(const Machine& /*machine*/, uid_t uid)
{
    if (uid == 0 || uid == 1000) {
        return PasswdEntry{uid == 0 ? "root" : "alice", static_cast<gid_t>(uid)};
    }
    return std::nullopt;
}

std::vector<gid_t> tree_login_groups(const Machine& /*machine*/, const std::string& /*user*/,
                                     gid_t primary)
{
    return {primary};
}

std::optional<std::string> tree_group_name(const Machine& /*machine*/, gid_t gid)
{
    const std::map<gid_t, std::string> groups{
        {0, "root"}, {DIALOUT_GID, "dialout"}, {1000, "alice"}};
    const auto found = groups.find(gid);
    return found != groups.end() ? std::optional(found->second) : std::nullopt;
}

// libserialport 0.1.1's rule: a name under /dev/ whose /sys/class/tty entry exists.
bool tree_library_finds(const Machine& machine, const std::string& resolved)
{
    return resolved.starts_with("/dev/") &&
           path_exists(machine.root, "/sys/class/tty/" + resolved.substr(5));
}

// The tree's nodes are the test's own files: the kernel's answer for them would say nothing.
std::optional<bool> tree_kernel_allows(const Machine& /*machine*/, const std::string& /*node*/)
{
    return std::nullopt;
}

} // namespace

Machine tree_machine(const FakeTree& tree)
{
    return {
        SystemRoot{tree.root}, tree_user, tree_login_groups, tree_group_name, tree_library_finds,
        tree_kernel_allows,    0};
}

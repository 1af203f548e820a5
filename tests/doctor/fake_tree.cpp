#include "fake_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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
    FakeTree tree{made != nullptr ? made : "", true};
    for (const char* folder : {"/dev/serial/by-id", "/sys/class/tty", "/sys/bus/usb/devices",
                               "/sys/bus/usb-serial/devices", "/proc", "/run/udev/data"}) {
        make_folder(tree, folder);
    }
    write_file(tree, "/etc/passwd",
               "root:x:0:0:root:/root:/bin/bash\nalice:x:1000:1000:Alice:/home/alice:/bin/bash\n");
    write_file(tree, "/etc/group", "root:x:0:\ndialout:x:20:\nalice:x:1000:\n");
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

void make_node(FakeTree& tree, const std::string& system_path, unsigned major, unsigned minor,
               mode_t mode)
{
    const fs::path node = inside(tree, system_path);
    make_folder(tree, fs::path(system_path).parent_path().string());
    if (::mknod(node.c_str(), S_IFCHR | mode, makedev(major, minor)) != 0) {
        tree.nodes_made = false;
        write_file(tree, system_path, "");
    }
    // A shared chown/chmod keeps ownership and mode the same whichever way the node was made.
    [[maybe_unused]] const int owned = ::chown(node.c_str(), 0, DIALOUT_GID);
    ::chmod(node.c_str(), mode);
}

void add_adapter(FakeTree& tree, const FakeAdapter& adapter)
{
    const std::string usb = USB_HOST + adapter.usb_port;
    const std::string interface = usb + "/" + adapter.usb_port + ":1.0";
    write_file(tree, usb + "/idVendor", adapter.vendor + "\n");
    write_file(tree, usb + "/idProduct", adapter.product + "\n");
    write_file(tree, usb + "/bcdDevice", adapter.release + "\n");
    write_file(tree, usb + "/product", adapter.product_name + "\n");
    write_file(tree, usb + "/busnum", "1\n");
    write_file(tree, usb + "/devnum", "4\n");
    write_file(tree, interface + "/bInterfaceNumber", "00\n");
    make_relative_link(tree, "/sys/bus/usb/devices/" + adapter.usb_port, usb);
    make_relative_link(tree, "/sys/bus/usb/devices/" + adapter.usb_port + ":1.0", interface);
    const std::string usb_driver = "/sys/bus/usb/drivers/" + adapter.interface_driver;
    make_folder(tree, usb_driver);
    make_relative_link(tree, interface + "/driver", usb_driver);
    if (!adapter.has_tty) {
        return;
    }
    const bool acm = adapter.tty.starts_with("ttyACM");
    const auto minor = static_cast<unsigned>(std::strtoul(adapter.tty.c_str() + 6, nullptr, 10));
    const std::string numbers = (acm ? "166:" : "188:") + std::to_string(minor);
    std::string class_folder = interface + "/tty/" + adapter.tty;
    if (acm) {
        make_relative_link(tree, class_folder + "/device", interface);
    } else {
        // A usb-serial port sits between the interface and the tty, with the driver's files.
        const std::string port = interface + "/" + adapter.tty;
        class_folder = port + "/tty/" + adapter.tty;
        const std::string serial_driver = "/sys/bus/usb-serial/drivers/" + adapter.serial_driver;
        make_folder(tree, serial_driver);
        make_relative_link(tree, port + "/driver", serial_driver);
        make_relative_link(tree, "/sys/bus/usb-serial/devices/" + adapter.tty, port);
        make_relative_link(tree, class_folder + "/device", port);
        if (!adapter.latency_timer.empty()) {
            write_file(tree, port + "/latency_timer", adapter.latency_timer + "\n");
        }
    }
    write_file(tree, class_folder + "/dev", numbers + "\n");
    make_relative_link(tree, "/sys/class/tty/" + adapter.tty, class_folder);
    make_node(tree, "/dev/" + adapter.tty, acm ? 166 : 188, minor, adapter.node_mode);
    std::string udev = "S:serial/by-id/" + adapter.by_id +
                       "\nI:5471092881\nE:ID_VENDOR_ID=" + adapter.vendor +
                       "\nE:ID_MODEL_ID=" + adapter.product + "\n";
    for (const std::string& property : adapter.udev_properties) {
        udev += "E:" + property + "\n";
    }
    write_file(tree, "/run/udev/data/c" + numbers, udev + "G:systemd\nQ:systemd\nV:1\n");
    if (!adapter.by_id.empty()) {
        make_relative_link(tree, "/dev/serial/by-id/" + adapter.by_id, "/dev/" + adapter.tty);
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

void add_brltty_rules(const FakeTree& tree, const std::string& rules)
{
    write_file(tree, "/usr/lib/udev/rules.d/85-brltty.rules", rules);
}

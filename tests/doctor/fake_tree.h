// Throwaway machines for renumber-doctor: a temporary folder laid out like the parts of /dev,
// /sys, /proc, /run/udev and /etc that it reads, with the kernel's own links and attribute files.
#pragma once

#include "doctor/inventory.h"

#include <sys/types.h>

#include <string>
#include <vector>

inline constexpr gid_t DIALOUT_GID = 20;

struct FakeAdapter {
    std::string tty = "ttyUSB0";
    std::string usb_port = "1-1"; // "1-1.2" sits behind the hub "1-1" (see hub_ids)
    std::string vendor = "0403";  // FTDI FT232H unless a test says otherwise
    std::string product = "6014";
    std::string release = "0900";
    std::string product_name = "Single RS485 Cable";
    std::string manufacturer = "FTDI";
    std::string serial = "FT6X9K2A"; // empty: the device has no serial number string
    std::string device_class = "00";
    std::string max_packet_size0 = "64";
    std::string usb_version = " 2.00";
    std::string interface_protocol = "ff";        // cdc_acm ports: "01" announces AT commands
    std::vector<std::string> hub_ids;             // {"1a40", "0101"}: the hub above a "1-1.x" port
    std::vector<std::string> usb_udev_properties; // the USB device's own udev record
    int ports = 1;                                // multi-port chips: one interface and tty each
    int usb_minor = 3;                            // of the USB device node 189:n
    std::string interface_driver = "ftdi_sio"; // under /sys/bus/usb/drivers; "usbfs" once claimed
    std::string serial_driver = "ftdi_sio";    // under /sys/bus/usb-serial/drivers (ttyUSB only)
    std::string by_id = "usb-FTDI_Single_RS485_Cable_FT6X9K2A-if00-port0"; // ifNN per interface
    std::string latency_timer = "16"; // empty: no latency_timer file
    std::vector<std::string> udev_properties;
    bool has_tty = true; // false: the interface was taken from the serial driver
    mode_t node_mode = 0660;
};

struct FakeTree {
    std::string root; // the folder; removed by remove_tree
};

/// A new tree with the folders the doctor lists, empty.
FakeTree make_tree();
/// The tree as the doctor's machine: its users are root and alice (1000), its groups root,
/// dialout (20) and alice, with no members; libserialport finds what /sys/class/tty lists, and
/// no pid is the doctor's own.
Machine tree_machine(const FakeTree& tree);
void remove_tree(const FakeTree& tree);

void write_file(const FakeTree& tree, const std::string& system_path, const std::string& text);
/// A symbolic link whose target is written relative to the link's folder, as the kernel and
/// udev write theirs.
void make_relative_link(const FakeTree& tree, const std::string& link, const std::string& target);
void make_link(const FakeTree& tree, const std::string& link, const std::string& target);
void add_adapter(const FakeTree& tree, const FakeAdapter& adapter);
/// /proc/<pid>/comm and one /proc/<pid>/fd link per open file (fd 0 is /dev/null).
void add_process(const FakeTree& tree, int pid, const std::string& command,
                 const std::vector<std::string>& open_files = {});

/// A native UART under /sys/devices (PNP for ttyS, the platform bus otherwise) with uartclk and
/// type as the serial core shows them; a node only when type is not 0.
struct FakeUart {
    std::string tty = "ttyS0";
    std::string device = "/sys/devices/pnp0/00:04"; // its parent device
    std::string driver = "serial";                  // of that parent
    std::string clock = "1843200";
    std::string type = "4"; // PORT_16550A; 0 for a placeholder
    unsigned major = 4;
    unsigned minor = 64;
    bool serial_base = false; // the tty below serial-base's ctrl and port devices (6.5 on)
};
void add_uart(const FakeTree& tree, const FakeUart& uart);

// Throwaway machines for renumber-doctor: a temporary folder laid out like the parts of /dev,
// /sys, /proc, /run/udev and /etc that it reads, with the kernel's own links and attribute files.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

inline constexpr gid_t DIALOUT_GID = 20;

struct FakeAdapter {
    std::string tty = "ttyUSB0";
    std::string usb_port = "1-1";
    std::string vendor = "0403"; // FTDI FT232H unless a test says otherwise
    std::string product = "6014";
    std::string release = "0900";
    std::string product_name = "Single RS485 Cable";
    std::string interface_driver = "ftdi_sio"; // under /sys/bus/usb/drivers; "usbfs" once claimed
    std::string serial_driver = "ftdi_sio";    // under /sys/bus/usb-serial/drivers (ttyUSB only)
    std::string by_id = "usb-FTDI_Single_RS485_Cable_FT6X9K2A-if00-port0";
    std::string latency_timer = "16"; // empty: no latency_timer file
    std::vector<std::string> udev_properties;
    bool has_tty = true; // false: the interface was taken from the serial driver
    mode_t node_mode = 0660;
};

struct FakeTree {
    std::string root;       // the folder; removed by remove_tree
    bool nodes_made = true; // false when mknod was refused (not root), device nodes are files
};

/// A new tree with /etc/passwd (root, alice 1000), /etc/group (dialout 20) and empty /proc.
FakeTree make_tree();
void remove_tree(const FakeTree& tree);

void write_file(const FakeTree& tree, const std::string& system_path, const std::string& text);
/// A symbolic link whose target is written relative to the link's folder, as the kernel and
/// udev write theirs.
void make_relative_link(const FakeTree& tree, const std::string& link, const std::string& target);
void make_link(const FakeTree& tree, const std::string& link, const std::string& target);
/// A character device node owned by root:dialout; a plain file when nodes cannot be made.
void make_node(FakeTree& tree, const std::string& system_path, unsigned major, unsigned minor,
               mode_t mode);

void add_adapter(FakeTree& tree, const FakeAdapter& adapter);
/// /proc/<pid>/comm and one /proc/<pid>/fd link per open file (fd 0 is /dev/null).
void add_process(const FakeTree& tree, int pid, const std::string& command,
                 const std::vector<std::string>& open_files = {});
void add_brltty_rules(const FakeTree& tree, const std::string& rules);

// renumber-doctor on fake machines: every outcome of every check, the exit status, the listing,
// the command line, and that a run changes nothing and never opens the device.
#include "doctor/chips.h"
#include "doctor/doctor.h"
#include "doctor/sysroot.h"
#include "machines.h"
#include "support/run_process.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr char BRLTTY_RULES[] =
    "# Device: 1A86:7523\n"
    "# Baum [NLS eReader Zoomax (20 cells)]\n"
    "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"\n"
    "# ENV{PRODUCT}==\"403/6014/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"ht\", GOTO=\"brltty_usb_run\"\n";

const Build HEALTHY = adapter(FT232H);
const Build RULES = [](FakeTree& tree) { add_brltty_rules(tree, BRLTTY_RULES); };

struct Case {
    const char* name;
    Build machine;
    std::string device;
    const char* verdict;
    std::string fragment; // must appear in the check's line
    const char* identity = ALICE_IN_DIALOUT;
};

// libserialport0 in the package database, as dpkg records it.
Build library(const char* version, const char* status = "install ok installed")
{
    return file("/var/lib/dpkg/status",
                "Package: libc6\nStatus: install ok installed\nVersion: 2.36-9\n\n"
                "Package: libserialport0\nStatus: " +
                    std::string(status) + "\nPriority: optional\nVersion: " + version +
                    "\nDescription: library for accessing serial ports\n");
}

// /proc/locks with one flock of pid on /dev/ttyUSB0, named by device and inode as the kernel
// names it.
Build flock_by(int pid)
{
    return [pid](const FakeTree& tree) {
        struct stat info {};
        ASSERT_EQ(::stat((tree.root + "/dev/ttyUSB0").c_str(), &info), 0);
        std::array<char, 128> line{};
        std::snprintf(line.data(), line.size(),
                      "1: FLOCK  ADVISORY  WRITE %d %02x:%02x:%lu 0 EOF\n", pid, major(info.st_dev),
                      minor(info.st_dev), static_cast<unsigned long>(info.st_ino));
        write_file(tree, "/proc/locks",
                   std::string("2: POSIX  ADVISORY  WRITE 612 00:19:4 0 EOF\n") + line.data());
    };
}

// A process whose open files this user may not see.
Build no_fds(int pid)
{
    return [pid](const FakeTree& tree) {
        std::error_code error;
        std::filesystem::remove_all(tree.root + "/proc/" + std::to_string(pid) + "/fd", error);
    };
}

class DoctorCheck : public Doctor {
protected:
    void check(const char* topic, const std::vector<Case>& cases)
    {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const DoctorRun run = doctor(c.machine, {c.device}, c.identity);
            const std::string line = line_of(run.out, topic);
            EXPECT_EQ(line.substr(0, line.find(' ')), c.verdict) << run.out;
            EXPECT_NE(line.find(c.fragment), std::string::npos)
                << "no \"" << c.fragment << "\" in: " << line;
        }
    }
};

TEST_F(DoctorCheck, DeviceNode)
{
    if (!nodes_possible) {
        GTEST_SKIP() << NEEDS_NODES;
    }
    const char* other = "/dev/serial/by-id/usb-FTDI_Other-if00-port0";
    const Build dangling = [other](const FakeTree& tree) {
        make_relative_link(tree, other, "/dev/ttyUSB1");
    };
    check("device",
          {{"node", HEALTHY, "/dev/ttyUSB0", "OK",
            "/dev/ttyUSB0: character device 188:0, the kernel's tty ttyUSB0"},
           {"stable name", HEALTHY, BY_ID, "OK",
            "leads to /dev/ttyUSB0 (" + std::string(BY_ID) + " -> ../../ttyUSB0): character"},
           {"absent", HEALTHY, "/dev/ttyUSB1", "FAIL",
            "/dev/ttyUSB1 does not exist: renumber would stop with \"[Error] Device name does "
            "not exist.\" Fix: name one of the serial ports present: /dev/ttyUSB0 (" +
                std::string(BY_ID)},
           {"dangling stable name", all(HEALTHY, dangling), other, "FAIL",
            "leads to /dev/ttyUSB1 (" + std::string(other) +
                " -> ../../ttyUSB1), which does "
                "not exist"},
           {"plain file", [](const FakeTree& tree) { write_file(tree, "/dev/ttyUSB0", ""); },
            "/dev/ttyUSB0", "FAIL", "/dev/ttyUSB0: a regular file, not a character device"},
           {"node the kernel does not list",
            [](FakeTree& tree) { make_node(tree, "/dev/ttyS9", 4, 73, 0660); }, "/dev/ttyS9",
            "FAIL", "so libserialport cannot look it up"}});
}

TEST_F(DoctorCheck, Access)
{
    if (!nodes_possible) {
        GTEST_SKIP() << NEEDS_NODES;
    }
    const Build joined = [](const FakeTree& tree) {
        write_file(tree, "/etc/group", "root:x:0:\ndialout:x:20:bob,alice\nalice:x:1000:\n");
    };
    const auto mode = [](mode_t bits) {
        return adapter(with(FT232H, [=](FakeAdapter& a) { a.node_mode = bits; }));
    };
    check("access",
          {{"root", HEALTHY, "/dev/ttyUSB0", "OK", "running as root", ROOT_USER},
           {"member", HEALTHY, "/dev/ttyUSB0", "OK",
            "crw-rw---- root:dialout; alice may read and write it as a member of dialout"},
           {"not a member", HEALTHY, "/dev/ttyUSB0", "FAIL",
            "alice is not in dialout: renumber would stop with \"[Error] Failed to open serial "
            "port, try opening with administrator privileges.\" Fix: sudo usermod -aG dialout "
            "alice, then log out and back in",
            ALICE},
           {"joined after login", all(HEALTHY, joined), BY_ID, "FAIL",
            "the group database puts alice in dialout, but this login session started before that",
            ALICE},
           {"owner only", mode(0600), "/dev/ttyUSB0", "FAIL",
            "neither alice nor dialout may read and write it"},
           {"open to all", mode(0666), "/dev/ttyUSB0", "OK",
            "crw-rw-rw- root:dialout; alice may read and write it", ALICE}});
}

TEST_F(DoctorCheck, Brltty)
{
    const char* claim = "its udev rules (/usr/lib/udev/rules.d/85-brltty.rules) claim 1a86:7523";
    const std::string line =
        R"(: ENV{PRODUCT}=="1a86/7523/*", ENV{BRLTTY_BRAILLE_DRIVER}="bm", GOTO="brltty_usb_run")";
    check("brltty",
          {{"absent", HEALTHY, "/dev/ttyUSB0", "OK",
            "brltty is not running and no brltty udev rules are installed"},
           {"commented rule", all(HEALTHY, RULES), "/dev/ttyUSB0", "OK",
            "its udev rules do not claim this adapter"},
           {"rules name the adapter", all(adapter(CH340), RULES), "/dev/ttyUSB0", "WARN",
            "brltty is not running, but " + std::string(claim) + line},
           {"running", all(HEALTHY, RULES, process(812, "brltty")), "/dev/ttyUSB0", "WARN",
            "brltty is running; its udev rules do not claim this adapter"},
           {"claimed the adapter", all(adapter(CH340_CLAIMED), RULES, process(812, "brltty")),
            "/dev/ttyUSB0", "FAIL",
            "brltty is running and " + std::string(claim) + line +
                "; it takes such adapters from the serial driver"}});
}

TEST_F(DoctorCheck, ModemManager)
{
    const Build legacy = [](const FakeTree& tree) {
        add_command_line(tree, 640, {"/usr/sbin/ModemManager", "--filter-policy=LEGACY"});
    };
    const Build ignored = adapter(
        with(FT232H, [](FakeAdapter& a) { a.udev_properties = {"ID_MM_DEVICE_IGNORE=1"}; }));
    check("ModemManager",
          {{"absent", HEALTHY, "/dev/ttyUSB0", "OK", "not running"},
           {"ignores the adapter", all(ignored, process(640, "ModemManager")), "/dev/ttyUSB0", "OK",
            "but udev marks /dev/ttyUSB0 ID_MM_DEVICE_IGNORE=1"},
           {"may probe", all(HEALTHY, process(640, "ModemManager"), legacy), BY_ID, "WARN",
            "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6014\", "
            "ENV{ID_MM_DEVICE_IGNORE}=\"1\""},
           {"probing", all(HEALTHY, process(640, "ModemManager", {"/dev/ttyUSB0"})), "/dev/ttyUSB0",
            "FAIL", "ModemManager (pid 640) has /dev/ttyUSB0 open"}});
}

TEST_F(DoctorCheck, Holders)
{
    const char* free = "no other process has /dev/ttyUSB0 open";
    check("holders",
          {{"free", HEALTHY, "/dev/ttyUSB0", "OK", free},
           {"another tty held", all(HEALTHY, process(4242, "minicom", {"/dev/ttyUSB1"})),
            "/dev/ttyUSB0", "OK", free},
           {"held", all(HEALTHY, process(4242, "minicom", {"/dev/pts/3", "/dev/ttyUSB0"})),
            "/dev/ttyUSB0", "FAIL", "/dev/ttyUSB0 is open in pid 4242 (minicom)"},
           {"ModemManager left to its own line",
            all(HEALTHY, process(640, "ModemManager", {"/dev/ttyUSB0"})), "/dev/ttyUSB0", "OK",
            "open apart from those with their own line above"},
           {"held, named by its stable name",
            all(HEALTHY, process(4242, "minicom", {"/dev/ttyUSB0"})), BY_ID, "FAIL",
            "Fix: quit those programs first (or kill 4242)"},
           {"a getty has its own line", all(HEALTHY, process(702, "agetty", {"/dev/ttyUSB0"})),
            "/dev/ttyUSB0", "OK", "open apart from those with their own line above"},
           {"processes of other users", all(HEALTHY, process(1, "systemd"), no_fds(1)),
            "/dev/ttyUSB0", "OK",
            "(1 processes belong to other users and only root sees their files: sudo "
            "renumber-doctor checks them too)"}});
}

// What renumber does with a port another program holds depends on the libserialport release.
TEST_F(DoctorCheck, HoldersSayWhatRenumberWouldPrint)
{
    if (!nodes_possible) {
        GTEST_SKIP() << NEEDS_NODES; // the lock names the node's inode
    }
    const Build held = all(HEALTHY, process(4242, "picocom", {"/dev/ttyUSB0"}));
    const std::string refused = "renumber would stop with \"[Error] Failed to open serial port, "
                                "try opening with administrator privileges.\" (status 255), after "
                                "a line beginning \"sp_open: \" on standard error";
    check("holders",
          {{"Debian 12", all(held, library("0.1.1-4")), "/dev/ttyUSB0", "FAIL",
            "libserialport 0.1.1-4 takes no lock, so renumber would share the line"},
           {"Debian 13, holder locked it", all(held, library("0.1.2-1"), flock_by(4242)),
            "/dev/ttyUSB0", "FAIL",
            "libserialport 0.1.2-1 locks the port on open (flock) and pid 4242 holds that lock, "
            "so " +
                refused},
           {"Debian 13, another process locked it", all(held, library("0.1.2-1"), flock_by(77)),
            "/dev/ttyUSB0", "FAIL", "locks the port on open, but they hold no lock on it"},
           {"removed package", all(held, library("0.1.2-1", "deinstall ok config-files")),
            "/dev/ttyUSB0", "FAIL", "libserialport0 is not in the package database"},
           {"an epoch and a later release", all(held, library("1:0.2.0-1"), flock_by(4242)),
            "/dev/ttyUSB0", "FAIL", "and pid 4242 holds that lock"}});
}

// A USB serial part bound to its driver, with the descriptors the driver reads.
Build part(
    const char* ids, const char* release, const char* driver,
    const std::function<void(FakeAdapter&)>& change = [](FakeAdapter&) {})
{
    return adapter(with(usb_part(ids, release, driver), [=](FakeAdapter& a) {
        if (std::string(driver) == "cdc_acm") {
            a.tty = "ttyACM0";
        }
        change(a);
    }));
}

TEST_F(DoctorCheck, Chip)
{
    const auto product = [](const char* text) {
        return [=](FakeAdapter& a) { a.product_name = text; };
    };
    const auto descriptors = [](const char* device_class, const char* packet, const char* usb) {
        return [=](FakeAdapter& a) {
            a.device_class = device_class;
            a.max_packet_size0 = packet;
            a.usb_version = usb;
        };
    };
    const std::string timeout = "renumber sends at the wrong rate, hears no motor and after about "
                                "5 s stops with \"[ERROR] Modify id <id> to <target> failure, No "
                                "motor be found(timeout).\" (status 255)";
    check(
        "chip",
        {{"FT232H", HEALTHY, "/dev/ttyUSB0", "OK",
          "FTDI FT232H (0403:6014, driver ftdi_sio) is documented up to 12,000,000 baud "
          "(FT232H datasheet (FT_000288): 12 Mbaud); the line runs at the motor bus's "
          "4,000,000"},
         {"FT232R falls to 9,600", part("0403:6001", "0600", "ftdi_sio"), "/dev/ttyUSB0", "FAIL",
          "ftdi_sio sets this part to 9,600 baud when asked for 4,000,000 (\"Baud rate too "
          "high\") and reports 9,600 back; " +
              timeout},
         {"FTDI part by bcdDevice, not product id", part("0403:a6d0", "0900", "ftdi_sio"),
          "/dev/ttyUSB0", "OK", "FTDI FT232H (0403:a6d0"},
         {"FT232R under an OEM product id", part("0403:6001", "1000", "ftdi_sio"), "/dev/ttyUSB0",
          "FAIL", "FTDI FT-X series"},
         {"FT2232D, same ids as FT2232H", part("0403:6010", "0500", "ftdi_sio"), "/dev/ttyUSB0",
          "FAIL", "FTDI FT2232C/D"},
         {"FT4232HA", part("0403:6048", "3600", "ftdi_sio"), "/dev/ttyUSB0", "OK", "FTDI FT4232HA"},
         {"FTDI release the driver does not know", part("0403:6001", "0a00", "ftdi_sio"),
          "/dev/ttyUSB0", "WARN", "no documented maximum baud rate for USB device 0403:6001"},
         {"CH340 clamps silently", adapter(CH340), "/dev/ttyUSB0", "FAIL",
          "WCH CH340 (1a86:7523, driver ch341-uart) is documented up to 2,000,000 baud "
          "(CH340DS1: 2 Mbps; ch341.c CH341_MAX_BPS): ch341-uart clamps 4,000,000 to 3,000,000 "
          "while the terminal settings still read 4,000,000; " +
              timeout},
         {"CH340 under 9986", part("9986:7523", "0254", "ch341-uart"), "/dev/ttyUSB0", "FAIL",
          "WCH CH340 (9986)"},
         {"CP2102N by its product string",
          part("10c4:ea60", "0100", "cp210x", product("CP2102N USB to UART Bridge Controller")),
          "/dev/ttyUSB0", "FAIL", "cp210x clamps 4,000,000 to the part's 3,000,000 and reports"},
         {"CP2102 by its product string",
          part("10c4:ea60", "0100", "cp210x", product("CP2102 USB to UART Bridge Controller")),
          "/dev/ttyUSB0", "FAIL",
          "Silicon Labs CP2102 (10c4:ea60, driver cp210x) is "
          "documented up to 1,000,000"},
         {"CP210x whose strings say nothing",
          part("10c4:ea60", "0100", "cp210x", product("USB-RS485 Converter")), "/dev/ttyUSB0",
          "FAIL", "clamps 4,000,000 to the part's cap"},
         {"CP2108", part("10c4:ea71", "0100", "cp210x"), "/dev/ttyUSB0", "FAIL",
          "Silicon Labs CP2108"},
         {"PL2303H: device class 02",
          part("067b:2303", "0300", "pl2303", descriptors("02", "64", " 1.10")), "/dev/ttyUSB0",
          "FAIL", "pl2303 clamps 4,000,000 to the part's 1,228,800"},
         {"PL2303H: 8-byte control endpoint",
          part("067b:2303", "0300", "pl2303", descriptors("00", "8", " 1.10")), "/dev/ttyUSB0",
          "FAIL", "Prolific PL2303H"},
         {"PL2303TB or GE", part("067b:2303", "0500", "pl2303", descriptors("00", "64", " 2.00")),
          "/dev/ttyUSB0", "OK", "Prolific PL2303TB or G-series"},
         {"PL2303 the driver refuses",
          part("067b:2303", "0800", "pl2303", descriptors("00", "64", " 2.00")), "/dev/ttyUSB0",
          "WARN", "no documented maximum"},
         {"CH9102 at exactly 4 Mbaud", part("1a86:55d4", "0442", "cdc_acm"), "/dev/ttyACM0", "OK",
          "WCH CH9102 (1a86:55d4, driver cdc_acm) is documented up to 4,000,000 baud "
          "(CH9102DS1: 4 Mbps); the line runs at"},
         {"CH9101 gets a rate it cannot run", part("1a86:55d8", "0442", "cdc_acm"), "/dev/ttyACM0",
          "FAIL",
          "cdc_acm passes 4,000,000 to the chip, which its maker documents only up to "
          "3,000,000; " +
              timeout},
         {"MCP2200", part("04d8:00df", "0101", "cdc_acm"), "/dev/ttyACM0", "FAIL",
          "Microchip MCP2200"},
         {"XR21V1410", part("04e2:1410", "0101", "xr_serial"), "/dev/ttyUSB0", "OK",
          "MaxLinear XR21V1410"},
         {"unknown", part("1234:5678", "0100", "usb_serial_simple"), "/dev/ttyUSB0", "WARN",
          "no documented maximum baud rate for USB device 1234:5678 (driver "
          "usb_serial_simple), \"Single RS485 Cable\""}});
}

TEST_F(DoctorCheck, Latency)
{
    const auto timer = [](const char* value) {
        return adapter(with(FT232H, [=](FakeAdapter& a) { a.latency_timer = value; }));
    };
    check("latency",
          {{"ttyUSB path", HEALTHY, "/dev/ttyUSB0", "OK",
            "FTDI latency timer is 16 ms; renumber switches the port to low latency itself"},
           {"stable name", HEALTHY, BY_ID, "WARN",
            "every answer waits up to 16 ms in the adapter. Fix: give renumber /dev/ttyUSB0 "
            "instead, or lower the timer: echo 1 | sudo tee "
            "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"},
           {"already low", timer("1"), BY_ID, "OK", "latency timer is 1 ms"},
           {"unreadable", timer(""), BY_ID, "WARN",
            "cannot read the FTDI latency timer: stat "
            "/sys/class/tty/ttyUSB0/device/latency_timer: No such file or directory"},
           {"not FTDI", adapter(CH340), "/dev/ttyUSB0", "OK", "driver ch341-uart is not FTDI's"}});
}

TEST_F(Doctor, ExitStatusSummarisesTheChecks)
{
    if (!nodes_possible) {
        GTEST_SKIP() << NEEDS_NODES;
    }
    const DoctorRun healthy = doctor(HEALTHY, {"/dev/ttyUSB0"});
    EXPECT_EQ(healthy.status, 0);
    EXPECT_TRUE(healthy.out.ends_with("All checks OK: nothing here stops renumber.\n"));
    const DoctorRun warned = doctor(HEALTHY, {BY_ID});
    EXPECT_EQ(warned.status, 1);
    EXPECT_TRUE(warned.out.ends_with("1 WARN: renumber can run; read the WARN lines.\n"));
    const DoctorRun failed =
        doctor(all(adapter(CH340_CLAIMED), RULES, process(812, "brltty")), {"/dev/ttyUSB0"});
    EXPECT_EQ(failed.status, 2);
    EXPECT_TRUE(failed.out.ends_with(
        "Not checked without the adapter's tty: access, console, holders, chip, latency.\n"
        "2 FAIL, 0 WARN: renumber will not work until the FAIL lines are fixed.\n"))
        << failed.out;
}

TEST_F(Doctor, ListsAdaptersInNaturalOrderWithTheirStableNames)
{
    const FakeAdapter second = with(FT232H, [](FakeAdapter& a) {
        a.tty = "ttyUSB10";
        a.usb_port = "1-2";
    });
    const FakeAdapter first = with(CH340, [](FakeAdapter& a) { a.tty = "ttyUSB2"; });
    const DoctorRun run = doctor(all(adapter(second), adapter(first)), {});
    EXPECT_EQ(run.out, "/dev/ttyUSB2  WCH CH340 (1a86:7523, driver ch341-uart)  \"USB Serial\"  "
                       "up to 2,000,000 baud\n"
                       "    /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0\n"
                       "/dev/ttyUSB10  FTDI FT232H (0403:6014, driver ftdi_sio)  "
                       "\"Single RS485 Cable\"  up to 12,000,000 baud\n"
                       "    " +
                           std::string(BY_ID) +
                           "\n"
                           "Check one with: renumber-doctor /dev/ttyUSB2\n");
    EXPECT_EQ(run.status, 0);
}

TEST_F(Doctor, ListingNamesAChipWhoseTtyWasTaken)
{
    const DoctorRun run = doctor(adapter(CH340_CLAIMED), {});
    EXPECT_EQ(run.out, "No serial port found: the kernel lists no ttyUSB*, ttyACM* or native "
                       "UART under /sys/class/tty.\n"
                       "USB device 1-1 is a WCH CH340 (1a86:7523) without a tty: its interface is "
                       "held by usbfs, as brltty does when it claims an adapter; renumber-doctor "
                       "/dev/ttyUSB0 says more.\n"
                       "Plug the USB-to-RS-485 adapter in and run again; sudo dmesg shows "
                       "whether the kernel saw it.\n");
    EXPECT_EQ(run.status, 2);
}

// Watches every folder of the tree and the device node while the real binary runs.
TEST_F(Doctor, WritesNothingAndNeverOpensTheDevice)
{
    add_adapter(tree, FT232H);
    add_process(tree, 640, "ModemManager", {"/dev/ttyUSB0"});
    add_brltty_rules(tree, BRLTTY_RULES);
    // inotify reports only opens that succeed, and no driver here answers 188:0; as a null
    // device the node would take any open, and show it.
    std::error_code error;
    std::filesystem::remove(tree.root + "/dev/ttyUSB0", error);
    make_node(tree, "/dev/ttyUSB0", 1, 3, 0660);
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    constexpr std::uint32_t CHANGES = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                      IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    std::map<int, std::string> watched;
    watched[inotify_add_watch(watcher, (tree.root + "/dev/ttyUSB0").c_str(), IN_OPEN)] = "node";
    for (auto it = std::filesystem::recursive_directory_iterator(tree.root, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            watched[inotify_add_watch(watcher, it->path().c_str(), IN_OPEN | CHANGES)] =
                it->path().string();
        }
    }
    ASSERT_FALSE(watched.contains(-1));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"/dev/ttyUSB0"}, {BY_ID}}) {
        std::vector<std::string> argv{DOCTOR_BINARY, "--root", tree.root, "--identity", ALICE};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_NE(run_process(argv).out, "");
    }
    int opens = 0;
    alignas(inotify_event) std::array<char, 65536> buffer{};
    for (ssize_t length; (length = read(watcher, buffer.data(), buffer.size())) > 0;) {
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            const std::string where =
                watched[event->wd] + "/" + (event->len != 0 ? event->name : "");
            EXPECT_EQ(event->mask & (CHANGES | IN_Q_OVERFLOW), 0U) << "changed: " << where;
            EXPECT_NE(watched[event->wd], "node") << "the device node was opened";
            EXPECT_FALSE(where.ends_with("/dev/ttyUSB0")) << "the device node was opened";
            opens += (event->mask & IN_OPEN) != 0 ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    close(watcher);
    EXPECT_GT(opens, 0) << "the watch saw nothing, so it proves nothing";
}

TEST(DoctorCommandLine, BadUsageAndNoAdapter)
{
    FakeTree empty = make_tree();
    struct Expectation {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    };
    const std::vector<Expectation> expectations{
        {{"--root", empty.root}, 2, "No serial port found", ""},
        {{"--help"}, 0, "usage: renumber-doctor            list the serial ports", ""},
        {{"--verbose"}, EXIT_BAD_USAGE, "", "renumber-doctor: unknown option '--verbose'\n"},
        {{"/dev/ttyUSB0", "/dev/ttyUSB1"}, EXIT_BAD_USAGE, "", "one device at a time"},
        {{"--root", empty.root + "/missing"},
         EXIT_BAD_USAGE,
         "",
         "/missing: realpath: No such file or directory"},
        {{"--identity", "alice"}, EXIT_BAD_USAGE, "", "--identity needs UID:GID[:GID,...]"}};
    for (const Expectation& expected : expectations) {
        std::vector<std::string> argv{DOCTOR_BINARY};
        argv.insert(argv.end(), expected.args.begin(), expected.args.end());
        const ProcessResult run = run_process(argv);
        SCOPED_TRACE(argv.back());
        EXPECT_EQ(run.status, expected.status);
        EXPECT_NE(run.out.find(expected.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(expected.err), std::string::npos) << run.err;
        EXPECT_EQ(run.out.empty(), std::string(expected.out).empty()) << run.out;
    }
    remove_tree(empty);
}

TEST(DoctorRoot, LinksAreFollowedInsideTheRoot)
{
    FakeTree tree = make_tree();
    write_file(tree, "/only-in-the-tree/ttyUSB0", "");
    make_link(tree, "/dev/absolute", "/only-in-the-tree/ttyUSB0");
    make_link(tree, "/dev/climbing", "../../../../../only-in-the-tree/ttyUSB0");
    make_relative_link(tree, "/dev/serial/by-id/gone", "/dev/ttyUSB7");
    make_link(tree, "/dev/loop-a", "loop-b");
    make_link(tree, "/dev/loop-b", "loop-a");
    const SystemRoot root{tree.root};
    for (const char* path : {"/dev/absolute", "/dev/climbing"}) {
        const Resolution resolved = resolve_path(root, path);
        EXPECT_FALSE(resolved.error) << path;
        EXPECT_EQ(resolved.path, "/only-in-the-tree/ttyUSB0") << path;
    }
    const Resolution gone = resolve_path(root, "/dev/serial/by-id/gone");
    EXPECT_EQ(gone.error, std::errc::no_such_file_or_directory);
    EXPECT_EQ(gone.missing, "/dev/ttyUSB7");
    EXPECT_EQ(gone.hops, std::vector<std::string>{"/dev/serial/by-id/gone -> ../../ttyUSB7"});
    EXPECT_EQ(resolve_path(root, "/dev/loop-a").error, std::errc::too_many_symbolic_link_levels);
    remove_tree(tree);
}

} // namespace

namespace {

// system.posix_acl_access as the kernel stores it: version 2, then (tag, perm, id) entries.
std::string acl_bytes(const std::vector<std::array<std::uint32_t, 3>>& entries)
{
    std::string bytes;
    const auto put = [&bytes](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xffU);
        }
    };
    put(2, 4);
    for (const auto& [tag, perm, id] : entries) {
        put(tag, 2);
        put(perm, 2);
        put(id, 4);
    }
    return bytes;
}

constexpr std::uint32_t NO_ID = 0xffffffff;

TEST_F(Doctor, AccessCountsAclsAndTheUserBehindSudo)
{
    if (!nodes_possible) {
        GTEST_SKIP() << NEEDS_NODES;
    }
    bool acl_refused = false;
    const auto acl = [&acl_refused](const std::vector<std::array<std::uint32_t, 3>>& entries) {
        return [&acl_refused, entries](FakeTree& tree) {
            add_adapter(tree, with(FT232H, [](FakeAdapter& a) { a.node_mode = 0660; }));
            write_file(tree, "/etc/group",
                       "root:x:0:\ndialout:x:20:\nplugdev:x:46:alice\n"
                       "alice:x:1000:\n");
            const std::string bytes = acl_bytes(entries);
            acl_refused |=
                ::setxattr((tree.root + "/dev/ttyUSB0").c_str(), "system.posix_acl_access",
                           bytes.data(), bytes.size(), 0) != 0;
        };
    };
    // What systemd-logind's uaccess gives the user at the seat: user:alice:rw-.
    const auto uaccess =
        acl({{1, 6, NO_ID}, {2, 6, 1000}, {4, 6, NO_ID}, {0x10, 6, NO_ID}, {0x20, 0, NO_ID}});
    const auto masked =
        acl({{1, 6, NO_ID}, {2, 6, 1000}, {4, 6, NO_ID}, {0x10, 4, NO_ID}, {0x20, 0, NO_ID}});
    const auto by_group =
        acl({{1, 6, NO_ID}, {4, 6, NO_ID}, {8, 6, 46}, {0x10, 6, NO_ID}, {0x20, 0, NO_ID}});
    struct Row {
        const char* name;
        Build machine;
        const char* identity;
        std::vector<std::string> more;
        const char* verdict;
        const char* fragment;
    };
    const std::vector<Row> rows{
        {"uaccess ACL",
         uaccess,
         ALICE,
         {},
         "OK",
         "alice may read and write it through an ACL entry for alice"},
        {"ACL entry cut by the mask",
         masked,
         ALICE,
         {},
         "FAIL",
         "crw-r----- root:dialout; neither alice nor dialout may read and write it"},
        {"ACL entry for a group",
         by_group,
         "1000:1000:1000,46",
         {},
         "OK",
         "through an ACL entry for group plugdev"},
        {"sudo, user outside dialout",
         adapter(FT232H),
         ROOT_USER,
         {"--invoked-by", ALICE},
         "WARN",
         "checked as root through sudo, which may open /dev/ttyUSB0; /dev/ttyUSB0 is crw-rw---- "
         "root:dialout; without sudo, alice is not in dialout"},
        {"sudo, user in dialout",
         adapter(FT232H),
         ROOT_USER,
         {"--invoked-by", ALICE_IN_DIALOUT},
         "OK",
         "without sudo, alice may read and write it as a member of dialout"},
        {"plain root", adapter(FT232H), ROOT_USER, {}, "OK", "running as root"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DoctorRun run = doctor(row.machine, {"/dev/ttyUSB0"}, row.identity, row.more);
        if (acl_refused) {
            GTEST_SKIP() << "needs a file system with POSIX ACLs for the temporary folder";
        }
        const std::string line = line_of(run.out, "access");
        EXPECT_EQ(line.substr(0, line.find(' ')), row.verdict) << run.out;
        EXPECT_NE(line.find(row.fragment), std::string::npos) << line;
    }
}

TEST_F(Doctor, ModemManagerSaysWhatOnlyRootSees)
{
    const DoctorRun run =
        doctor(all(adapter(FT232H), process(640, "ModemManager"), no_fds(640)), {"/dev/ttyUSB0"});
    EXPECT_NE(line_of(run.out, "ModemManager")
                  .find("it runs as root, so only sudo renumber-doctor sees whether it has the "
                        "port open"),
              std::string::npos)
        << run.out;
}

TEST_F(Doctor, ListsNativeUartsVendorNodesAndWhatAChipWithoutTtyNeeds)
{
    const Build machine = all(
        adapter(with(CH340, [](FakeAdapter& a) { a.tty = "ttyUSB0"; })),
        adapter(with(CH340,
                     [](FakeAdapter& a) {
                         a.tty = "ttyUSB1";
                         a.usb_port = "1-2";
                         a.usb_minor = 4;
                     })),
        adapter(with(FT232H,
                     [](FakeAdapter& a) {
                         a.usb_port = "1-3";
                         a.usb_minor = 5;
                         a.interface_driver = "ftdi_sio";
                         a.release = "0600";
                         a.product = "6001";
                         a.has_tty = false;
                         a.interface_driver = "none";
                     })),
        PC_UARTS, [](const FakeTree& tree) {
            // A device no driver took: no driver link on its interface.
            std::error_code error;
            std::filesystem::remove(
                tree.root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/driver", error);
        });
    const DoctorRun run = doctor(machine, {});
    EXPECT_EQ(run.out,
              "/dev/ttyS0  native UART, driver serial, up to 115,200 baud\n"
              "/dev/ttyUSB0  WCH CH340 (1a86:7523, driver ch341-uart)  \"USB Serial\"  up to "
              "2,000,000 baud\n"
              "    /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0\n"
              "    (no /dev/serial/by-id name)\n"
              "/dev/ttyUSB1  WCH CH340 (1a86:7523, driver ch341-uart)  \"USB Serial\"  up to "
              "2,000,000 baud\n"
              "    /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0  (shared: no serial number)\n"
              "    /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "USB device 1-3 is a FTDI FT232R (0403:6001) without a tty: no driver holds it; load "
              "it with sudo modprobe ftdi_sio (on Ubuntu: sudo apt install "
              "linux-modules-extra-$(uname -r)); renumber-doctor /dev/ttyUSB0 says more.\n"
              "Check one with: renumber-doctor /dev/ttyS0\n");
}

TEST(DoctorRoot, AFailingReaddirIsReportedNotTakenForTheEnd)
{
    FakeTree tree = make_tree();
    write_file(tree, "/dir/a", "");
    const SystemRoot root{tree.root};
    std::error_code error;
    EXPECT_EQ(list_directory(root, "/dir", error), std::vector<std::string>{"a"});
    EXPECT_FALSE(error);
    const ReadEntry failing = [](DIR*) -> dirent* {
        errno = EIO;
        return nullptr;
    };
    EXPECT_TRUE(list_directory(root, "/dir", error, failing).empty());
    EXPECT_EQ(error, std::errc::io_error);
    const ReadEntry ending = [](DIR*) -> dirent* { return nullptr; };
    list_directory(root, "/dir", error, ending);
    EXPECT_FALSE(error) << "a null entry with errno 0 is the end of the directory";
    remove_tree(tree);
}

// Every row of the chip table appears in renumber-doctor(1) with its source.
TEST(DoctorManual, ListsEveryChipRowWithItsSource)
{
    std::ifstream page(DOCTOR_MANUAL);
    std::stringstream text;
    text << page.rdbuf();
    std::string manual = text.str();
    ASSERT_FALSE(manual.empty()) << DOCTOR_MANUAL;
    for (std::size_t at = manual.find("\\-"); at != std::string::npos;
         at = manual.find("\\-", at)) {
        manual.replace(at, 2, "-");
    }
    for (const ChipRow& row : chip_table()) {
        EXPECT_NE(manual.find(row.name), std::string::npos) << row.name;
        EXPECT_NE(manual.find(row.source), std::string::npos) << row.name << ": " << row.source;
    }
}

} // namespace

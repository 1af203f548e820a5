// renumber-doctor's gathering on fake machines laid out as the kernel and the packages lay out
// real ones: that each fact is read from where it lives, the listing, the command line, and that
// a run changes nothing and never opens the device. The verdicts are verdicts_test.cpp's.
#include "adapter/chips.h"
#include "doctor/checks.h"
#include "machines.h"
#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <sys/acl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>

namespace {

constexpr char BRLTTY_RULES[] = "/usr/lib/udev/rules.d/85-brltty.rules";

// ModemManager as Debian 12 starts it, brltty's rules as Ubuntu 24.04 installs them (the CH340
// line wants one hub above), a console on the kernel command line, a flock in /proc/locks.
TEST_F(Gather, ReadsEveryFactFromWhereItLives)
{
    const FakeAdapter behind_hub = with(ch340(), [](FakeAdapter& a) {
        a.usb_port = "1-1.2";
        a.hub_ids = {"1a40", "0101"};
        a.udev_properties = {"ID_MM_PORT_IGNORE=1"};
        a.usb_udev_properties = {"ID_MM_DEVICE_IGNORE=1"};
    });
    const Build machine =
        all(adapter(behind_hub), process(640, "ModemManager"), process(731, "brltty"),
            [](const FakeTree& t) {
                write_file(t, "/proc/640/cmdline",
                           std::string("/usr/sbin/ModemManager\0--debug\0", 31));
                write_file(t, BRLTTY_RULES,
                           "# Device: 1A86:7523\n"
                           R"(ENV{PRODUCT}=="1a86/7523/*", ATTRS{idVendor}=="1a40", )"
                           R"(ENV{BRLTTY_BRAILLE_DRIVER}="bm")"
                           "\n");
                write_file(t, "/usr/lib/systemd/system/brltty.service", "[Service]\n");
                write_file(t, "/var/lib/dpkg/status",
                           "Package: brltty\nStatus: install ok installed\nVersion: 6.6-4\n\n"
                           "Package: libserialport0\nStatus: deinstall ok config-files\n"
                           "Version: 0.1.1-4\n");
                // A Raspberry Pi names its console by an alias in /dev.
                write_file(t, "/proc/cmdline", "quiet console=serial0,115200\n");
                make_link(t, "/dev/serial0", "ttyUSB0");
                write_file(t, "/boot/firmware/cmdline.txt", "console=serial0,115200\n");
                struct stat info {};
                ASSERT_EQ(::stat((t.root + "/dev/ttyUSB0").c_str(), &info), 0);
                std::array<char, 96> line{};
                std::snprintf(line.data(), line.size(),
                              "1: FLOCK  ADVISORY  WRITE 4242 %02x:%02x:%lu 0 EOF\n",
                              major(info.st_dev), minor(info.st_dev),
                              static_cast<unsigned long>(info.st_ino));
                write_file(t, "/proc/locks", line.data());
            });
    const DeviceFacts facts = gather(machine, "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
    ASSERT_TRUE(facts.adapter);
    EXPECT_EQ(facts.resolution.path, "/dev/ttyUSB0");
    EXPECT_EQ(facts.adapter->driver, "ch341-uart");
    EXPECT_EQ(facts.adapter->bus, "usb");
    EXPECT_STREQ(facts.adapter->chip->name, "WCH CH340");
    EXPECT_EQ(facts.lock_holders, std::vector<int>{4242});
    EXPECT_EQ(facts.serial_library_version, "");
    EXPECT_EQ(facts.access.user.name, "alice");
    EXPECT_EQ(facts.access.user.login_groups, std::vector<gid_t>{1000});
    EXPECT_EQ(facts.console.command_line, (std::vector<std::pair<std::string, std::string>>{
                                              {"console=serial0,115200", "ttyUSB0"}}));
    EXPECT_EQ(facts.console.boot_file, "/boot/firmware/cmdline.txt");
    EXPECT_TRUE(facts.brltty.running);
    EXPECT_EQ(facts.brltty.version, "6.6-4");
    EXPECT_EQ(facts.brltty.units, std::vector<std::string>{"brltty.service"});
    ASSERT_EQ(facts.brltty.rules.size(), 1U);
    ASSERT_EQ(facts.brltty.candidates.size(), 1U);
    EXPECT_TRUE(udev_rule_matches(facts.brltty.rules[0].line, facts.brltty.candidates[0]));
    EXPECT_EQ(facts.modem.command_line,
              (std::vector<std::string>{"/usr/sbin/ModemManager", "--debug"}));
    EXPECT_EQ(facts.modem.port_properties.back(), "ID_MM_PORT_IGNORE=1");
    EXPECT_EQ(facts.modem.device_properties, std::vector<std::string>{"ID_MM_DEVICE_IGNORE=1"});
    EXPECT_EQ(facts.modem.interface_class, 0xff);
    EXPECT_EQ(facts.modem.device_ports, 1);
    EXPECT_FALSE(facts.modem.net_port);
}

// Sysfs as the drivers lay it out: the descriptors and interfaces each check reads.
TEST_F(Gather, AdapterLayouts)
{
    struct Layout {
        const char* name;
        FakeAdapter fake;
        const char* device;
        const char* chip; // the row identify_chip gives, "" for none
        int ports;
        int protocol;
    };
    const FakeAdapter cdc = with(usb_part("1a86:55d4", "0442", "cdc_acm"), [](FakeAdapter& a) {
        a.tty = "ttyACM0";
        a.interface_protocol = "01";
        a.ports = 2;
    });
    const std::vector<Layout> layouts{
        {"FT4232H, third port",
         with(usb_part("0403:6011", "0800", "ftdi_sio"), [](FakeAdapter& a) { a.ports = 4; }),
         "/dev/ttyUSB2", "FTDI FT4232H", 4, 0xff},
        {"CH9102, two ttyACMs announcing AT commands", cdc, "/dev/ttyACM1", "WCH CH9102", 2, 1},
        {"PL2303H by its device class",
         with(usb_part("067b:2303", "0300", "pl2303"),
              [](FakeAdapter& a) {
                  a.device_class = "02";
                  a.usb_version = " 1.10";
              }),
         "/dev/ttyUSB0", "Prolific PL2303H", 1, 0xff},
        {"CP2102N under ea63",
         with(usb_part("10c4:ea63", "0100", "cp210x"),
              [](FakeAdapter& a) { a.product_name = "CP2102N USB to UART Bridge Controller"; }),
         "/dev/ttyUSB0", "Silicon Labs CP2102N", 1, 0xff},
        {"CH9102 on WCH's own driver",
         with(cdc,
              [](FakeAdapter& a) {
                  a.tty = "ttyCH343USB0";
                  a.interface_driver = "usb_ch343";
                  a.ports = 1;
              }),
         "/dev/ttyCH343USB0", "WCH CH9102", 1, 1}};
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const DeviceFacts facts = gather(adapter(layout.fake), layout.device);
        ASSERT_TRUE(facts.adapter);
        EXPECT_STREQ(facts.adapter->chip != nullptr ? facts.adapter->chip->name : "", layout.chip);
        EXPECT_EQ(facts.modem.device_ports, layout.ports);
        EXPECT_EQ(facts.modem.interface_protocol, layout.protocol);
    }
}

// Since 6.5 a UART's tty hangs below serial-base's "port" and "ctrl" devices.
TEST_F(Gather, NativeUartsByTheDriverOfTheirHardware)
{
    const DeviceFacts facts =
        gather([](const FakeTree& t) { add_uart(t, FakeUart{.serial_base = true}); }, "/dev/ttyS0");
    ASSERT_TRUE(facts.adapter);
    EXPECT_EQ(facts.adapter->driver, "serial");
    EXPECT_EQ(facts.adapter->bus, "pnp");
    EXPECT_EQ(facts.adapter->uart_clock, 1'843'200U);
    EXPECT_FALSE(facts.adapter->fractional_divisor);
}

// A process that exits between the listing of /proc and the read of its files is gone, not
// another user's.
TEST_F(Gather, ProcessesGoneMidScanAreLeftOut)
{
    const DeviceFacts facts = gather(
        all(adapter(FakeAdapter{}), process(4242, "minicom"),
            [](const FakeTree& t) { std::filesystem::create_directories(t.root + "/proc/4243"); }),
        "/dev/ttyUSB0");
    ASSERT_EQ(facts.processes.size(), 1U);
    EXPECT_EQ(facts.processes[0].pid, 4242);
}

// The node's ACL as libacl reads it, and the user behind sudo.
TEST_F(Gather, AccessListThroughLibacl)
{
    bool refused = false;
    const DeviceFacts facts = gather(
        [&refused](const FakeTree& t) {
            add_adapter(t, FakeAdapter{});
            acl_t acl = acl_from_text("u::rw-,u:1000:rw-,g::rw-,g:46:r--,m::rw-,o::---");
            refused = acl_set_file((t.root + "/dev/ttyUSB0").c_str(), ACL_TYPE_ACCESS, acl) != 0;
            acl_free(acl);
        },
        "/dev/ttyUSB0", Identity{1000, 1000, {}, false});
    if (refused) {
        GTEST_SKIP() << "the temporary folder's file system keeps no POSIX ACLs";
    }
    const std::vector<AclRule>& acl = facts.access.acl;
    ASSERT_EQ(acl.size(), 6U);
    const auto named = std::find_if(acl.begin(), acl.end(),
                                    [](const AclRule& rule) { return rule.tag == AclRule::group; });
    ASSERT_NE(named, acl.end());
    EXPECT_EQ(named->id, 46U);
    EXPECT_FALSE(named->read_write);
    ASSERT_TRUE(facts.access.invoking);
    EXPECT_EQ(facts.access.invoking->login_groups, std::vector<gid_t>{1000});
}

// The listing: every port with its chip's one-line verdict, and status 2 when none can carry
// the motor bus.
TEST_F(Doctor, ListsPortsWithTheirVerdicts)
{
    const FakeAdapter second = with(FakeAdapter{}, [](FakeAdapter& a) {
        a.tty = "ttyUSB10";
        a.usb_port = "1-2";
    });
    const FakeAdapter first = with(ch340(), [](FakeAdapter& a) { a.tty = "ttyUSB2"; });
    const DoctorRun run = doctor(all(adapter(second), adapter(first), pc_uarts), {});
    const std::vector<std::string> expected{
        "/dev/ttyS0  native UART, driver serial\n  FAIL  chip         ttyS0 is a native UART",
        "/dev/ttyUSB2  WCH CH340 (1a86:7523, driver ch341-uart)",
        "    /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0\n  FAIL  chip ",
        "/dev/ttyUSB10  FTDI FT232H",
        "  OK    chip         FTDI FT232H (0403:6014, driver ftdi_sio)",
        "Check one with: renumber-doctor /dev/ttyUSB10\n"};
    std::size_t at = 0;
    for (const std::string& part : expected) {
        at = run.out.find(part, at);
        EXPECT_NE(at, std::string::npos) << "no \"" << part << "\" in order in:\n" << run.out;
    }
    EXPECT_EQ(run.status, 0);
    const DoctorRun none = doctor(all(adapter(first), pc_uarts), {});
    EXPECT_TRUE(none.out.ends_with("No port here can carry the motor bus at 4,000,000 baud: plug "
                                   "in a USB-to-RS-485 adapter that can.\n"))
        << none.out;
    EXPECT_EQ(none.status, 2);
    // What brltty leaves behind: the interface bound to usbfs, no tty.
    const DoctorRun taken = doctor(adapter(with(ch340(),
                                                [](FakeAdapter& a) {
                                                    a.interface_driver = "usbfs";
                                                    a.has_tty = false;
                                                })),
                                   {});
    EXPECT_NE(taken.out.find("USB device 1-1 is a WCH CH340 (1a86:7523) without a tty: its "
                             "interface is held by usbfs"),
              std::string::npos)
        << taken.out;
    EXPECT_EQ(taken.status, 2);
}

// The access check judges the user --identity names, and through sudo the one --invoked-by
// names, whoever runs the doctor; uid 4242 owns nothing and has no entry in the tree.
TEST_F(Doctor, ChecksAccessAsTheUserNamed)
{
    struct Case {
        const char* identity;
        std::vector<std::string> more;
        const char* line;
    };
    const std::vector<Case> cases{
        {ROOT_USER, {}, "OK    access       running as root, which may open /dev/ttyUSB0"},
        {ROOT_USER,
         {"--invoked-by", ALICE},
         "access       checked as root through sudo, which may open /dev/ttyUSB0"},
        {"4242:4242:4242", {}, "FAIL  access       /dev/ttyUSB0 is crw-rw---- "},
    };
    for (const Case& c : cases) {
        const DoctorRun run = doctor(adapter(FakeAdapter{}), {"/dev/ttyUSB0"}, c.identity, c.more);
        EXPECT_NE(run.out.find(c.line), std::string::npos) << c.identity << "\n" << run.out;
    }
}

// Watches every folder of the tree and the device node while the doctor runs.
TEST_F(Doctor, WritesNothingAndNeverOpensTheDevice)
{
    add_adapter(tree, FakeAdapter{});
    add_process(tree, 640, "ModemManager", {"/dev/ttyUSB0"});
    write_file(tree, BRLTTY_RULES,
               R"(ENV{PRODUCT}=="1a86/7523/*", ENV{BRLTTY_BRAILLE_DRIVER}="bm")");
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    constexpr std::uint32_t CHANGES = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                      IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    std::map<int, std::string> watched;
    watched[inotify_add_watch(watcher, (tree.root + "/dev/ttyUSB0").c_str(), IN_OPEN)] = "node";
    std::error_code error;
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
        EXPECT_NE(doctor_main(args, tree_machine(tree)).out, "");
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

TEST_F(Doctor, BadUsageAndNoAdapter)
{
    struct Expectation {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    };
    const std::vector<Expectation> expectations{
        {{}, 2, "No serial port found", ""},
        {{"/dev/ttyUSB0"}, 2, "FAIL  device       /dev/ttyUSB0 does not", ""},
        {{"--help"}, 0, "usage: renumber-doctor            list the serial ports", ""},
        {{"--verbose"}, EXIT_BAD_USAGE, "", "renumber-doctor: unknown option '--verbose'\n"},
        {{"--identity"}, EXIT_BAD_USAGE, "", "renumber-doctor: --identity needs a value\n"},
        {{"/dev/ttyUSB0", "/dev/ttyUSB1"}, EXIT_BAD_USAGE, "", "one device at a time"},
        {{"--identity", "alice"}, EXIT_BAD_USAGE, "", "--identity needs UID:GID[:GID,...]"},
        {{"--invoked-by", "1000"}, EXIT_BAD_USAGE, "", "--invoked-by needs UID:GID[:GID,...]"}};
    for (const Expectation& expected : expectations) {
        const DoctorRun run = doctor_main(expected.args, tree_machine(tree));
        SCOPED_TRACE(testing::PrintToString(expected.args));
        EXPECT_EQ(run.status, expected.status);
        EXPECT_NE(run.out.find(expected.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(expected.err), std::string::npos) << run.err;
        EXPECT_EQ(run.out.empty(), std::string(expected.out).empty()) << run.out;
    }
}

TEST_F(Gather, LinksAreFollowedInsideTheRoot)
{
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
}

TEST_F(Gather, AFailingReaddirIsReportedNotTakenForTheEnd)
{
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
}

// Every row of the chip table appears in renumber-doctor(1) with its source.
TEST(DoctorManual, ListsEveryChipRowWithItsSource)
{
    std::string manual = read_text(DOCTOR_MANUAL);
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

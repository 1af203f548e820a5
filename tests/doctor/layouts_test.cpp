// renumber-doctor on machines laid out as real ones are: the adapters' sysfs folders as their
// drivers make them, the brltty and ModemManager files as Debian's and Ubuntu's packages install
// them, native UARTs, consoles and terminals. One row per machine, one expected verdict per line.
#include "machines.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <array>
#include <cstring>
#include <map>

namespace {

struct Expected {
    const char* verdict;
    std::string fragment;
};

struct Layout {
    const char* name;
    Build machine;
    std::string device;
    std::map<std::string, Expected> lines; // topic -> what its line says
};

// ---- packages as they install themselves ----

const std::string MM_UNIT = "[Unit]\n"
                            "Description=Modem Manager\n"
                            "After=polkit.service\n"
                            "Requires=polkit.service\n"
                            "\n"
                            "[Service]\n"
                            "Type=dbus\n"
                            "BusName=org.freedesktop.ModemManager1\n"
                            "ExecStart=/usr/sbin/ModemManager\n"
                            "StandardError=null\n"
                            "Restart=on-abort\n"
                            "User=root\n"
                            "\n"
                            "[Install]\n"
                            "WantedBy=multi-user.target\n"
                            "Alias=dbus-org.freedesktop.ModemManager1.service\n";

// ModemManager 1.20 as Debian 12 installs and starts it: STRICT, named nowhere.
const Build MM_STRICT = [](const FakeTree& tree) {
    add_unit(tree, "ModemManager.service", MM_UNIT);
    add_process(tree, 640, "ModemManager");
    add_command_line(tree, 640, {"/usr/sbin/ModemManager"});
};

// An administrator's copy of the unit that asks for the old behaviour.
const Build MM_LEGACY = [](const FakeTree& tree) {
    add_unit(tree, "ModemManager.service", MM_UNIT);
    std::string edited = MM_UNIT;
    edited.replace(edited.find("ExecStart=/usr/sbin/ModemManager"), 32,
                   "ExecStart=/usr/sbin/ModemManager --filter-policy=LEGACY");
    write_file(tree, "/etc/systemd/system/ModemManager.service", edited);
    add_process(tree, 640, "ModemManager");
    add_command_line(tree, 640, {"/usr/sbin/ModemManager"});
};

// Debian 12, brltty 6.5: no udev rules, brltty.service enabled and running.
const Build BRLTTY_DEBIAN_12 = [](const FakeTree& tree) {
    add_unit(tree, "brltty.service",
             "[Unit]\nDescription=Braille Console Driver\n\n[Service]\nType=forking\n"
             "PIDFile=/run/brltty.pid\nExecStart=/usr/bin/brltty --pid-file=/run/brltty.pid\n");
    write_file(tree, "/usr/share/doc/brltty/examples/udev/90-brltty-usb-generic.rules",
               "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
               "GOTO=\"brltty_usb_run\"\n");
    add_process(tree, 731, "brltty");
};

constexpr char RULES_HEAD[] = "# udev rules for BRLTTY\n"
                              "ACTION!=\"add\", GOTO=\"brltty_end\"\n"
                              "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                              "GOTO=\"brltty_usb\"\n"
                              "GOTO=\"brltty_end\"\n"
                              "LABEL=\"brltty_usb\"\n";
constexpr char RULES_TAIL_2204[] = "GOTO=\"brltty_end\"\n"
                                   "LABEL=\"brltty_usb_run\"\n"
                                   "RUN+=\"/bin/systemctl --no-block start brltty-udev.service\"\n"
                                   "LABEL=\"brltty_end\"\n";
constexpr char RULES_TAIL_2404[] =
    "GOTO=\"brltty_end\"\n"
    "LABEL=\"brltty_usb_run\"\n"
    "TAG+=\"systemd\", ENV{SYSTEMD_WANTS}+=\"brltty-device@%p.service\"\n"
    "LABEL=\"brltty_end\"\n";

// Ubuntu 22.04, brltty 6.4: every CH340 goes to the Baum driver.
const Build BRLTTY_UBUNTU_2204 = [](const FakeTree& tree) {
    add_brltty_rules(tree, std::string(RULES_HEAD) +
                               "# Device: 1A86:7523\n"
                               "# Baum [NLS eReader Zoomax (20 cells)]\n"
                               "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                               "GOTO=\"brltty_usb_run\"\n" +
                               RULES_TAIL_2204);
    add_unit(tree, "brltty-udev.service", "[Service]\nExecStart=/usr/bin/brltty\n");
    add_unit(tree, "brltty.service", "[Service]\nExecStart=/usr/bin/brltty\n");
};

// Ubuntu 24.04, brltty 6.6: the CH340 line wants one hub above it, the FT232R lines a maker.
const Build BRLTTY_UBUNTU_2404 = [](const FakeTree& tree) {
    add_brltty_rules(
        tree, std::string(RULES_HEAD) +
                  "# Device: 0403:6001\n"
                  "# Hedo [MobiLine USB]\n"
                  "ENV{PRODUCT}==\"403/6001/*\", ATTRS{manufacturer}==\"Hedo Reha Technik GmbH\", "
                  "ENV{BRLTTY_BRAILLE_DRIVER}=\"hd\", GOTO=\"brltty_usb_run\"\n"
                  "# Papenmeier [all models]\n"
                  "ENV{PRODUCT}==\"403/6001/*\", ATTRS{manufacturer}==\"Papenmeier\", "
                  "ENV{BRLTTY_BRAILLE_DRIVER}=\"pm\", GOTO=\"brltty_usb_run\"\n"
                  "# Device: 1A86:7523\n"
                  "# Baum [NLS eReader Zoomax (20 cells)]\n"
                  "ENV{PRODUCT}==\"1a86/7523/*\", ATTRS{idVendor}==\"1a40\", "
                  "ATTRS{idProduct}==\"0101\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                  "GOTO=\"brltty_usb_run\"\n" +
                  RULES_TAIL_2404);
    add_unit(tree, "brltty-device@.service", "[Service]\nExecStart=/usr/bin/brltty\n");
    add_unit(tree, "brltty.service", "[Service]\nExecStart=/usr/bin/brltty\n");
};

// ---- adapters ----

const FakeAdapter FT232R = with(usb_part("0403:6001", "0600", "ftdi_sio"), [](FakeAdapter& a) {
    a.product_name = "FT232R USB UART";
    a.serial = "A10K1234";
    a.by_id = "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
});
const FakeAdapter FT_X = with(usb_part("0403:6015", "1000", "ftdi_sio"),
                              [](FakeAdapter& a) { a.product_name = "FT230X Basic UART"; });
const FakeAdapter FT4232H = with(usb_part("0403:6011", "0800", "ftdi_sio"), [](FakeAdapter& a) {
    a.product_name = "Quad RS232-HS";
    a.ports = 4;
});
const FakeAdapter CH340_BEHIND_HUB = with(CH340, [](FakeAdapter& a) {
    a.usb_port = "1-1.2";
    a.hub_ids = {"1a40", "0101"};
});
const FakeAdapter WCH_CDC = with(usb_part("1a86:55d4", "0442", "cdc_acm"), [](FakeAdapter& a) {
    a.tty = "ttyACM0";
    a.product_name = "USB Single Serial";
    a.manufacturer = "";
    a.serial = "5434012345";
    a.device_class = "02";
    a.interface_protocol = "01";
    a.by_id = "usb-1a86_USB_Single_Serial_5434012345-if00";
});
const FakeAdapter CH343 = with(WCH_CDC, [](FakeAdapter& a) { a.product = "55d3"; });
const FakeAdapter CH9102_VENDOR_DRIVER = with(WCH_CDC, [](FakeAdapter& a) {
    a.tty = "ttyCH343USB0";
    a.interface_driver = "usb_ch343";
});
const FakeAdapter CP2102N = with(usb_part("10c4:ea60", "0100", "cp210x"), [](FakeAdapter& a) {
    a.product_name = "CP2102N USB to UART Bridge Controller";
    a.manufacturer = "Silicon Labs";
});
const FakeAdapter CP2105 = with(usb_part("10c4:ea70", "0100", "cp210x"), [](FakeAdapter& a) {
    a.product_name = "CP2105 Dual USB to UART Bridge Controller";
    a.ports = 2;
});
const FakeAdapter PL2303HX = with(usb_part("067b:2303", "0300", "pl2303"), [](FakeAdapter& a) {
    a.product_name = "USB-Serial Controller";
    a.manufacturer = "Prolific Technology Inc.";
    a.serial = "";
    a.usb_version = " 1.10";
});
const FakeAdapter PL2303GS = with(usb_part("067b:23f3", "0600", "pl2303"), [](FakeAdapter& a) {
    a.product_name = "USB-Serial Controller";
    a.serial = "";
});

// ---- native UARTs and terminals ----

const Build PI_UART = [](FakeTree& tree) {
    add_uart(tree, FakeUart{.tty = "ttyAMA0",
                            .device = "/sys/devices/platform/soc/fe201000.serial",
                            .driver = "uart-pl011",
                            .clock = "48000000",
                            .type = "32",
                            .major = 204,
                            .minor = 64});
    make_link(tree, "/dev/serial0", "ttyAMA0");
    write_file(tree, "/boot/firmware/cmdline.txt",
               "console=serial0,115200 console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 "
               "fsck.repair=yes rootwait\n");
};

// What the Pi's firmware hands the kernel, and the getty systemd starts on the console.
const Build PI_CONSOLE = [](FakeTree& tree) {
    write_file(tree, "/proc/cmdline",
               "coherent_pool=1M 8250.nr_uarts=0 snd_bcm2835.enable_headphones=0 "
               "console=ttyAMA0,115200 console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 "
               "fsck.repair=yes rootwait\n");
    write_file(tree, "/sys/class/tty/console/active", "tty1 ttyAMA0\n");
    add_process(tree, 702, "agetty", {"/dev/ttyAMA0"});
};

constexpr char TIMEOUT_FRAGMENT[] = "after about 5 s stops with \"[ERROR] Modify id <id> to "
                                    "<target> failure, No motor be found(timeout).\"";

const std::vector<Layout>& layouts()
{
    static const std::vector<Layout> rows{
        {"FT232H on Debian 12, nothing in the way",
         adapter(FT232H),
         BY_ID,
         {{"device", {"OK", "leads to /dev/ttyUSB0"}},
          {"access", {"OK", "alice may read and write it as a member of dialout"}},
          {"console", {"OK", "ttyUSB0 is no kernel console and no getty holds it"}},
          {"brltty", {"OK", "no brltty udev rules are installed"}},
          {"ModemManager", {"OK", "not running"}},
          {"holders", {"OK", "no other process has /dev/ttyUSB0 open"}},
          {"chip", {"OK", "FTDI FT232H (0403:6014, driver ftdi_sio)"}},
          {"latency", {"WARN", "every answer waits up to 16 ms"}}}},
        {"FT232R with ModemManager STRICT",
         all(adapter(FT232R), MM_STRICT),
         "/dev/ttyUSB0",
         {{"ModemManager",
           {"OK", "filter policy STRICT (/usr/lib/systemd/system/ModemManager.service, whose "
                  "ExecStart names no --filter-policy): it never probes a single-port ftdi_sio "
                  "adapter without a network interface"}},
          {"chip", {"FAIL", "ftdi_sio sets this part to 9,600 baud"}},
          {"latency", {"OK", "renumber switches the port to low latency itself"}}}},
        {"FT-X",
         adapter(FT_X),
         "/dev/ttyUSB0",
         {{"chip", {"FAIL", "FTDI FT-X series (0403:6015, driver ftdi_sio)"}}}},
        {"FT4232H, four ports, with ModemManager STRICT",
         all(adapter(FT4232H), MM_STRICT),
         "/dev/ttyUSB2",
         {{"device", {"OK", "character device 188:2"}},
          {"ModemManager", {"WARN", "nothing marks /dev/ttyUSB2 ID_MM_DEVICE_IGNORE"}},
          {"chip", {"OK", "FTDI FT4232H"}}}},
        {"CH340 on Debian 12 with brltty.service running",
         all(adapter(CH340), BRLTTY_DEBIAN_12),
         "/dev/ttyUSB0",
         {{"brltty",
           {"WARN", "brltty is running (brltty.service); no brltty udev rules are installed, so "
                    "no adapter starts it"}},
          {"chip", {"FAIL", "ch341-uart clamps 4,000,000 to 3,000,000"}}}},
        {"CH340 on Debian 12 after brltty took it",
         all(adapter(CH340_CLAIMED), BRLTTY_DEBIAN_12),
         "/dev/ttyUSB0",
         {{"device", {"FAIL", "USB device 1-1 is a WCH CH340 (1a86:7523) without a tty"}},
          {"brltty",
           {"FAIL", "interface is held by usbfs, as brltty holds what it claims (no brltty udev "
                    "rules are installed, so no adapter starts it, but brltty.service probes"}}}},
        {"CH340 on Ubuntu 22.04, brltty took it",
         all(adapter(CH340_CLAIMED), BRLTTY_UBUNTU_2204, process(812, "brltty")),
         "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0",
         {{"device", {"FAIL", "usb-1a86_USB_Serial-if00-port0 does not exist"}},
          {"brltty",
           {"FAIL", "Fix: unless a braille display is used: sudo systemctl mask --now "
                    "brltty-udev.service brltty.service (masking lasts across reboots"}}}},
        {"CH340 on Ubuntu 22.04 before brltty starts",
         all(adapter(CH340), BRLTTY_UBUNTU_2204),
         "/dev/ttyUSB0",
         {{"brltty", {"WARN", "plugging this adapter in starts brltty"}}}},
        {"CH340 on Ubuntu 24.04 on any other hub",
         all(adapter(CH340), BRLTTY_UBUNTU_2404),
         "/dev/ttyUSB0",
         {{"brltty", {"OK", "its udev rules do not claim this adapter"}}}},
        {"CH340 on Ubuntu 24.04 behind the hub its rule names",
         all(adapter(CH340_BEHIND_HUB), BRLTTY_UBUNTU_2404),
         "/dev/ttyUSB0",
         {{"brltty",
           {"WARN", R"(claim 1a86:7523: ENV{PRODUCT}=="1a86/7523/*", ATTRS{idVendor}=="1a40")"}},
          {"chip", {"FAIL", "WCH CH340"}}}},
        {"FT232R on Ubuntu 24.04, made by FTDI",
         all(adapter(FT232R), BRLTTY_UBUNTU_2404),
         "/dev/ttyUSB0",
         {{"brltty", {"OK", "its udev rules do not claim this adapter"}}}},
        {"FT232R on Ubuntu 24.04, made by Papenmeier",
         all(adapter(with(FT232R, [](FakeAdapter& a) { a.manufacturer = "Papenmeier"; })),
             BRLTTY_UBUNTU_2404),
         "/dev/ttyUSB0",
         {{"brltty",
           {"WARN", "Fix: unless a braille display is used: sudo systemctl mask --now "
                    "brltty-device@.service brltty.service"}}}},
        {"CH9102 on cdc_acm",
         adapter(WCH_CDC),
         "/dev/ttyACM0",
         {{"device", {"OK", "character device 166:0"}},
          {"chip", {"OK", "WCH CH9102 (1a86:55d4, driver cdc_acm)"}},
          {"latency", {"OK", "driver cdc_acm is not FTDI's"}}}},
        {"CH343 on cdc_acm with ModemManager STRICT",
         all(adapter(CH343), MM_STRICT),
         "/dev/ttyACM0",
         {{"ModemManager", {"WARN", "it may open the port and send AT commands"}},
          {"chip", {"OK", "WCH CH343"}}}},
        {"CH343 that announces no AT commands",
         all(adapter(with(CH343, [](FakeAdapter& a) { a.interface_protocol = "00"; })), MM_STRICT),
         "/dev/ttyACM0",
         {{"ModemManager", {"OK", "does not advertise AT commands (bInterfaceProtocol 00)"}}}},
        {"CH9102 on WCH's own driver",
         adapter(CH9102_VENDOR_DRIVER),
         "/dev/ttyCH343USB0",
         {{"device", {"OK", "character device 170:0, the kernel's tty ttyCH343USB0"}},
          {"chip", {"OK", "usb_ch343 is the maker's own module, not the kernel's cdc_acm"}},
          {"latency", {"OK", "driver usb_ch343 is not FTDI's"}}}},
        {"CP2102N",
         adapter(CP2102N),
         "/dev/ttyUSB0",
         {{"chip",
           {"FAIL", "Silicon Labs CP2102N (10c4:ea60, driver cp210x) is documented up to "
                    "3,000,000 baud"}}}},
        {"CP2105, second port",
         adapter(CP2105),
         "/dev/ttyUSB1",
         {{"chip", {"FAIL", "Silicon Labs CP2105"}}}},
        {"PL2303HX",
         adapter(PL2303HX),
         "/dev/ttyUSB0",
         {{"chip", {"OK", "Prolific PL2303HX (067b:2303, driver pl2303)"}}}},
        {"PL2303GS",
         adapter(PL2303GS),
         "/dev/ttyUSB0",
         {{"chip", {"OK", "Prolific PL2303G-series (067b:23f3, driver pl2303)"}}}},
        {"Raspberry Pi ttyAMA0 through serial0, with a console and a getty",
         all(PI_UART, PI_CONSOLE, MM_STRICT),
         "/dev/serial0",
         {{"device", {"OK", "/dev/serial0 leads to /dev/ttyAMA0"}},
          {"console",
           {"FAIL", "agetty (pid 702) holds it, and systemd starts a new one when it is killed; "
                    "ttyAMA0 is a kernel console (console=ttyAMA0,115200 on the kernel command "
                    "line and /sys/class/tty/console/active)"}},
          {"ModemManager", {"OK", "it never probes platform, PCI or PNP serial ports"}},
          {"holders", {"OK", "apart from those with their own line above"}},
          {"chip", {"FAIL", "clocked at 48,000,000 Hz, so it runs at most 3,000,000 baud"}}}},
        {"console named by the serial0 alias",
         all(PI_UART, file("/proc/cmdline", "console=serial0,115200 console=tty1\n"),
             file("/sys/class/tty/console/active", "tty1\n")),
         "/dev/ttyAMA0",
         {{"console",
           {"FAIL", "Fix: sudo systemctl disable --now serial-getty@ttyAMA0.service (a console "
                    "gets a getty at boot); take the console=serial0,115200 entry off the kernel "
                    "command line (remove it from /boot/firmware/cmdline.txt) and reboot"}}}},
        {"PC ttyS0 at 1,843,200 Hz",
         all(PC_UARTS, MM_STRICT),
         "/dev/ttyS0",
         {{"device", {"OK", "character device 4:64"}},
          {"console", {"OK", "no kernel console"}},
          {"ModemManager", {"OK", "never probes platform, PCI or PNP"}},
          {"chip",
           {"FAIL", "ttyS0 is a native UART clocked at 1,843,200 Hz, so it runs at most "
                    "115,200 baud (uartclk / 16): the serial core refuses 4,000,000"}}}},
        {"two CH340s without serial numbers",
         all(adapter(CH340), adapter(with(CH340,
                                          [](FakeAdapter& a) {
                                              a.tty = "ttyUSB1";
                                              a.usb_port = "1-2";
                                              a.usb_minor = 4;
                                          }))),
         "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0",
         {{"device",
           {"WARN", "leads to /dev/ttyUSB1 (/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0 -> "
                    "../../ttyUSB1): character device 188:1, the kernel's tty ttyUSB1; but "
                    "/dev/ttyUSB0 has the same USB ids and, like this one, no serial number"}}}},
        {"ModemManager LEGACY",
         all(adapter(FT232H), MM_LEGACY),
         "/dev/ttyUSB0",
         {{"ModemManager",
           {"WARN", "filter policy LEGACY (/etc/systemd/system/ModemManager.service)"}}}},
        {"ModemManager LEGACY, port ignored",
         all(adapter(with(FT232H,
                          [](FakeAdapter& a) { a.udev_properties = {"ID_MM_DEVICE_IGNORE=1"}; })),
             MM_LEGACY),
         "/dev/ttyUSB0",
         {{"ModemManager", {"OK", "but udev marks /dev/ttyUSB0 ID_MM_DEVICE_IGNORE=1"}}}},
        {"ModemManager LEGACY, port property",
         all(adapter(
                 with(FT232H, [](FakeAdapter& a) { a.udev_properties = {"ID_MM_PORT_IGNORE=1"}; })),
             MM_LEGACY),
         "/dev/ttyUSB0",
         {{"ModemManager", {"OK", "but udev marks /dev/ttyUSB0 ID_MM_PORT_IGNORE=1"}}}},
        {"ModemManager LEGACY, USB device ignored",
         all(adapter(
                 with(FT232H,
                      [](FakeAdapter& a) { a.usb_udev_properties = {"ID_MM_DEVICE_IGNORE=1"}; })),
             MM_LEGACY),
         "/dev/ttyUSB0",
         {{"ModemManager", {"OK", "but udev marks its USB device 1-1 ID_MM_DEVICE_IGNORE=1"}}}},
        {"ModemManager on its command line",
         all(adapter(FT232H), MM_STRICT,
             [](const FakeTree& tree) {
                 add_command_line(tree, 640,
                                  {"/usr/sbin/ModemManager", "--filter-policy", "legacy"});
             }),
         "/dev/ttyUSB0",
         {{"ModemManager", {"WARN", "filter policy legacy (its command line)"}}}},
        {"/dev/tty",
         all(adapter(FT232H), [](FakeTree& tree) { add_controlling_terminal(tree); }),
         "/dev/tty",
         {{"device",
           {"FAIL", "/dev/tty is the controlling terminal of whichever process opens it, not a "
                    "serial adapter"}},
          {"chip", {"", ""}}}},
    };
    return rows;
}

TEST_F(Doctor, RealLayoutsGiveTheVerdictsTheKernelAndPackagesJustify)
{
    if (!nodes_possible) {
        GTEST_SKIP() << NEEDS_NODES;
    }
    for (const Layout& layout : layouts()) {
        SCOPED_TRACE(layout.name);
        const DoctorRun run = doctor(layout.machine, {layout.device});
        for (const auto& entry : layout.lines) {
            const std::string& topic = entry.first;
            const Expected& expected = entry.second;
            const std::string line = line_of(run.out, topic);
            EXPECT_EQ(line.substr(0, line.find(' ')), expected.verdict) << topic << "\n" << run.out;
            EXPECT_NE(line.find(expected.fragment), std::string::npos)
                << "no \"" << expected.fragment << "\" in: " << line;
        }
        // No driver refuses 4,000,000 baud: a chip that cannot run it makes renumber time out,
        // and its FAIL line must say so rather than blame the open.
        const std::string chip_line = line_of(run.out, "chip");
        if (chip_line.starts_with("FAIL")) {
            EXPECT_NE(chip_line.find(TIMEOUT_FRAGMENT), std::string::npos) << chip_line;
            EXPECT_EQ(chip_line.find("Set serial failure"), std::string::npos) << chip_line;
        }
    }
}

} // namespace

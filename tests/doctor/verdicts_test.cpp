// The checks as functions of facts: each row changes one fact of a healthy FT232H bench and
// names the line it must give. No files, no root.
#include "adapter/chips.h"
#include "doctor/checks.h"
#include "serial/operator_texts.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr gid_t DIALOUT = 20;
constexpr char USB_DEVICE[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr char REFUSED[] = "stops with \"[Error] Set serial failure.\" (status 255) before sending";
constexpr char TIMEOUT[] = "stops with \"[ERROR] Modify id <id> to <target> failure, No motor be "
                           "found(timeout).\" (status 255)";

// A USB serial part as sysfs shows it: "0403:6014", bcdDevice, the bound driver.
SerialAdapter part(const char* ids, std::uint16_t release, const char* driver,
                   const char* product = "", int device_class = 0, int packet = 64,
                   std::uint16_t usb = 0x0200)
{
    SerialAdapter adapter;
    adapter.name = std::string(driver) == "cdc_acm" ? "ttyACM0" : "ttyUSB0";
    adapter.node = "/dev/" + adapter.name;
    adapter.dev_numbers = "188:0";
    adapter.driver = driver;
    adapter.bus = "usb";
    adapter.usb_device = USB_DEVICE;
    const std::string text = ids;
    adapter.ids = UsbIds{*parse_hex_id(text.substr(0, 4)), *parse_hex_id(text.substr(5)), release};
    adapter.product = product;
    adapter.descriptors = {*adapter.ids, product, device_class, packet, usb};
    adapter.chip = identify_chip(adapter.descriptors, driver);
    return adapter;
}

SerialAdapter uart(const char* name, std::uint32_t clock, const char* driver)
{
    SerialAdapter adapter;
    adapter.name = name;
    adapter.node = std::string("/dev/") + name;
    adapter.driver = driver;
    adapter.bus = "platform";
    adapter.uart_clock = clock;
    adapter.fractional_divisor = std::string(name).starts_with("ttyAMA");
    return adapter;
}

Person alice(std::vector<gid_t> session, std::vector<gid_t> login)
{
    return {{1000, 1000, std::move(session), false}, "alice", std::move(login), std::nullopt};
}

// alice, in dialout, at a healthy FT232H named /dev/ttyUSB0 (crw-rw---- root:dialout).
DeviceFacts bench(const SerialAdapter& adapter = part("0403:6014", 0x0900, "ftdi_sio"))
{
    DeviceFacts facts;
    facts.typed = adapter.node;
    facts.resolution.path = adapter.node;
    facts.info.st_mode = S_IFCHR | 0660;
    facts.info.st_rdev = makedev(188, 0);
    facts.info.st_gid = DIALOUT;
    facts.library_finds_it = true;
    facts.adapter = adapter;
    facts.present = {adapter};
    facts.serial_library_version = "0.1.1-4";
    facts.access.acl = {
        {AclRule::user_obj, true, 0}, {AclRule::group_obj, true, 0}, {AclRule::other, false, 0}};
    facts.access.owner = "root";
    facts.access.group_names = {{DIALOUT, "dialout"}, {46, "plugdev"}};
    facts.access.user = alice({1000, DIALOUT}, {1000, DIALOUT});
    if (adapter.ids) {
        facts.brltty.candidates = {{USB_DEVICE, *adapter.ids, {{}}}};
    }
    facts.latency.value = "16";
    return facts;
}

using Change = std::function<void(DeviceFacts&)>;

struct Row {
    const char* name;
    Change change;
    const char* verdict;
    std::string fragment; // must appear in the line
};

void expect_lines(const char* topic, const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeviceFacts facts = bench();
        row.change(facts);
        std::string line;
        for (const CheckResult& result : diagnose(facts).results) {
            line = result.topic == topic ? format_result(result) : line;
        }
        EXPECT_EQ(line.substr(0, line.find(' ')), row.verdict) << line;
        EXPECT_NE(line.find(row.fragment), std::string::npos)
            << "no \"" << row.fragment << "\" in: " << line;
    }
}

Change with_adapter(const SerialAdapter& adapter)
{
    return [adapter](DeviceFacts& facts) { facts = bench(adapter); };
}

Change running(const std::vector<ProcessInfo>& processes)
{
    return [processes](DeviceFacts& facts) { facts.processes = processes; };
}

TEST(DoctorVerdict, Chip)
{
    const auto as = [](const SerialAdapter& adapter) { return with_adapter(adapter); };
    expect_lines(
        "chip",
        {{"FT232H", as(part("0403:6014", 0x0900, "ftdi_sio")), "OK",
          "FTDI FT232H (0403:6014, driver ftdi_sio) is documented up to 12,000,000 baud (FT232H "
          "datasheet (FT_000288): 12 Mbaud); the line runs at the motor bus's 4,000,000, and "
          "renumber can change the motor"},
         {"FTDI part by bcdDevice, not product id", as(part("0403:a6d0", 0x0900, "ftdi_sio")), "OK",
          "FTDI FT232H (0403:a6d0"},
         {"FT232R falls to 9,600 and says so", as(part("0403:6001", 0x0600, "ftdi_sio")), "FAIL",
          "ftdi_sio sets this part to 9,600 baud when asked for 4,000,000 (\"Baud rate too "
          "high\") and reports 9,600 back: renumber reads the rate back and " +
              std::string(REFUSED)},
         {"SIO below bcdDevice 0x200", as(part("0403:8372", 0x0100, "ftdi_sio")), "FAIL",
          "FTDI SIO (0403:8372, driver ftdi_sio)"},
         {"CH340 clamps silently", as(part("1a86:7523", 0x0264, "ch341-uart")), "FAIL",
          "ch341-uart clamps 4,000,000 to 3,000,000 while the terminal settings still read "
          "4,000,000; renumber knows the driver and " +
              std::string(REFUSED)},
         // What a maker's own module does is not in the table: renumber sends and times out.
         {"CH340 on WCH's own driver", as(part("1a86:7523", 0x0264, "ch34x")), "FAIL",
          "renumber sends at the wrong rate, hears no motor and after about 5 s " +
              std::string(TIMEOUT)},
         {"CH340 under an id only ch341's table knows", as(part("2184:0057", 0x0264, "ch341-uart")),
          "FAIL", "(2184:0057, driver ch341-uart) is documented up to 2,000,000 baud"},
         {"CP2102N by its product string",
          as(part("10c4:ea60", 0x0100, "cp210x", "CP2102N USB to UART Bridge Controller")), "FAIL",
          "cp210x clamps 4,000,000 to the part's 3,000,000 and reports that rate back: renumber "
          "reads the rate back and " +
              std::string(REFUSED)},
         {"CP2102N under product id ea63", as(part("10c4:ea63", 0x0100, "cp210x", "CP2102N")),
          "FAIL", "Silicon Labs CP2102N (10c4:ea63, driver cp210x)"},
         {"CP210x whose strings say nothing", as(part("10c4:ea60", 0x0100, "cp210x", "RS485")),
          "FAIL", "clamps 4,000,000 to the part's cap and reports that rate back"},
         {"PL2303HX", as(part("067b:2303", 0x0300, "pl2303", "", 0, 64, 0x0110)), "OK",
          "Prolific PL2303HX"},
         {"PL2303 the driver refuses", as(part("067b:2303", 0x0800, "pl2303")), "WARN",
          "no documented maximum"},
         {"CH9102 at exactly 4 Mbaud", as(part("1a86:55d4", 0x0442, "cdc_acm")), "OK",
          "WCH CH9102 (1a86:55d4, driver cdc_acm)"},
         {"CH9101 gets a rate it cannot run", as(part("1a86:55d8", 0x0442, "cdc_acm")), "FAIL",
          "cdc_acm passes 4,000,000 to the chip, which its maker documents only up to "
          "3,000,000; renumber sends at the wrong rate, hears no motor and after about 5 s " +
              std::string(TIMEOUT)},
         {"CH9102 on WCH's own driver", as(part("1a86:55d4", 0x0442, "usb_ch343")), "OK",
          "usb_ch343 is the maker's own module, not the kernel's cdc_acm"},
         {"unknown part", as(part("1234:5678", 0x0100, "usb_serial_simple", "RS485 Cable")), "WARN",
          "no documented maximum baud rate for USB device 1234:5678 (driver usb_serial_simple), "
          "\"RS485 Cable\""},
         {"PC UART", as(uart("ttyS0", 1'843'200, "serial")), "FAIL",
          "ttyS0 is a native UART (driver serial) clocked at 1,843,200 Hz, so it runs at most "
          "115,200 baud (uartclk / 16): the serial core falls back to the previous rate and "
          "reports it; renumber reads the rate back and " +
              std::string(REFUSED)},
         {"Pi 4 mini UART, divisor 16", as(uart("ttyS0", 1'000'000'000, "bcm2835-aux-uart")),
          "FAIL",
          "divisor 16 gives 3,906,250 baud, 2.3 % slow, beyond the 2 % a UART tolerates, while "
          "the terminal settings read 4,000,000; renumber knows the driver and " +
              std::string(REFUSED)},
         {"8250 at 64 MHz divides exactly", as(uart("ttyS4", 64'000'000, "exar_serial")), "OK",
          "divisor 1 gives 4,000,000 baud, the bus's rate exactly, within the 2 %"},
         {"PL011 at 100 MHz, 64ths of a divisor", as(uart("ttyAMA0", 100'000'000, "uart-pl011")),
          "OK", "divisor 100/64 gives 4,000,000 baud"},
         {"no clock", as(uart("ttyS0", 0, "serial")), "WARN", "whose clock"}});
}

// Every chip the kernel tier emulates (kernel/chips.tsv) is judged as its row says the real
// driver behaved; so is qemu's own FTDI model and the kernel's ACM gadget, which the tier's other
// cases run.
TEST(DoctorVerdict, ChipsTheKernelTierRuns)
{
    std::ifstream table(KERNEL_CHIPS_TABLE);
    std::vector<std::vector<std::string>> chips; // the columns in the table's order
    for (std::string line; std::getline(table, line);) {
        std::istringstream in(line);
        chips.emplace_back();
        for (std::string field; std::getline(in, field, '\t');) {
            chips.back().push_back(field);
        }
        if (line.starts_with('#') || line.starts_with("chip\t") || chips.back().size() != 10) {
            chips.pop_back();
        }
    }
    ASSERT_FALSE(chips.empty()) << KERNEL_CHIPS_TABLE;
    std::vector<Row> rows;
    for (const std::vector<std::string>& chip : chips) {
        const SerialAdapter adapter = part(
            chip[1].c_str(), static_cast<std::uint16_t>(std::stoul(chip[2], nullptr, 16)),
            chip[5].c_str(), chip[4].c_str(), static_cast<int>(std::stoul(chip[3], nullptr, 16)));
        rows.push_back({chip[0].c_str(), with_adapter(adapter), chip[9].c_str(),
                        chip[9] == "OK" ? "and renumber can change the motor" : chip[8]});
    }
    rows.push_back(
        {"qemu's FT232BM", with_adapter(part("0403:6001", 0x0400, "ftdi_sio")), "FAIL", REFUSED});
    rows.push_back({"the ACM gadget", with_adapter(part("0525:a4a7", 0x0601, "cdc_acm")), "OK",
                    "Linux USB gadget serial (ACM) (0525:a4a7, driver cdc_acm) has no UART, so "
                    "any rate passes"});
    expect_lines("chip", rows);
}

// The contract with renumber: a chip that cannot carry the bus makes the doctor quote the one
// message renumber will print: the refusal when the driver runs another rate (reported, or known
// to the adapter facts renumber reads), the timeout when the chip gets a rate beyond its maker's.
TEST(DoctorVerdict, EveryChipRowQuotesWhatRenumberPrints)
{
    for (const ChipRow& row : chip_table()) {
        SerialAdapter adapter = part("0000:0000", 0, row.driver);
        adapter.chip = &row;
        const CheckResult result = check_chip(adapter);
        const bool refused = result.reason.find(REFUSED) != std::string::npos;
        const bool timeout = result.reason.find(TIMEOUT) != std::string::npos;
        SCOPED_TRACE(row.name);
        switch (row.handling) {
        case RateHandling::falls_to_9600:
        case RateHandling::clamped_reported:
        case RateHandling::clamped_unreported:
            EXPECT_TRUE(result.verdict == CheckVerdict::fail && refused && !timeout);
            break;
        case RateHandling::passed_to_chip:
            EXPECT_EQ(result.verdict,
                      row.max_baud >= SERIAL_BAUDRATE ? CheckVerdict::ok : CheckVerdict::fail);
            EXPECT_EQ(timeout, result.verdict == CheckVerdict::fail);
            break;
        case RateHandling::exact:
            EXPECT_EQ(result.verdict, CheckVerdict::ok);
            break;
        }
    }
}

TEST(DoctorVerdict, DeviceNode)
{
    const auto missing = [](const char* typed, const char* missing_path,
                            const std::vector<std::string>& hops) {
        return [=](DeviceFacts& facts) {
            facts.typed = typed;
            facts.resolution = {missing_path, hops, missing_path,
                                std::make_error_code(std::errc::no_such_file_or_directory)};
        };
    };
    const char* by_id = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0";
    expect_lines(
        "device",
        {{"node", [](DeviceFacts&) {}, "OK",
          "/dev/ttyUSB0: character device 188:0, the kernel's tty ttyUSB0"},
         {"absent", missing("/dev/ttyUSB1", "/dev/ttyUSB1", {}), "FAIL",
          "/dev/ttyUSB1 does not exist: renumber would stop with \"[Error] Device name does not "
          "exist.\" Fix: name one of the serial ports present: /dev/ttyUSB0."},
         {"absent, and no port here carries the bus",
          [&](DeviceFacts& facts) {
              missing("/dev/ttyUSB1", "/dev/ttyUSB1", {})(facts);
              facts.present = {uart("ttyS0", 1'843'200, "serial")};
          },
          "FAIL", "Fix: no serial port here can carry the motor bus"},
         {"dangling stable name",
          missing(by_id, "/dev/ttyUSB1", {std::string(by_id) + " -> ../../ttyUSB1"}), "FAIL",
          "leads to /dev/ttyUSB1 (" + std::string(by_id) + " -> ../../ttyUSB1), which does not"},
         {"terminal", [](DeviceFacts& facts) { facts.terminal = "a pseudo-terminal"; }, "FAIL",
          "is a pseudo-terminal, not a serial adapter"},
         {"plain file", [](DeviceFacts& facts) { facts.info.st_mode = S_IFREG | 0644; }, "FAIL",
          "/dev/ttyUSB0: a regular file, not a character device"},
         {"node the kernel does not list",
          [](DeviceFacts& facts) { facts.library_finds_it = false; }, "FAIL",
          "so libserialport cannot look it up"},
         {"two CH340s share a by-id name",
          [&](DeviceFacts& facts) {
              SerialAdapter other = part("1a86:7523", 0x0264, "ch341-uart");
              other.name = "ttyUSB1";
              other.node = "/dev/ttyUSB1";
              facts = bench(part("1a86:7523", 0x0264, "ch341-uart"));
              facts.present.push_back(other);
              facts.typed = by_id;
              facts.resolution.hops = {std::string(by_id) + " -> ../../ttyUSB0"};
          },
          "WARN", "/dev/ttyUSB1 has the same USB ids and, like this one, no serial number"}});
}

TEST(DoctorVerdict, Access)
{
    const auto acl = [](const std::vector<AclRule>& rules, const Person& user) {
        return [=](DeviceFacts& facts) {
            facts.access.acl = rules;
            facts.access.user = user;
        };
    };
    const AclRule owner{AclRule::user_obj, true, 0};
    const AclRule group{AclRule::group_obj, true, 0};
    const AclRule other{AclRule::other, false, 0};
    const Person outside = alice({1000}, {1000});
    const Person root{{0, 0, {0}, false}, "root", std::vector<gid_t>{0}, std::nullopt};
    expect_lines(
        "access",
        {{"member", [](DeviceFacts&) {}, "OK",
          "/dev/ttyUSB0 is crw-rw---- root:dialout; alice may read and write it as a member of "
          "dialout"},
         {"not a member", acl({owner, group, other}, outside), "FAIL",
          "alice is not in dialout: renumber would stop with \"[Error] Failed to open serial "
          "port, try opening with administrator privileges.\" Fix: sudo usermod -aG dialout "
          "alice, then log out and back in"},
         {"joined after login", acl({owner, group, other}, alice({1000}, {1000, DIALOUT})), "FAIL",
          "the group database puts alice in dialout, but this login session started before that"},
         {"owner only", acl({owner, {AclRule::group_obj, false, 0}, other}, alice({DIALOUT}, {})),
          "FAIL", "neither alice nor dialout may read and write it"},
         {"open to all", acl({owner, group, {AclRule::other, true, 0}}, outside), "OK",
          "alice may read and write it as anyone may"},
         {"uaccess ACL",
          acl({owner, {AclRule::user, true, 1000}, group, {AclRule::mask, true, 0}, other},
              outside),
          "OK", "alice may read and write it through an ACL entry for alice"},
         {"ACL entry cut by the mask",
          acl({owner, {AclRule::user, true, 1000}, group, {AclRule::mask, false, 0}, other},
              outside),
          "FAIL", "neither alice nor dialout may read and write it"},
         {"ACL entry for a group",
          acl({owner, group, {AclRule::group, true, 46}, {AclRule::mask, true, 0}, other},
              alice({46}, {46})),
          "OK", "through an ACL entry for group plugdev"},
         {"the kernel says more than the mode",
          [&](DeviceFacts& facts) {
              facts.access.user = outside;
              facts.access.user.kernel_allows = true;
          },
          "OK", "(the kernel allows it, beyond the mode and ACL)"},
         {"root", acl({owner, group, other}, root), "OK", "running as root"},
         {"sudo, user outside dialout",
          [&](DeviceFacts& facts) {
              facts.access.user = root;
              facts.access.invoking = outside;
          },
          "WARN",
          "checked as root through sudo, which may open /dev/ttyUSB0; /dev/ttyUSB0 is crw-rw---- "
          "root:dialout; without sudo, alice is not in dialout"}});
}

TEST(DoctorVerdict, Console)
{
    const auto console = [](const ConsoleFacts& facts, bool getty) {
        return [=](DeviceFacts& device) {
            device = bench(uart("ttyAMA0", 100'000'000, "uart-pl011"));
            device.console = facts;
            if (getty) {
                device.processes = {{702, "agetty", {"/dev/ttyAMA0"}, true}};
            }
        };
    };
    expect_lines(
        "console",
        {{"none", [](DeviceFacts&) {}, "OK", "ttyUSB0 is no kernel console and no getty holds it"},
         {"console and getty",
          console({{{"console=ttyAMA0,115200", "ttyAMA0"}}, {"tty1", "ttyAMA0"}, ""}, true), "FAIL",
          "agetty (pid 702) holds it, and systemd starts a new one when it is killed; ttyAMA0 is a "
          "kernel console (console=ttyAMA0,115200 on the kernel command line and "
          "/sys/class/tty/console/active)"},
         {"console named by the serial0 alias",
          console({{{"console=serial0,115200", "ttyAMA0"}}, {"tty1"}, "/boot/firmware/cmdline.txt"},
                  false),
          "FAIL",
          "Fix: sudo systemctl disable --now serial-getty@ttyAMA0.service (a console gets a getty "
          "at boot); take the console=serial0,115200 entry off the kernel command line (remove it "
          "from /boot/firmware/cmdline.txt) and reboot"}});
}

TEST(DoctorVerdict, Brltty)
{
    const std::string bm = R"(ENV{PRODUCT}=="1a86/7523/*", ENV{BRLTTY_BRAILLE_DRIVER}="bm")";
    const std::string hub = R"(ENV{PRODUCT}=="1a86/7523/*", ATTRS{idVendor}=="1a40", )"
                            R"(ATTRS{idProduct}=="0101", ENV{BRLTTY_BRAILLE_DRIVER}="bm")";
    const auto ch340 = [](const std::vector<std::string>& rules, bool running, const char* version,
                          const std::vector<std::map<std::string, std::string>>& chain) {
        return [=](DeviceFacts& facts) {
            facts = bench(part("1a86:7523", 0x0264, "ch341-uart"));
            for (const std::string& line : rules) {
                facts.brltty.rules.push_back({"/usr/lib/udev/rules.d/85-brltty.rules", line});
            }
            facts.brltty.any_rule_file = !rules.empty();
            facts.brltty.running = running;
            facts.brltty.version = version;
            facts.brltty.units = {"brltty.service"};
            facts.brltty.candidates.front().attributes = chain;
        };
    };
    const std::map<std::string, std::string> device{{"idVendor", "1a86"}, {"idProduct", "7523"}};
    const std::map<std::string, std::string> known_hub{{"idVendor", "1a40"}, {"idProduct", "0101"}};
    const std::map<std::string, std::string> other_hub{{"idVendor", "05e3"}, {"idProduct", "0608"}};
    expect_lines(
        "brltty",
        {{"absent", [](DeviceFacts&) {}, "OK",
          "brltty is not running and no brltty udev rules are installed"},
         {"rules name the adapter", ch340({bm}, false, "", {device}), "WARN",
          "brltty is not running, but its udev rules (/usr/lib/udev/rules.d/85-brltty.rules) "
          "claim 1a86:7523: " +
              bm + "; plugging this adapter in starts brltty"},
         {"rules want another hub", ch340({hub}, false, "6.6-4", {device, other_hub}), "OK",
          "its udev rules do not claim this adapter"},
         {"rules want this hub", ch340({hub}, true, "6.6-4", {device, known_hub}), "FAIL",
          "brltty is running and its udev rules"},
         {"brltty 6.5 running, CH340 on another hub", ch340({}, true, "6.5-7", {device, other_hub}),
          "OK", "and it takes a CH340 only behind the hub 1a40:0101, which this one is not on"},
         {"brltty 6.4 running takes any CH340", ch340({}, true, "6.4-4", {device, other_hub}),
          "WARN", "when it starts it probes the USB devices its braille drivers know"},
         {"brltty 6.5 behind its hub", ch340({}, true, "6.5-7", {device, known_hub}), "WARN",
          "brltty is running (brltty.service)"},
         {"claimed the adapter, no tty",
          [&](DeviceFacts& facts) {
              ch340({}, true, "6.5-7", {device, known_hub})(facts);
              facts.adapter.reset();
              facts.chips_without_tty = {
                  {"1-1", {0x1a86, 0x7523, 0x0264}, nullptr, "", "usbfs", USB_DEVICE}};
          },
          "FAIL", "a USB serial chip's interface is held by usbfs"}});
}

TEST(DoctorVerdict, ModemManager)
{
    const auto modem = [](const std::vector<std::string>& command_line, const Change& more = {},
                          const ProcessInfo& process = {640, "ModemManager", {}, true}) {
        return [=](DeviceFacts& facts) {
            facts.modem.process = process;
            facts.modem.command_line = command_line;
            facts.modem.physdev_subsystem = "usb";
            facts.modem.device_ports = 1;
            if (more) {
                more(facts);
            }
        };
    };
    const auto acm = [](int protocol, int ports) {
        return [=](DeviceFacts& facts) {
            facts.adapter = part("1a86:55d3", 0x0442, "cdc_acm");
            facts.resolution.path = "/dev/ttyACM0";
            facts.modem.interface_class = 2;
            facts.modem.interface_subclass = 2;
            facts.modem.interface_protocol = protocol;
            facts.modem.device_ports = ports;
        };
    };
    const std::vector<std::string> plain{"/usr/sbin/ModemManager"};
    expect_lines(
        "ModemManager",
        {{"absent", [](DeviceFacts&) {}, "OK", "not running"},
         {"STRICT by default, lone ftdi_sio port", modem(plain), "OK",
          "filter policy STRICT (its default: its command line names none): it never probes a "
          "ftdi_sio port of a device without a network interface"},
         {"STRICT, a device with a network interface",
          modem(plain, [](DeviceFacts& facts) { facts.modem.net_port = true; }), "WARN",
          "it may open the port and send AT commands on the bus"},
         {"STRICT, one AT-capable ttyACM", modem(plain, acm(1, 1)), "OK",
          "it never probes a cdc_acm device whose one port is this ttyACM"},
         {"STRICT, two AT-capable ttyACMs", modem(plain, acm(1, 2)), "WARN",
          "nothing marks /dev/ttyACM0 ID_MM_DEVICE_IGNORE"},
         {"STRICT, no AT commands", modem(plain, acm(0, 2)), "OK",
          "the cdc_acm port does not advertise AT commands (interface 2/2/0)"},
         {"STRICT, a native UART",
          modem(plain, [](DeviceFacts& facts) { facts.modem.physdev_subsystem = "pnp"; }), "OK",
          "it never probes platform, PCI or PNP serial ports"},
         {"command line unread", modem({}, [](DeviceFacts& f) { f.modem.command_line.reset(); }),
          "OK", "filter policy STRICT (its default; its command line could not be read)"},
         {"LEGACY on its command line", modem({"ModemManager", "--filter-policy=legacy"}), "WARN",
          "ModemManager is running with filter policy LEGACY (its command line) and nothing "
          "marks /dev/ttyUSB0 ID_MM_DEVICE_IGNORE: it may open the port and send AT commands on "
          "the bus. Fix: add a udev rule such as "
          "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6014\", "
          "ENV{ID_MM_DEVICE_IGNORE}=\"1\""},
         {"LEGACY, USB device ignored",
          modem(
              {"ModemManager", "--filter-policy", "LEGACY"},
              [](DeviceFacts& f) { f.modem.device_properties.assign(1, "ID_MM_DEVICE_IGNORE=1"); }),
          "OK", "but udev marks its USB device 1-1 ID_MM_DEVICE_IGNORE=1"},
         {"ALLOWLIST-ONLY", modem({"ModemManager", "--filter-policy=allowlist-only"}), "OK",
          "it probes only devices udev marks ID_MM_DEVICE_PROCESS"},
         {"probing", modem(plain, {}, {640, "ModemManager", {"/dev/ttyUSB0"}, true}), "FAIL",
          "ModemManager (pid 640) has /dev/ttyUSB0 open"},
         {"files only root sees", modem(plain, {}, {640, "ModemManager", {}, false}), "OK",
          "it runs as root, so only sudo renumber-doctor sees whether it has the port open"}});
}

TEST(DoctorVerdict, Holders)
{
    const auto held = [](const char* library, const std::vector<int>& locks) {
        return [=](DeviceFacts& facts) {
            facts.processes = {{4242, "picocom", {"/dev/pts/3", "/dev/ttyUSB0"}, true}};
            facts.serial_library_version = library;
            facts.lock_holders = locks;
        };
    };
    expect_lines(
        "holders",
        {{"free", [](DeviceFacts&) {}, "OK", "no other process has /dev/ttyUSB0 open"},
         {"Debian 12", held("0.1.1-4", {}), "FAIL",
          "/dev/ttyUSB0 is open in pid 4242 (picocom): libserialport 0.1.1-4 takes no lock, so "
          "renumber would share the line and the motor's answers with them (a timeout, or an "
          "answer read by the other program). Fix: quit those programs first (or kill 4242)"},
         {"Debian 13, holder locked it", held("0.1.2-1", {4242}), "FAIL",
          "libserialport 0.1.2-1 locks the port on open (flock) and pid 4242 holds that lock, so "
          "renumber would stop with \"[Error] Failed to open serial port, try opening with "
          "administrator privileges.\" (status 255), after a line beginning \"sp_open: \""},
         {"Debian 13, another process locked it", held("0.1.2-1", {77}), "FAIL",
          "locks the port on open, but they hold no lock on it"},
         {"not installed", held("", {}), "FAIL", "libserialport0 is not in the package database"},
         {"an epoch and a later release", held("1:0.2.0-1", {4242}), "FAIL",
          "and pid 4242 holds that lock"},
         {"a getty has its own line", running({{702, "agetty", {"/dev/ttyUSB0"}, true}}), "OK",
          "open apart from those with their own line above"},
         {"processes of other users", running({{1, "systemd", {}, false}}), "OK",
          "(1 processes belong to other users and only root sees their files"},
         // renumber's scan after a failed run stops in time: it claims nothing it did not see.
         {"scan cut short", [](DeviceFacts& f) { f.processes_cut_short = true; }, "OK",
          "no other process has /dev/ttyUSB0 open among those checked in time"},
         {"/proc unreadable",
          [](DeviceFacts& f) { f.processes_error = std::make_error_code(std::errc::io_error); },
          "WARN", "cannot tell which programs have /dev/ttyUSB0 open: reading /proc"}});
}

TEST(DoctorVerdict, Latency)
{
    const auto latency = [](const char* typed, const char* value, const char* error = "") {
        return [=](DeviceFacts& facts) {
            facts.typed = typed;
            facts.latency = {value, error};
        };
    };
    const char* by_id = "/dev/serial/by-id/usb-FTDI_RS485-if00-port0";
    expect_lines("latency",
                 {{"ttyUSB path", latency("/dev/ttyUSB0", "16"), "OK",
                   "FTDI latency timer is 16 ms; renumber switches the port to low latency itself"},
                  {"stable name", latency(by_id, "16"), "WARN",
                   "every answer waits up to 16 ms in the adapter. Fix: give renumber /dev/ttyUSB0 "
                   "instead, or lower the timer: echo 1 | sudo tee "
                   "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"},
                  {"already low", latency(by_id, "1"), "OK", "latency timer is 1 ms"},
                  {"unreadable", latency(by_id, "", "stat /x: No such file or directory"), "WARN",
                   "cannot read the FTDI latency timer: stat /x"},
                  {"not FTDI", with_adapter(part("1a86:7523", 0x0264, "ch341-uart")), "OK",
                   "driver ch341-uart is not FTDI's"}});
}

// After a failed run renumber names what on the machine can explain it: the checks about the line
// that are not OK, never the node's access (the open succeeded), nothing on a healthy bench.
TEST(DoctorVerdict, WhatExplainsAFailedRun)
{
    struct Case {
        const char* name;
        Change change;
        std::vector<std::string> topics;
    };
    const Case cases[] = {
        {"a healthy bench", [](DeviceFacts&) {}, {}},
        {"a terminal holding the port",
         running({{4242, "minicom", {"/dev/ttyUSB0"}, true}}),
         {"holders"}},
        {"ModemManager probing it",
         [](DeviceFacts& f) {
             f.processes = {{610, "ModemManager", {"/dev/ttyUSB0"}, true}};
             f.modem.process = f.processes.front();
         },
         {"ModemManager"}},
        {"a chip handed a rate it cannot run",
         [](DeviceFacts& f) { f = bench(part("1a86:55d8", 0x0442, "cdc_acm")); },
         {"chip"}},
        {"the latency timer through a by-id name",
         [](DeviceFacts& f) { f.typed = "/dev/serial/by-id/usb-FTDI_RS485-if00-port0"; },
         {"latency"}},
        {"a user outside dialout", [](DeviceFacts& f) { f.access.user = alice({1000}, {}); }, {}},
    };
    for (const Case& c : cases) {
        DeviceFacts facts = bench();
        c.change(facts);
        std::vector<std::string> topics;
        for (const CheckResult& finding : explain_failed_run(facts)) {
            topics.push_back(finding.topic);
        }
        EXPECT_EQ(topics, c.topics) << c.name;
    }
}

TEST(DoctorVerdict, ExitStatusAndSkippedChecks)
{
    EXPECT_EQ(exit_status(diagnose(bench()).results), 0);
    DeviceFacts warned = bench();
    warned.typed = "/dev/serial/by-id/usb-FTDI_RS485-if00-port0";
    EXPECT_EQ(exit_status(diagnose(warned).results), 1);
    DeviceFacts gone = bench();
    gone.adapter.reset();
    gone.resolution.error = std::make_error_code(std::errc::no_such_file_or_directory);
    const Diagnosis diagnosis = diagnose(gone);
    EXPECT_EQ(exit_status(diagnosis.results), 2);
    EXPECT_EQ(diagnosis.skipped,
              (std::vector<std::string>{"access", "console", "holders", "chip", "latency"}));
}

} // namespace

// Building blocks for the doctor's tests: adapters as the kernel lays them out, machines built
// step by step, and a fixture that runs renumber-doctor on one and picks out a check's line.
#pragma once

#include "doctor/checks.h"
#include "doctor/doctor.h"
#include "fake_tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

inline constexpr char ROOT_USER[] = "0:0:0";
inline constexpr char ALICE[] = "1000:1000:1000";
inline constexpr char ALICE_IN_DIALOUT[] = "1000:1000:1000,20";
inline constexpr char BY_ID[] = "/dev/serial/by-id/usb-FTDI_Single_RS485_Cable_FT6X9K2A-if00-port0";

inline FakeAdapter with(FakeAdapter adapter, const std::function<void(FakeAdapter&)>& change)
{
    change(adapter);
    return adapter;
}

// A USB serial part with these ids ("1a86:7523") and bcdDevice, bound to its driver; otherwise
// the FakeAdapter default, an FT232H.
inline FakeAdapter usb_part(const char* ids, const char* release, const char* driver)
{
    return with(FakeAdapter{}, [=](FakeAdapter& a) {
        a.vendor = std::string(ids).substr(0, 4);
        a.product = std::string(ids).substr(5);
        a.release = release;
        a.interface_driver = driver;
        a.serial_driver = driver;
        a.latency_timer = std::string(driver) == "ftdi_sio" ? "16" : "";
    });
}

// A CH340 as it comes, with neither manufacturer nor serial number.
inline FakeAdapter ch340()
{
    return with(usb_part("1a86:7523", "0264", "ch341-uart"), [](FakeAdapter& a) {
        a.product_name = "USB Serial";
        a.manufacturer = "";
        a.serial = "";
        a.device_class = "ff";
        a.max_packet_size0 = "8";
        a.usb_version = " 1.10";
        a.interface_driver = "ch341";
        a.by_id = "usb-1a86_USB_Serial-if00-port0";
    });
}

using Build = std::function<void(const FakeTree&)>;

inline Build adapter(const FakeAdapter& fake)
{
    return [fake](const FakeTree& tree) { add_adapter(tree, fake); };
}

// A machine built by each step in turn.
template <typename... Steps> Build all(Steps... steps)
{
    return [=](const FakeTree& tree) { (steps(tree), ...); };
}

// A PC's serial ports: ttyS0, a 16550A on PNP at 1,843,200 Hz, and the 8250 driver's
// placeholder ttyS1 with no UART behind it (type 0, no node).
inline void pc_uarts(const FakeTree& tree)
{
    add_uart(tree, FakeUart{});
    add_uart(tree, FakeUart{.tty = "ttyS1",
                            .device = "/sys/devices/platform/serial8250",
                            .driver = "serial8250",
                            .clock = "0",
                            .type = "0",
                            .major = 4,
                            .minor = 65});
}

inline Build process(int pid, const char* command, const std::vector<std::string>& files = {})
{
    return [=](const FakeTree& tree) { add_process(tree, pid, command, files); };
}

// A fake machine built afresh for each run of renumber-doctor, or gathering of its facts as
// alice. Without mknod (not root) device nodes are plain files owned by the test's user, which
// only the device and access lines tell apart.
class OnFakeMachine : public ::testing::Test {
protected:
    void TearDown() override { remove_tree(tree); }

    void build(const Build& machine)
    {
        remove_tree(tree);
        tree = make_tree();
        machine(tree);
    }
    DoctorRun doctor(const Build& machine, std::vector<std::string> args,
                     const char* identity = ALICE_IN_DIALOUT, std::vector<std::string> more = {})
    {
        build(machine);
        args.insert(args.begin(), {"--identity", identity});
        args.insert(args.begin(), more.begin(), more.end());
        return doctor_main(args, tree_machine(tree));
    }
    DeviceFacts gather(const Build& machine, const std::string& device,
                       const std::optional<Identity>& invoking = std::nullopt)
    {
        build(machine);
        return gather_facts(tree_machine(tree), {1000, 1000, {1000, DIALOUT_GID}, false}, invoking,
                            device);
    }

    FakeTree tree = make_tree();
};
using Gather = OnFakeMachine;
using Doctor = OnFakeMachine;

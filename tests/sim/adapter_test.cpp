// The adapter layer on its own: what it does with a libc that lacks a call it passes on, and with
// a configuration it cannot read.
#include "support/run_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

extern "C" void probe_bind_all_but(const char* hidden);

namespace {

// motor-sim's own failure status, which the layer shares.
constexpr int OWN_FAILURE = 125;

TEST(AdapterBinding, ThisLibcHasEveryCallTheLayerPassesOn)
{
    EXPECT_EXIT(
        {
            probe_bind_all_but(nullptr);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(AdapterBinding, AMissingCallStopsTheProgramWithItsName)
{
    const char* const names[] = {
        "open",       "open64",       "__open_2", "__open64_2",     "openat",    "openat64",
        "__openat_2", "__openat64_2", "close",    "ioctl",          "tcdrain",   "write",
        "read",       "readlink",     "realpath", "__realpath_chk", "__lxstat",  "__lxstat64",
        "lstat",      "lstat64",      "stat",     "stat64",         "tcsetattr", "tcflush",
        "dup",        "dup2",         "dup3",
    };
    for (const char* name : names) {
        EXPECT_EXIT(probe_bind_all_but(name), testing::ExitedWithCode(OWN_FAILURE),
                    std::string("^libmotor-sim-adapter\\.so: libc has no ") + name +
                        ", which the layer passes calls on to\n$")
            << name;
    }
}

// The layer preloaded into a program that opens /dev/null, with a simulated device it never
// opens: reading its configuration is the layer's first act, at that open. Each row sets
// MOTOR_SIM or MOTOR_SIM_TAP, and gives the message the layer stops with (none: it runs).
TEST(AdapterConfig, MalformedConfigurationStopsTheLayer)
{
    const std::string sim = "MOTOR_SIM=device=/dev/ttyUSB0,pty=/dev/null,";
    const std::string stop = "libmotor-sim-adapter.so: MOTOR_SIM: ";
    const std::pair<std::string, std::string> cases[] = {
        {sim + "sysfs=/tmp/a\\,b,events=3,refuse-open,refuse-baud,refuse-low-latency,"
               "no-serial-info,write-limit=0,substitute-baud=9600,silent-baud=1,stall-drain,replay",
         ""},
        {sim + "substitute-baud=0", stop + "substitute-baud needs a rate, not '0'\n"},
        {sim + "write-limit=5x,refuse-open", stop + "write-limit needs a byte count, not '5x'\n"},
        {sim + "write-limit", stop + "write-limit needs a byte count, not ''\n"},
        {sim + "write-limit=-1", stop + "write-limit needs a byte count, not '-1'\n"},
        {sim + "write-limit=4294967296",
         stop + "write-limit needs a byte count, not '4294967296'\n"},
        {sim + "refuse-everything", stop + "unknown field 'refuse-everything'\n"},
        {sim + "stall-drain=yes", stop + "stall-drain needs no value, not 'yes'\n"},
        {"MOTOR_SIM=device=dev/ttyUSB0,pty=/dev/null",
         stop + "device needs an absolute path, not 'dev/ttyUSB0'\n"},
        {sim + "sysfs=/tmp/a\\", stop + "sysfs needs an absolute path, not '/tmp/a\\'\n"},
        {"MOTOR_SIM=device=/dev/ttyUSB0", stop + "pty is missing\n"},
        {"MOTOR_SIM_TAP=device=/dev/ttyUSB0",
         "libmotor-sim-adapter.so: MOTOR_SIM_TAP: reports is missing\n"},
    };
    for (const auto& [setting, err] : cases) {
        const ProcessResult run = run_process({OPEN_FILE_BINARY, "/dev/null"},
                                              {std::string("LD_PRELOAD=") + ADAPTER_LIBRARY,
                                               "MOTOR_SIM=", "MOTOR_SIM_TAP=", setting});
        EXPECT_EQ(run.status, err.empty() ? 0 : OWN_FAILURE) << setting;
        EXPECT_EQ(run.err, err) << setting;
    }
}

// The command line's refusals are options_test.cpp's; how motor-sim ends on one is this.
TEST(MotorSimCommandLine, AMalformedValueEndsWithItsOwnFailureStatus)
{
    const ProcessResult run =
        run_process({MOTOR_SIM_BINARY, "--motor", "0:delay=5x", "--", "/bin/true"});
    EXPECT_EQ(run.status, OWN_FAILURE);
    EXPECT_EQ(run.err, "motor-sim: --motor '0:delay=5x': delay needs milliseconds from 0 to "
                       "3600000\nTry 'motor-sim --help' for more information.\n");
    EXPECT_EQ(run.out, "");
}

} // namespace

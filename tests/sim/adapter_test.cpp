// The adapter layer on its own: what it does with a libc that lacks a call it passes on, and with
// adapter faults it cannot read.
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
        "open",       "open64",       "__open_2", "__open64_2",     "openat",   "openat64",
        "__openat_2", "__openat64_2", "close",    "ioctl",          "tcdrain",  "write",
        "read",       "readlink",     "realpath", "__realpath_chk", "__lxstat", "__lxstat64",
        "lstat",      "lstat64",      "stat",     "stat64",
    };
    for (const char* name : names) {
        EXPECT_EXIT(probe_bind_all_but(name), testing::ExitedWithCode(OWN_FAILURE),
                    std::string("^libmotor-sim-adapter\\.so: libc has no ") + name +
                        ", which the layer passes calls on to\n$")
            << name;
    }
}

struct FaultsCase {
    std::string faults; // MOTOR_SIM_FAULTS
    int status;
    std::string err;
};

// The layer preloaded into a program that opens /dev/null, with a simulated device it never
// opens: reading the faults is the layer's first act, at that open.
TEST(AdapterFaults, MalformedFaultsStopTheLayer)
{
    const std::string prefix = "libmotor-sim-adapter.so: MOTOR_SIM_FAULTS: ";
    const FaultsCase cases[] = {
        {"write-limit=16,refuse-open,refuse-baud,refuse-low-latency,no-serial-info", 0, ""},
        {"write-limit=0,stall-drain,substitute-baud=9600", 0, ""},
        {"substitute-baud=0", OWN_FAILURE, prefix + "substitute-baud needs a rate, not '0'\n"},
        {"substitute-baud=fast", OWN_FAILURE,
         prefix + "substitute-baud needs a rate, not 'fast'\n"},
        {"write-limit=abc", OWN_FAILURE, prefix + "write-limit needs a byte count, not 'abc'\n"},
        {"write-limit=5x,refuse-open", OWN_FAILURE,
         prefix + "write-limit needs a byte count, not '5x'\n"},
        {"write-limit=", OWN_FAILURE, prefix + "write-limit needs a byte count, not ''\n"},
        {"write-limit=-1", OWN_FAILURE, prefix + "write-limit needs a byte count, not '-1'\n"},
        {"write-limit= 5", OWN_FAILURE, prefix + "write-limit needs a byte count, not ' 5'\n"},
        {"write-limit=99999999999999999999", OWN_FAILURE,
         prefix + "write-limit needs a byte count, not '99999999999999999999'\n"},
        {"refuse-open,refuse-everything", OWN_FAILURE,
         prefix + "unknown adapter fault 'refuse-everything'\n"},
        {"write-limit", OWN_FAILURE, prefix + "unknown adapter fault 'write-limit'\n"},
    };
    for (const FaultsCase& c : cases) {
        const ProcessResult run = run_process(
            {OPEN_FILE_BINARY, "/dev/null"},
            {std::string("LD_PRELOAD=") + ADAPTER_LIBRARY, "MOTOR_SIM_DEVICE=/dev/ttyUSB0",
             "MOTOR_SIM_PTY=/dev/null", "MOTOR_SIM_FAULTS=" + c.faults});
        EXPECT_EQ(run.status, c.status) << c.faults;
        EXPECT_EQ(run.err, c.err) << c.faults;
        EXPECT_EQ(run.out, "") << c.faults;
    }
}

TEST(MotorSimCommandLine, MalformedFaultValuesEndWithItsOwnFailureStatus)
{
    const std::vector<std::vector<std::string>> malformed{
        {"--write-limit", "abc"},
        {"--hangup-after", ""},
        {"--motor", "0:delay=5x"},
        {"--motor", "0:truncate=-1"},
    };
    for (const auto& options : malformed) {
        std::vector<std::string> argv{MOTOR_SIM_BINARY};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {"--", "/bin/true"});
        const ProcessResult run = run_process(argv);
        EXPECT_EQ(run.status, OWN_FAILURE) << testing::PrintToString(options);
        EXPECT_TRUE(run.err.starts_with("motor-sim: ")) << run.err;
        EXPECT_TRUE(run.err.ends_with("\nTry 'motor-sim --help' for more information.\n"))
            << run.err;
        EXPECT_EQ(run.out, "") << testing::PrintToString(options);
    }
}

} // namespace

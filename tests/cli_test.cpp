// The renumber binary as the operator meets it, where no adapter is needed.
#include "support/run_process.h"
#include "version.h"

#include <gtest/gtest.h>

namespace {

constexpr char USAGE[] =
    "Motor ID change tool.\n"
    "Version: " RENUMBER_VERSION "\n"
    "\n"
    "Motor broadcast ID:15\n"
    "Notice: There cannot be motors with the same ID on a RS-485 bus!!!\n"
    "\n"
    "usage: renumber [tty device] [id] [target_id] (motor type)\n"
    "ex:    renumber /dev/ttyUSB0 0 1  :Set motor 0 to id 1\n"
    "ex:    renumber /dev/ttyUSB0 15 1 :Set All motor to id 1 (Use with caution)\n";

// With the library's trace on, any lookup or open of the device would show on stderr.
constexpr char LIBRARY_TRACE_ON[] = "LIBSERIALPORT_DEBUG=1";

struct RejectionCase {
    std::vector<std::string> args;
    std::string message;
    int status;
};

// Usage for a wrong count of arguments, and one argument for each message, the library's trace
// on: nothing may reach the device, nor even the library's lookup (every spelling the checks
// refuse, and the order they judge in, is app_test.cpp's). The motor type is echoed byte for
// byte, its printf conversions printed.
TEST(CommandLine, RejectsBadArgumentsBeforeTouchingTheDevice)
{
    const RejectionCase cases[] = {
        {{}, USAGE, 0},
        {{"/dev/ttyUSB0", "0"}, USAGE, 0},
        {{"/dev/ttyUSB0", "0", "1", "KV-R2730-4", "extra"}, USAGE, 0},
        {{"/dev/ttyUSB0", "0", "15"}, "Target motor id must be in the range 0-14.\n", 255},
        {{"/dev/ttyUSB0", "0", "16"}, "Motor id must be in the range 0-15.\n", 255},
        {{"/dev/ttyUSB0", "0", "1", "KV-R2730-5"}, "Unknow motor type: KV-R2730-5\n", 253},
        {{"/dev/ttyUSB0", "0", "1", "%s%n%x"}, "Unknow motor type: %s%n%x\n", 253},
        {{"/dev/ttyUSB0", "0", "1", "\xFF\xFE\x80"}, "Unknow motor type: \xFF\xFE\x80\n", 253},
    };
    for (const RejectionCase& c : cases) {
        std::vector<std::string> argv{RENUMBER_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProcessResult run = run_process(argv, {LIBRARY_TRACE_ON});
        EXPECT_EQ(run.out, c.message) << testing::PrintToString(c.args);
        EXPECT_EQ(run.err, "") << testing::PrintToString(c.args);
        EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.args);
    }
}

// The version is set once, in CMakeLists.txt; each program shows the build's own (renumber's is
// in its usage, above).
TEST(CommandLine, EveryProgramShowsTheVersion)
{
    const std::vector<std::vector<std::string>> runs{
        {DOCTOR_BINARY, "--help"},
        {MOTOR_SIM_BINARY, "--help"},
    };
    for (const auto& argv : runs) {
        const ProcessResult run = run_process(argv);
        EXPECT_EQ(run.status, 0) << argv[0];
        EXPECT_NE(run.out.find(" " RENUMBER_VERSION), std::string::npos) << argv[0] << run.out;
    }
}

} // namespace

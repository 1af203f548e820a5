// Every bad device path the operator types ends with its message and status, and the simulated bus
// sees nothing — no open, no frame, no changed motor; unusual but whole numbers reach their motor.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

using BadInput = EndToEnd;

constexpr char NO_DEVICE[] = "[Error] Device name does not exist.\n";

struct RefusalCase {
    std::vector<std::string> args;
    std::string out;
    int status;
};

// The run must have ended before the bus was reached, with the one motor still 0.
void expect_refused(const SimRun& run, const RefusalCase& c)
{
    const std::string where = testing::PrintToString(c.args);
    EXPECT_EQ(run.process.out, c.out) << where;
    EXPECT_EQ(run.process.status, c.status) << where;
    EXPECT_FALSE(run.process.timed_out) << where;
    EXPECT_TRUE(run.all("open").empty()) << where;
    EXPECT_TRUE(run.all("open-refused").empty()) << where;
    EXPECT_TRUE(run.sent_frames().empty()) << where;
    EXPECT_EQ(run.motor_ids(), std::vector<int>{0}) << where;
}

TEST_F(BadInput, DevicePathsThatNameNoAdapter)
{
    const fs::path file = scratch_ / "file";
    std::ofstream(file) << "not a tty\n";
    const fs::path fifo = scratch_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path loop = scratch_ / "loop";
    fs::create_symlink(loop, loop);
    const fs::path dangling = scratch_ / "usb-gone-if00-port0";
    fs::create_symlink("/dev/ttyUSB9", dangling);
    const std::string too_long = "/dev/ttyUSB0" + std::string(PATH_MAX, 'x');

    constexpr char MISSING[] = "No such file or directory";
    constexpr char NOT_SERIAL[] = "Not a serial port";
    // Standard error names the failed lookup and why, so that a typo tells from a wrong node.
    const std::vector<std::pair<std::string, std::string>> paths{
        {"/dev/ttyUSB9", MISSING},                            // missing
        {"relative/ttyUSB0", MISSING},                        // relative, missing
        {"", MISSING},                                        // empty
        {"/dev", NOT_SERIAL},                                 // a directory
        {scratch_.string(), NOT_SERIAL},                      // a directory outside /dev
        {file.string(), NOT_SERIAL},                          // a regular file
        {fifo.string(), NOT_SERIAL},                          // a FIFO: nothing may open it
        {"/dev/null", NOT_SERIAL},                            // a device that is no tty
        {too_long, "File name too long"},                     // the simulated name, too long
        {loop.string(), "Too many levels of symbolic links"}, // a link to itself
        {dangling.string(), MISSING},                         // a link to an adapter gone
    };
    for (const auto& [path, reason] : paths) {
        const SimRun run = simulate({"--motor", "0"}, {path, "0", "1"});
        expect_refused(run, {{path, "0", "1"}, NO_DEVICE, 255});
        EXPECT_EQ(run.process.err, "sp_get_port_by_name: " + reason + "\n") << path.substr(0, 40);
    }
}

struct AcceptedCase {
    std::vector<std::string> args;
    std::vector<std::string> motors; // --motor values
    std::string command_frame;       // the change command as sent
    std::string out;
    std::vector<int> final_ids;
};

TEST_F(BadInput, UnusualButWholeNumbersReachTheRightMotor)
{
    const AcceptedCase cases[] = {
        {{"/dev/ttyUSB0", " +3", "007", "KV-R2730-4"},
         {"3", "5"},
         "FB0173BB",
         "OK! Changed. Now the motor ID:7\n",
         {7, 5}},
        {{"/dev/ttyUSB0", "\t\n000000000000000000000005", "+14"},
         {"3", "5"},
         "FB01E5BB",
         "OK! Changed. Now the motor ID:14\n",
         {3, 14}},
    };
    for (const AcceptedCase& c : cases) {
        std::vector<std::string> options;
        for (const std::string& motor : c.motors) {
            options.insert(options.end(), {"--motor", motor});
        }
        const SimRun run = simulate(options, c.args);
        const std::string where = testing::PrintToString(c.args);
        EXPECT_EQ(run.process.out, c.out) << where;
        EXPECT_EQ(run.process.status, 0) << where;
        ASSERT_EQ(run.sent_frames().size(), 3U) << where;
        EXPECT_EQ(run.sent_frames()[2], c.command_frame) << where;
        EXPECT_EQ(run.motor_ids(), c.final_ids) << where;
    }
}

} // namespace

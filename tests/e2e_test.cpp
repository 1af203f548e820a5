// The real renumber binary, through the real libserialport, against simulated motors: what the
// operator sees, what went over the wire, and what the motors ended up as.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

std::string control_frame(const std::string& mode_byte, const std::string& crc)
{
    return "FEEE" + mode_byte + std::string(24, '0') + crc;
}

TEST_F(EndToEnd, HonestMotorChangesFromZeroToOne)
{
    const SimRun run = simulate({"--motor", "0"}, {"/dev/ttyUSB0", "0", "1"});
    EXPECT_EQ(run.process.out, "OK! Changed. Now the motor ID:1\n");
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.process.status, 0);
    EXPECT_EQ(run.sent_frames(),
              (std::vector<std::string>{control_frame("00", "6523"), control_frame("70", "44AF"),
                                        "FB0110BB"}));
    EXPECT_EQ(run.motor_ids(), std::vector<int>{1});
    EXPECT_EQ(run.low_latency(), "yes");
    const std::vector<long> t = run.sent_times();
    ASSERT_EQ(t.size(), 3U);
    EXPECT_GE(t[1] - t[0], 1);
    EXPECT_LT(t[1] - t[0], 400); // the motor answered: no 500 ms wait
    EXPECT_GE(t[2] - t[1], 990); // times are whole ms as motor-sim received them
    EXPECT_LT(t[2] - t[1], 1500);
    EXPECT_GE(run.process.elapsed.count(), 1000);
    EXPECT_LT(run.process.elapsed.count(), 3000);
}

TEST_F(EndToEnd, BroadcastRenumbersEveryMotor)
{
    const SimRun run = simulate({"--motor", "4"}, {"/dev/ttyUSB0", "15", "1", "KV-R2730-4"});
    EXPECT_EQ(run.process.out, "OK! Changed. Now the motor ID:1\n");
    EXPECT_EQ(run.process.status, 0);
    EXPECT_EQ(run.sent_frames(),
              (std::vector<std::string>{control_frame("0F", "4E16"), control_frame("7F", "6F9A"),
                                        "FB011FBB"}));
    EXPECT_EQ(run.motor_ids(), std::vector<int>{1});
}

TEST_F(EndToEnd, SilentBusTimesOutAfterAboutFiveSeconds)
{
    const SimRun run = simulate({"--no-motor"}, {"/dev/ttyUSB0", "0", "1"});
    EXPECT_EQ(run.process.out, "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n");
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.process.status, 255);
    EXPECT_EQ(run.sent_frames().size(), 3U);
    const std::vector<long> t = run.sent_times();
    ASSERT_EQ(t.size(), 3U);
    EXPECT_GE(t[1] - t[0], 480);
    EXPECT_GE(t[2] - t[1], 1450);
    EXPECT_GE(run.process.elapsed.count(), 4500);
    EXPECT_LT(run.process.elapsed.count(), 9000);
}

struct AnswerCase {
    std::string motor;  // the --motor argument
    std::string id;     // renumber's present id
    std::string target; // renumber's target
    std::string out;
    int status;
    int final_id;
};

TEST_F(EndToEnd, JudgementOfTheAnswer)
{
    const AnswerCase cases[] = {
        {"0:reply=FC0501BB", "0", "1", "OK! Changed. Now the motor ID:1\n", 0, 1},
        {"0:reply=FC0121BB", "0", "1", "OK! Changed. Now the motor ID:1\n", 0, 1},
        {"0:reply=000101BB", "0", "1", "OK! Changed. Now the motor ID:1\n", 0, 1},
        {"0:reply=FC0102BB", "0", "1", "[Error] The ID:2 of the feedback does not match.\n", 254,
         1},
        {"0:reply=FC06ABCD", "0", "1", "[Error] The ID:15 of the feedback does not match.\n", 254,
         1},
        {"0:reply-id=2", "0", "1", "[Error] The ID:2 of the feedback does not match.\n", 254, 2},
        {"0:truncate=2", "0", "1", "[Error] The ID:0 of the feedback does not match.\n", 254, 1},
        {"3:truncate=2", "3", "0",
         "[ERROR] Error message, don't connect multiple motors at the 485 cable.\n", 254, 0},
        // Four bytes that are no motor answer must not pass as a change to 0.
        {"3:reply=12345678", "3", "0", "[Error] The ID:0 of the feedback does not match.\n", 254,
         0},
        {"3:reply=00000000", "3", "0", "[Error] The ID:0 of the feedback does not match.\n", 254,
         0},
        {"0:delay=3500", "0", "1",
         "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n", 255, 1},
        {"0:ignore-command", "0", "1",
         "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n", 255, 0},
        {"0:extra=FC0102BB", "0", "1", "OK! Changed. Now the motor ID:1\n", 0, 1},
    };
    for (const AnswerCase& c : cases) {
        const SimRun run = simulate({"--motor", c.motor}, {"/dev/ttyUSB0", c.id, c.target});
        EXPECT_EQ(run.process.out, c.out) << c.motor;
        EXPECT_EQ(run.process.err, "") << c.motor;
        EXPECT_EQ(run.process.status, c.status) << c.motor;
        EXPECT_EQ(run.motor_ids(), std::vector<int>{c.final_id}) << c.motor;
    }
}

struct RejectionCase {
    std::vector<std::string> args;
    std::string out;
    int status;
};

TEST_F(EndToEnd, RejectedRunsNeverOpenTheDevice)
{
    const RejectionCase cases[] = {
        {{"/dev/ttyUSB0", "0", "15"}, "Target motor id must be in the range 0-14.\n", 255},
        {{"/dev/ttyUSB0", "0", "16"}, "Motor id must be in the range 0-15.\n", 255},
        {{"/dev/ttyUSB0", "0", "257"}, "Motor id must be in the range 0-15.\n", 255},
        {{"/dev/ttyUSB0", "16", "1"}, "Motor id must be in the range 0-15.\n", 255},
        {{"/dev/ttyUSB0", "0", "1", "KV-R2730-5"}, "Unknow motor type: KV-R2730-5\n", 253},
        {{"/dev/ttyUSB7", "0", "1"}, "[Error] Device name does not exist.\n", 255},
    };
    for (const RejectionCase& c : cases) {
        const SimRun run = simulate({"--motor", "0"}, c.args);
        EXPECT_EQ(run.process.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(run.process.status, c.status) << testing::PrintToString(c.args);
        EXPECT_TRUE(run.all("open").empty()) << testing::PrintToString(c.args);
        EXPECT_TRUE(run.sent_frames().empty()) << testing::PrintToString(c.args);
        EXPECT_EQ(run.motor_ids(), std::vector<int>{0}) << testing::PrintToString(c.args);
    }
}

struct AdapterCase {
    std::vector<std::string> options;
    std::string out;
    int status;
    int final_id;
    std::string err{};
};

TEST_F(EndToEnd, AdapterFailures)
{
    const std::string write_error = "[Error] Error occurred during serial port write.\n";
    const AdapterCase cases[] = {
        {{"--refuse-open"},
         "[Error] Failed to open serial port, try opening with administrator privileges.\n",
         255,
         0,
         "sp_open: Permission denied\n"},
        {{"--refuse-baud"},
         "[Error] Set serial failure.\n",
         255,
         0,
         "sp_set_baudrate: Invalid argument\n"},
        {{"--write-limit", "0"},
         write_error + write_error + write_error +
             "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n",
         255,
         0},
        {{"--refuse-low-latency"},
         "[WARNING] Set serial flag failure: ASYNC_LOW_LATENCY = -1.\nOK! Changed. Now the motor ID:1\n",
         0,
         1},
        {{"--no-serial-info"},
         "[WARNING] Set serial flag failure: ASYNC_LOW_LATENCY = -1.\nOK! Changed. Now the motor ID:1\n",
         0,
         1},
    };
    for (const AdapterCase& c : cases) {
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--motor", "0"});
        const SimRun run = simulate(options, {"/dev/ttyUSB0", "0", "1"});
        EXPECT_EQ(run.process.out, c.out) << testing::PrintToString(c.options);
        EXPECT_EQ(run.process.err, c.err) << testing::PrintToString(c.options);
        EXPECT_EQ(run.process.status, c.status) << testing::PrintToString(c.options);
        EXPECT_EQ(run.motor_ids(), std::vector<int>{c.final_id})
            << testing::PrintToString(c.options);
    }
}

TEST_F(EndToEnd, ShortWriteOfTheCommandIsNoSuccess)
{
    const SimRun run = simulate({"--write-limit", "2", "--motor", "0"}, {"/dev/ttyUSB0", "0", "0"});
    const std::string write_error = "[Error] Error occurred during serial port write.\n";
    EXPECT_EQ(run.process.out,
              write_error + write_error + write_error +
                  "[ERROR] Error message, don't connect multiple motors at the 485 cable.\n");
    EXPECT_EQ(run.process.status, 254);
}

TEST_F(EndToEnd, LowLatencyOnlyForPathsTypedAsTtyUsb)
{
    const fs::path by_id = scratch_ / "usb-FTDI_USB_RS485-if00-port0";
    const fs::path hop = scratch_ / "hop";
    fs::create_symlink("/dev/ttyUSB0", hop);
    fs::create_symlink(hop, by_id);

    struct Case {
        std::vector<std::string> sim_options;
        std::string path;
        std::string requested;
    };
    const Case cases[] = {
        {{}, "/dev/ttyUSB0", "yes"},
        {{"--device", "/dev/ttyUSB12"}, "/dev/ttyUSB12", "yes"},
        {{"--device", "/dev/ttyACM0"}, "/dev/ttyACM0", "no"},
        {{}, by_id.string(), "no"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> options = c.sim_options;
        options.insert(options.end(), {"--motor", "0"});
        const SimRun run = simulate(options, {c.path, "0", "1"});
        EXPECT_EQ(run.process.out, "OK! Changed. Now the motor ID:1\n") << c.path;
        EXPECT_EQ(run.process.status, 0) << c.path;
        EXPECT_EQ(run.low_latency(), c.requested) << c.path;
    }
}

TEST_F(EndToEnd, LateControlAnswerIsDiscardedBeforeTheCommand)
{
    // The second control answer arrives during the 1 s pause and waits in the input queue; it is
    // discarded before the command goes out, so FD DD 73 00 is not read as the answer.
    const SimRun run = simulate({"--motor", "3:control-delay=600"}, {"/dev/ttyUSB0", "3", "0"});
    EXPECT_EQ(run.process.out, "OK! Changed. Now the motor ID:0\n");
    EXPECT_EQ(run.process.status, 0);
    EXPECT_EQ(run.motor_ids(), std::vector<int>{0});
    const auto received = run.all("rx");
    ASSERT_EQ(received.size(), 3U);
    EXPECT_EQ(received[1].fields.at("bytes").substr(0, 8), "FDDD7300");
    EXPECT_LT(std::stol(received[1].fields.at("t")), run.sent_times().back());
}

TEST_F(EndToEnd, NoFalseSuccessUnderFaults)
{
    const std::vector<std::vector<std::string>> faults{
        {"--echo", "--motor", "0"},
        {"--hangup-after", "2", "--motor", "0"},
        {"--hangup-after", "3", "--motor", "0"},
        {"--motor", "0:control-extra=FC0101BB"},
        {"--motor", "0", "--motor", "0:reply-id=2"},
        {"--motor", "0:silent", "--motor", "5"},
    };
    for (const auto& options : faults) {
        const SimRun run = simulate(options, {"/dev/ttyUSB0", "0", "1"});
        const bool reported_success = run.process.status == 0;
        EXPECT_EQ(reported_success,
                  run.process.out.find("OK! Changed. Now the motor ID:1") != std::string::npos)
            << testing::PrintToString(options);
        if (reported_success) {
            for (const int id : run.motor_ids()) {
                EXPECT_TRUE(id == 1 || id == 5) << testing::PrintToString(options);
            }
        }
    }
}

} // namespace

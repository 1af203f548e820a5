// The real renumber binary, through the real libserialport, against simulated motors: what the
// operator sees, what went over the wire and when, and what the motors ended up as. Each row is a
// test of its own.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using waits::ANSWER_WAIT;
using waits::COMMAND_PAUSE;
using waits::CONTROL_PAUSE;
using waits::CONTROL_WAIT;
using waits::EVERY_WAIT;
using waits::WHOLE_MS;

constexpr char CHANGED_TO_ONE[] = "OK! Changed. Now the motor ID:1\n";
constexpr char LOW_LATENCY_REFUSED[] =
    "[WARNING] Set serial flag failure: ASYNC_LOW_LATENCY = -1.\nOK! Changed. Now the motor ID:1\n";

std::string control_frame(const std::string& mode_byte, const std::string& crc)
{
    return "FEEE" + mode_byte + std::string(24, '0') + crc;
}

/// Gaps between the frames sent, as motor-sim received them.
std::vector<std::chrono::milliseconds> gaps(const SimRun& run)
{
    const std::vector<long> t = run.sent_times();
    std::vector<std::chrono::milliseconds> between;
    for (std::size_t i = 1; i < t.size(); ++i) {
        between.emplace_back(t[i] - t[i - 1]);
    }
    return between;
}

void honest_frames_and_pauses(const SimRun& run)
{
    EXPECT_EQ(run.sent_frames(),
              (std::vector<std::string>{control_frame("00", "6523"), control_frame("70", "44AF"),
                                        "FB0110BB"}));
    EXPECT_EQ(run.low_latency(), "yes");
    // One drain per frame: nothing stalled, so nothing was retried.
    EXPECT_EQ(run.all("drain").size(), 3U);
    const auto gap = gaps(run);
    ASSERT_EQ(gap.size(), 2U);
    // The motor answered at once, so no control wait was waited out.
    EXPECT_GE(gap[0], CONTROL_PAUSE);
    EXPECT_LT(gap[0], CONTROL_WAIT * 4 / 5);
    EXPECT_GE(gap[1], COMMAND_PAUSE - WHOLE_MS);
    EXPECT_LT(gap[1], COMMAND_PAUSE + CONTROL_WAIT);
    EXPECT_GE(run.process.elapsed, COMMAND_PAUSE);
    EXPECT_LT(run.process.elapsed, ANSWER_WAIT);
}

void nothing_sent(const SimRun& run)
{
    EXPECT_TRUE(run.sent_frames().empty());
}

void broadcast_frames(const SimRun& run)
{
    EXPECT_EQ(run.sent_frames(),
              (std::vector<std::string>{control_frame("0F", "4E16"), control_frame("7F", "6F9A"),
                                        "FB011FBB"}));
}

void every_wait_waited_out(const SimRun& run)
{
    const auto gap = gaps(run);
    ASSERT_EQ(gap.size(), 2U);
    EXPECT_GE(gap[0], CONTROL_WAIT - 2 * WHOLE_MS);
    EXPECT_GE(gap[1], CONTROL_WAIT + COMMAND_PAUSE - 5 * WHOLE_MS);
    EXPECT_GE(run.process.elapsed, EVERY_WAIT - CONTROL_WAIT);
}

// The second control answer arrives during the 1 s pause and waits in the input queue; it is
// discarded before the command goes out, so FD DD 73 00 is not read as the answer.
void late_control_answer_discarded(const SimRun& run)
{
    const auto received = run.all("rx");
    ASSERT_EQ(received.size(), 3U);
    EXPECT_EQ(received[1].fields.at("bytes").substr(0, 8), "FDDD7300");
    EXPECT_LT(std::stol(received[1].fields.at("t")), run.sent_times().back());
}

// A transmitter that never empties: each frame's one drain is cut short by the bound, well inside
// the protocol's own waits.
void drain_bounded(const SimRun& run)
{
    EXPECT_EQ(run.all("drain").size(), 3U);
    const std::vector<TraceRecord> closes = run.all("close");
    ASSERT_EQ(closes.size(), 1U);
    EXPECT_LT(std::chrono::milliseconds(std::stol(closes.front().fields.at("t"))),
              COMMAND_PAUSE + ANSWER_WAIT + 3 * CONTROL_WAIT);
}

// The rows whose checks or faults are about time. The layer stamps each frame as renumber writes
// it, so the gaps between frames are renumber's own however late motor-sim reads them.
class Timing : public E2eRows {};

std::vector<E2eRow> timing_rows()
{
    const std::vector<std::string> zero_to_one{"/dev/ttyUSB0", "0", "1"};
    // Both control answers come after their waits, the second one during the 1 s pause.
    const std::string late_control =
        "control-delay=" + std::to_string((CONTROL_WAIT + 100ms).count());
    // Each frame's write fails, and the failed exchange is no change.
    std::string drain_stalled;
    for (int frame = 0; frame < 3; ++frame) {
        drain_stalled += "[Error] Error occurred during serial port write.\n";
    }
    drain_stalled += "[Error] The ID:0 of the feedback does not match.\n";
    std::vector<E2eRow> rows{
        {"HonestMotorChangesFromZeroToOne",
         {"--motor", "0"},
         zero_to_one,
         CHANGED_TO_ONE,
         0,
         {1},
         false,
         honest_frames_and_pauses},
        {"SilentBusTimesOutAfterEveryWait",
         {"--no-motor"},
         zero_to_one,
         "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n",
         255,
         {},
         false,
         every_wait_waited_out},
        {"LateControlAnswerIsDiscardedBeforeTheCommand",
         {"--motor", "3:" + late_control},
         {"/dev/ttyUSB0", "3", "0"},
         "OK! Changed. Now the motor ID:0\n",
         0,
         {0},
         false,
         late_control_answer_discarded},
    };
    // The signal state a parent leaves renumber (exec keeps it) changes neither its pauses nor
    // the bound on a stalled drain.
    for (const char* state : {"blocked", "ignored", "pending", "timer"}) {
        const std::vector<std::string> launcher{SIGNAL_STATE_BINARY, state};
        rows.push_back({std::string("Sigalrm_") + state + "_HonestMotor",
                        {"--motor", "0"},
                        zero_to_one,
                        CHANGED_TO_ONE,
                        0,
                        {1},
                        false,
                        honest_frames_and_pauses,
                        "",
                        launcher});
        rows.push_back({std::string("Sigalrm_") + state + "_DrainNeverEnds",
                        {"--stall-drain", "--motor", "0"},
                        zero_to_one,
                        drain_stalled,
                        254,
                        {0},
                        false,
                        drain_bounded,
                        "",
                        launcher});
    }
    return rows;
}

TEST_P(Timing, EndsAsTheTableSays)
{
    run_row();
}

INSTANTIATE_TEST_SUITE_P(Rows, Timing, testing::ValuesIn(timing_rows()), row_name<E2eRow>);

class Runs : public E2eRows {};

std::vector<E2eRow> runs_rows()
{
    const std::vector<std::string> zero_to_one{"/dev/ttyUSB0", "0", "1"};
    return {
        {"BroadcastRenumbersEveryMotor",
         {"--motor", "4"},
         {"/dev/ttyUSB0", "15", "1", "KV-R2730-4"},
         CHANGED_TO_ONE,
         0,
         {1},
         false,
         broadcast_frames},
        {"MotorTakesAnotherIdentifier",
         {"--motor", "0:reply-id=2"},
         zero_to_one,
         "[Error] The ID:2 of the feedback does not match.\n",
         254,
         {2}},
        // What the adapter refuses.
        {"OpenRefused",
         {"--refuse-open", "--motor", "0"},
         zero_to_one,
         "[Error] Failed to open serial port, try opening with administrator privileges.\n",
         255,
         {0},
         false,
         nullptr,
         "sp_open: Permission denied\n"},
        {"BaudRateRefused",
         {"--refuse-baud", "--motor", "0"},
         zero_to_one,
         "[Error] Set serial failure.\n",
         255,
         {0},
         false,
         nullptr,
         "sp_set_baudrate: Invalid argument\n"},
        // Rates a driver runs instead and reports: a fallback is refused before any frame goes
        // out; a rate within a UART's tolerance carries the bus.
        {"BaudRateSubstituted",
         {"--substitute-baud", "9600", "--motor", "0"},
         zero_to_one,
         "[Error] Set serial failure.\n",
         255,
         {0},
         false,
         nothing_sent,
         "sp_set_baudrate: the driver reports 9600 baud, not 4000000\n"},
        // ch341 runs 3,000,000 and keeps 4,000,000 in the terminal settings; the kernel names
        // the driver and the chip, and nothing is sent at the wrong rate.
        {"DriverClampsWithoutSaying",
         {"--driver", "ch341-uart", "--usb-ids", "1a86:7523", "--silent-baud", "3000000", "--motor",
          "0"},
         zero_to_one,
         "[Error] Set serial failure.\n",
         255,
         {0},
         false,
         nothing_sent,
         "sp_set_baudrate: the adapter, a WCH CH340 (1a86:7523, driver ch341-uart), runs the line "
         "at 3000000 baud, not 4000000, though the terminal settings read 4000000\n"},
        {"BaudRateWithinTolerance",
         {"--substitute-baud", "3920000", "--motor", "0"},
         zero_to_one,
         "OK! Changed. Now the motor ID:1\n",
         0,
         {1}},
        {"LowLatencyRefused",
         {"--refuse-low-latency", "--motor", "0"},
         zero_to_one,
         LOW_LATENCY_REFUSED,
         0,
         {1}},
        {"NoSerialInfo",
         {"--no-serial-info", "--motor", "0"},
         zero_to_one,
         LOW_LATENCY_REFUSED,
         0,
         {1}},
        // Paths a user passes: outside /dev (libserialport takes only names under /dev, so
        // the simulated path stands for a link there, as udev's are) and relative.
        {"DeviceOutsideDev",
         {"--device", "/tmp/motor-sim-bench/adapter", "--motor", "0"},
         {"/tmp/motor-sim-bench/adapter", "0", "1"},
         CHANGED_TO_ONE,
         0,
         {1}},
        {"RelativeDevice",
         {"--device", "ttyUSB7", "--motor", "0"},
         {"ttyUSB7", "0", "1"},
         CHANGED_TO_ONE,
         0,
         {1}},
    };
}

TEST_P(Runs, EndsAsTheTableSays)
{
    run_row();
}

INSTANTIATE_TEST_SUITE_P(Rows, Runs, testing::ValuesIn(runs_rows()), row_name<E2eRow>);

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
        EXPECT_EQ(run.process.out, CHANGED_TO_ONE) << c.path;
        EXPECT_EQ(run.process.status, 0) << c.path;
        EXPECT_EQ(run.low_latency(), c.requested) << c.path;
    }
}

} // namespace
